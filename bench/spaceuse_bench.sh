#!/bin/sh
# Times `spaceuse -s TREE` against `du -s TREE` (and `ncdu -o /dev/null`,
# `gdu -n -p -s` and hyperfine where they are installed), and beside it
# `spaceuse -s --export FILE TREE` (the export's cost), on a tree of
# 200,000 files in 20,420 directories (400 at the second level), built once.
# Warm, then warm with every program pinned to one CPU, then, when run as
# root, cold (caches dropped before each run) and cold pinned. Each figure is
# the median [min .. max] of ROUNDS runs taken alternately (spaceuse, du,
# ncdu, gdu, spaceuse, ...), with the ratio spaceuse/peer; then the peak RSS
# of each program. spaceuse must print the same bytes on every run; a
# mismatch, or a program that fails, is an error: no figure, exit 1.
#
#   bench/spaceuse_bench.sh            (builds spaceuse into build/bench if needed)
#   SPACEUSE=path/to/spaceuse BENCH_TREE=/tmp/tree ROUNDS=7 bench/spaceuse_bench.sh
#
#   SPACEUSE    the program (default: build/bench/spaceuse/spaceuse, built if missing)
#   BENCH_TREE  where the tree is made and kept (default /tmp/spaceuse-bench-tree)
#   ROUNDS      runs of each program per figure (default 7)
#   COLD        0: skip the cold figures even as root (default 1)
#   PIN_CPU     the CPU of the pinned figures (default 0)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
TREE=${BENCH_TREE:-/tmp/spaceuse-bench-tree}
ROUNDS=${ROUNDS:-7}
COLD=${COLD:-1}
PIN_CPU=${PIN_CPU:-0}
SPACEUSE=${SPACEUSE:-}
LAYOUT="20x20x50 directories, 10 files each (0, 100, 5000, 70000 bytes)"

case $ROUNDS in '' | *[!0-9]* | 0) echo "ROUNDS must be a whole number above 0" >&2; exit 2 ;; esac

if [ -z "$SPACEUSE" ]; then
    SPACEUSE=$ROOT/build/bench/spaceuse/spaceuse
    if [ ! -x "$SPACEUSE" ]; then
        echo "building spaceuse into build/bench ..."
        cmake -S "$ROOT" -B "$ROOT/build/bench" -DBUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$ROOT/build/bench" --target spaceuse -j2 >/dev/null
    fi
fi
[ -x "$SPACEUSE" ] || { echo "error: no spaceuse program at $SPACEUSE" >&2; exit 1; }
SPACEUSE=$(cd "$(dirname "$SPACEUSE")" && pwd)/$(basename "$SPACEUSE")

# 20 x 20 x 50 = 20,000 leaf directories (plus 420 above them), 10 files in
# each leaf: 200,000 files of 0, 100, 5,000 and 70,000 bytes (sparse).
make_tree() {
    echo "making the tree in $TREE (once; later runs reuse it) ..."
    rm -rf "$TREE"
    mkdir -p "$TREE"
    (
        cd "$TREE"
        awk 'BEGIN { for (a = 0; a < 20; a++) for (b = 0; b < 20; b++) for (c = 0; c < 50; c++)
                       printf "a%02d/b%02d/c%02d\n", a, b, c }' | xargs mkdir -p
        for size in 0 100 5000 70000; do
            awk -v s="$size" 'BEGIN {
                k = (s == 0) ? 0 : (s == 100) ? 1 : (s == 5000) ? 2 : 3
                for (a = 0; a < 20; a++) for (b = 0; b < 20; b++) for (c = 0; c < 50; c++)
                  for (f = 0; f < 10; f++) if (f % 4 == k)
                    printf "a%02d/b%02d/c%02d/f%d\n", a, b, c, f }' |
                xargs truncate -s "$size"
        done
        echo "$LAYOUT" >.complete
    )
}
if [ "$(cat "$TREE/.complete" 2>/dev/null)" != "$LAYOUT" ]; then
    make_tree
fi
files=$(find "$TREE" -type f ! -name .complete | wc -l)
dirs=$(find "$TREE" -mindepth 1 -type d | wc -l)

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
FAILED=0
RUNS=0
SU_RUNS=0

