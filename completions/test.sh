#!/usr/bin/env bash
# The bash completions at work: each file sources cleanly and registers its
# function, and the words offered are the programs' own.
#   test.sh <completions dir> <whatcode> <dsnetsim>
dir=$1 whatcode=$2 dsnetsim=$3
passed=0 failed=0

check() {
    local label=$1 want=$2 got=$3
    if [ "$want" = "$got" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED: %s\n  wanted: %s\n  got:    %s\n' "$label" "$want" "$got"
    fi
}

# Outside a real completion compopt refuses to run; what it would set does
# not change the words.
compopt() { :; }

# The words offered for the last of the given words, sorted, on one line.
offered() {
    local fn=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ' -
}

for p in hostlink spaceuse whatcode dsnetsim; do
    check "$p: sources and registers _$p" "complete -F _$p $p" \
        "$(bash -c 'source "$1" && complete -p "$2"' - "$dir/$p" "$p" 2>&1)"
    source "$dir/$p"
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/sub" "$scratch/sub two"
touch "$scratch/a.svg" "$scratch/b.txt" "$scratch/prog.elf"
cd "$scratch" || exit 1

# whatcode: names from the program, in any case, by prefix only.
check "whatcode error_access_d" "ERROR_ACCESS_DENIED ERROR_ACCESS_DISABLED_BY_POLICY ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY ERROR_ACCESS_DISABLED_WEBBLADE ERROR_ACCESS_DISABLED_WEBBLADE_TAMPER" \
    "$(offered _whatcode "$whatcode" error_access_d)"
check "whatcode E_OUTOFM" "E_OUTOFMEMORY" "$(offered _whatcode "$whatcode" 2 E_OUTOFM)"
check "whatcode --search e_handl" "E_HANDLE" "$(offered _whatcode "$whatcode" --search e_handl)"
check "whatcode --" "--name --search" "$(offered _whatcode "$whatcode" --)"
check "whatcode 12" "" "$(offered _whatcode "$whatcode" 12)"

# dsnetsim: the scenarios it names in its own usage line.
usage=$("$dsnetsim" --no-such-option 2>&1)
scenarios=$(grep -o -- '-s [a-z|]*' <<<"$usage" | head -1 | cut -c4- | tr '|' '\n' | sort | paste -sd' ' -)
check "dsnetsim -s: the scenarios of its usage line" "$scenarios" "$(offered _dsnetsim dsnetsim -v -s '')"
check "dsnetsim --ch" "--chaos" "$(offered _dsnetsim dsnetsim --ch)"
check "dsnetsim --run x -: the program's own arguments" "" "$(offered _dsnetsim dsnetsim --run hostlink -)"
check "dsnetsim --run hostlink p" "prog.elf" "$(offered _dsnetsim dsnetsim -s demo --run hostlink p)"

# hostlink: options until the program file, then files only.
check "hostlink -" "-d -kickme -root -trace" "$(offered _hostlink hostlink -)"
check "hostlink -root s" "sub sub two" "$(offered _hostlink hostlink -root s)"
check "hostlink -trace ''" "- a.svg b.txt prog.elf sub sub two" "$(offered _hostlink hostlink -trace '')"
check "hostlink -d h : 1 -k" "-kickme" "$(offered _hostlink hostlink -d h : 1 -k)"
check "hostlink prog.elf -k" "" "$(offered _hostlink hostlink -kickme prog.elf -k)"
check "hostlink -trace t -root sub p" "prog.elf" "$(offered _hostlink hostlink -trace t -root sub p)"

# spaceuse: switch letters, the long options and their files, directories.
check "spaceuse -" "-B -D -F -I -P -S -c -d -f -i -k -q -r -s" "$(offered _spaceuse spaceuse -)"
check "spaceuse --" "--export --treemap" "$(offered _spaceuse spaceuse -s --)"
check "spaceuse --treemap ''" "a.svg sub sub two" "$(offered _spaceuse spaceuse --treemap '')"
check "spaceuse --export b" "b.txt" "$(offered _spaceuse spaceuse --export b)"
check "spaceuse ''" "sub sub two" "$(offered _spaceuse spaceuse -r '')"

echo "completions: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
