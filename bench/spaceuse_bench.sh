#!/bin/sh
# Times `spaceuse -s TREE` against `du -s TREE` on a tree of 200,000 files in
# 20,000 directories, alternately, with a warm cache, and prints the median
# ratio spaceuse/du and the peak resident memory of both. Prints figures;
# never fails a build.
#
#   bench/spaceuse_bench.sh            (builds spaceuse into build/bench if needed)
#   SPACEUSE=path/to/spaceuse BENCH_TREE=/tmp/tree ROUNDS=7 bench/spaceuse_bench.sh
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
TREE=${BENCH_TREE:-/tmp/spaceuse-bench-tree}
ROUNDS=${ROUNDS:-7}
SPACEUSE=${SPACEUSE:-}

if [ -z "$SPACEUSE" ]; then
    SPACEUSE=$ROOT/build/bench/spaceuse/spaceuse
    if [ ! -x "$SPACEUSE" ]; then
        echo "building spaceuse into build/bench ..."
        cmake -S "$ROOT" -B "$ROOT/build/bench" -DBUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$ROOT/build/bench" --target spaceuse -j2 >/dev/null
    fi
fi
[ -x "$SPACEUSE" ] || { echo "no spaceuse program at $SPACEUSE" >&2; exit 1; }

# 20 x 40 x 25 = 20,000 leaf directories (plus 820 above them), 10 files in
# each leaf: 200,000 files of 0, 100, 5,000 and 70,000 bytes.
if [ ! -f "$TREE/.complete" ]; then
    echo "making the tree in $TREE (once; later runs reuse it) ..."
    rm -rf "$TREE"
    mkdir -p "$TREE"
    cd "$TREE"
    awk 'BEGIN { for (a = 0; a < 20; a++) for (b = 0; b < 40; b++) for (c = 0; c < 25; c++)
                   printf "a%02d/b%02d/c%02d\n", a, b, c }' | xargs mkdir -p
    for size in 0 100 5000 70000; do
        awk -v s="$size" 'BEGIN {
            k = (s == 0) ? 0 : (s == 100) ? 1 : (s == 5000) ? 2 : 3
            for (a = 0; a < 20; a++) for (b = 0; b < 40; b++) for (c = 0; c < 25; c++)
              for (f = 0; f < 10; f++) if (f % 4 == k)
                printf "a%02d/b%02d/c%02d/f%d\n", a, b, c, f }' |
            xargs truncate -s "$size"
    done
    touch .complete
    cd - >/dev/null
fi

files=$(find "$TREE" -type f ! -name .complete | wc -l)
dirs=$(find "$TREE" -mindepth 1 -type d | wc -l)
echo "tree: $TREE ($files files, $dirs directories)"

if [ -x /usr/bin/time ]; then HAVE_TIME=1; else HAVE_TIME=0; fi
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# One timed run: elapsed seconds on stdout; the peak RSS (KiB) appended to
# $TMP/<name>.rss when /usr/bin/time is there.
run() {
    name=$1
    shift
    t0=$(date +%s%N)
    if [ "$HAVE_TIME" = 1 ]; then
        /usr/bin/time -f %M -o "$TMP/rss" "$@" >/dev/null 2>&1 || true
        cat "$TMP/rss" >>"$TMP/$name.rss"
    else
        "$@" >/dev/null 2>&1 || true
    fi
    t1=$(date +%s%N)
    echo "$t0 $t1" | awk '{ printf "%.4f\n", ($2 - $1) / 1e9 }' >>"$TMP/$name.t"
}

median() {
    sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Warm the cache (and check that both agree the tree is there).
"$SPACEUSE" -s "$TREE" | tr '\r' '\n' | tail -n 1
du -s "$TREE"

i=0
while [ "$i" -lt "$ROUNDS" ]; do
    run spaceuse "$SPACEUSE" -s "$TREE"
    run du du -s "$TREE"
    i=$((i + 1))
done

su_med=$(median "$TMP/spaceuse.t")
du_med=$(median "$TMP/du.t")
echo "rounds: $ROUNDS each, alternately"
echo "spaceuse -s: median $su_med s"
echo "du -s:       median $du_med s"
echo "$su_med $du_med" | awk '{ printf "ratio spaceuse/du (median): %.3f\n", $1 / $2 }'
if [ "$HAVE_TIME" = 1 ]; then
    echo "peak RSS spaceuse: $(sort -n "$TMP/spaceuse.rss" | tail -n 1) KiB"
    echo "peak RSS du:       $(sort -n "$TMP/du.rss" | tail -n 1) KiB"
else
    echo "peak RSS: /usr/bin/time is not installed (apt-get install time)"
fi