# The programs that take part, each as a name and its command line.
TOOLS="spaceuse export du"
command -v ncdu >/dev/null 2>&1 && TOOLS="$TOOLS ncdu"
command -v gdu >/dev/null 2>&1 && TOOLS="$TOOLS gdu"
tool_line() {
    case $1 in
    spaceuse) echo "spaceuse -s" ;;
    export) echo "spaceuse -s --export" ;;
    du) echo "du -s" ;;
    ncdu) echo "ncdu -o /dev/null" ;;
    gdu) echo "gdu -n -p -s" ;;
    esac
}
run_tool() {
    tool=$1
    shift
    case $tool in
    spaceuse) "$@" "$SPACEUSE" -s "$TREE" ;;
    export) "$@" "$SPACEUSE" -s --export "$TMP/export.json" "$TREE" ;;
    du) "$@" du -s "$TREE" ;;
    ncdu) "$@" ncdu -o /dev/null "$TREE" ;;
    gdu) "$@" gdu -n -p -s "$TREE" ;;
    esac
}

# GNU time gives the peak RSS of every timed run; without it a separate,
# untimed run is watched through /proc (VmHWM, sampled every 10 ms).
if /usr/bin/time -f %M -o /dev/null true >/dev/null 2>&1; then GNU_TIME=1; else GNU_TIME=0; fi
measure() {
    if [ "$GNU_TIME" = 1 ]; then
        run_tool "$@" /usr/bin/time -f %M -o "$TMP/rss"
    else
        run_tool "$@" env
    fi
}
watch_rss() {
    run_tool "$1" env >/dev/null 2>&1 </dev/null &
    pid=$!
    hwm=0
    while kill -0 "$pid" 2>/dev/null; do
        v=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$v" ] && hwm=$v
        sleep 0.01
    done
    wait "$pid" || true
    echo "$hwm" >>"$TMP/$1.rss"
}

drop_caches() {
    sync
    echo 3 >/proc/sys/vm/drop_caches
}

# One timed run of a tool in figure $fig: its seconds go to $TMP/$fig.$tool.t,
# its peak RSS to $TMP/$tool.rss; spaceuse's output is compared with $TMP/ref.
timed() {
    tool=$1
    shift
    [ "$cold" = 1 ] && drop_caches
    t0=$(date +%s%N)
    if measure "$tool" "$@" >"$TMP/out" 2>"$TMP/err" </dev/null; then rc=0; else rc=$?; fi
    t1=$(date +%s%N)
    RUNS=$((RUNS + 1))
    if [ "$rc" != 0 ]; then
        echo "error: $(tool_line "$tool") failed (exit $rc) in run $RUNS: $(head -c 300 "$TMP/err")"
        FAILED=1
        return
    fi
    if { [ "$tool" = spaceuse ] || [ "$tool" = export ]; } && ! cmp -s "$TMP/out" "$TMP/ref"; then
        echo "error: spaceuse's output in run $RUNS differs from the first it printed:"
        diff "$TMP/ref" "$TMP/out" | tr '\r' '\n' | head -n 6
        FAILED=1
        return
    fi
    [ "$tool" = spaceuse ] && SU_RUNS=$((SU_RUNS + 1))
    echo "$t0 $t1" | awk '{ printf "%.4f\n", ($2 - $1) / 1e9 }' >>"$TMP/$fig.$tool.t"
    [ "$GNU_TIME" = 1 ] && cat "$TMP/rss" >>"$TMP/$tool.rss"
    return 0
}

# True when every run of the tool in figure $1 counted.
all_counted() { [ "$( (wc -l <"$TMP/$1.$2.t") 2>/dev/null)" = "$ROUNDS" ]; }

# "median [min .. max]" of a file of numbers.
stats() {
    sort -n "$1" | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3f [%.3f .. %.3f]", m, v[1], v[NR] }'
}
median() { stats "$1" | cut -d' ' -f1; }

# figure NAME TITLE COLD [prefix command...]: ROUNDS alternating rounds of
# every tool, then one line per tool.
figure() {
    fig=$1 title=$2 cold=$3
    shift 3
    i=0
    while [ "$i" -lt "$ROUNDS" ]; do
        for tool in $TOOLS; do timed "$tool" "$@"; done
        i=$((i + 1))
    done
    echo "$title"
    for tool in $TOOLS; do
        if ! all_counted "$fig" "$tool"; then
            printf '  %-18s error: no figure (a run failed or its output changed)\n' "$(tool_line "$tool")"
            continue
        fi
        line="$(stats "$TMP/$fig.$tool.t") s"
        if [ "$tool" = export ] && all_counted "$fig" spaceuse; then
            line="$line   export/plain $(echo "$(median "$TMP/$fig.export.t") $(median "$TMP/$fig.spaceuse.t")" |
                awk '{ printf "%.2f (%+.0f %%)", $1 / $2, ($1 / $2 - 1) * 100 }')"
        elif [ "$tool" != spaceuse ] && all_counted "$fig" spaceuse; then
            line="$line   spaceuse/$tool $(echo "$(median "$TMP/$fig.spaceuse.t") $(median "$TMP/$fig.$tool.t")" |
                awk '{ printf "%.2f", $1 / $2 }')"
        fi
        printf '  %-18s %s\n' "$(tool_line "$tool")" "$line"
    done
}

echo "spaceuse: $SPACEUSE"
echo "tree: $TREE ($files files, $dirs directories)"
echo "peers: $TOOLS; $ROUNDS runs of each per figure, alternating; median [min .. max] seconds"

# Warm the cache, see that every program reads the tree, and keep what
# spaceuse prints: every timed run must print the same.
for tool in $TOOLS; do
    run_tool "$tool" env >"$TMP/out" 2>/dev/null </dev/null || { echo "error: $(tool_line "$tool") fails on the tree"; exit 1; }
    [ "$tool" = spaceuse ] && cp "$TMP/out" "$TMP/ref"
done
# The export must be one that ncdu reads, and not change between runs but
# for its time stamp.
if command -v ncdu >/dev/null 2>&1 && ! ncdu -f "$TMP/export.json" -o /dev/null 2>/dev/null; then
    echo "error: ncdu cannot read spaceuse's export"
    exit 1
fi
echo "export: $(wc -c <"$TMP/export.json") bytes"

figure warm "warm" 0
figure pinned "warm, every program pinned to CPU $PIN_CPU (taskset -c $PIN_CPU)" 0 taskset -c "$PIN_CPU"
if [ "$COLD" = 1 ] && [ "$(id -u)" = 0 ] && (drop_caches) 2>/dev/null; then
    figure cold "cold (sync; echo 3 > /proc/sys/vm/drop_caches before each run)" 1
    figure coldpinned "cold, pinned to CPU $PIN_CPU" 1 taskset -c "$PIN_CPU"
else
    echo "cold: skipped (needs root and a writable /proc/sys/vm/drop_caches; COLD=$COLD)"
fi

if [ "$GNU_TIME" = 0 ]; then
    for tool in $TOOLS; do watch_rss "$tool"; done
fi
echo "peak RSS ($([ "$GNU_TIME" = 1 ] && echo "GNU time, largest of every run" || echo "VmHWM sampled in one warm run")):"
for tool in $TOOLS; do
    printf '  %-18s %s\n' "$(tool_line "$tool")" "$(sort -n "$TMP/$tool.rss" | tail -n 1 | awk '{ printf "%.1f MiB", $1 / 1024 }')"
done

if [ "$FAILED" = 1 ]; then
    echo "hyperfine: skipped after the errors above"
elif command -v hyperfine >/dev/null 2>&1; then
    echo "hyperfine, warm:"
    set --
    for tool in $TOOLS; do
        set -- "$@" "$(run_tool "$tool" echo)"
    done
    hyperfine -N --style basic --warmup 1 --runs "$ROUNDS" "$@" 2>&1 | sed 's/^/  /' || FAILED=1
fi

if [ "$FAILED" = 1 ]; then
    echo "error: a run failed or spaceuse's output changed (see above)"
    exit 1
fi
echo "output: spaceuse printed the same $(wc -c <"$TMP/ref") bytes on each of its $SU_RUNS timed runs"
