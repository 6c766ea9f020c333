#!/usr/bin/env bash
# Sweeps, side by side in one run, ratios printed:
#
#   speed    2000 tuples (40 x 50 values of two ::: sources) under -k -j 2, the same command
#            'echo {1} {2}' by fanrun and by GNU parallel (when installed): the best of ROUNDS
#            wall times each, alternating; the target is fanrun at least 3x faster.
#   memory   a dry run of a streamed first source of 1e6 values (:::: - from seq) times two
#            sources of two values, 4e6 commands: fanrun's peak resident set (fanrun_peak.py),
#            which must stay under 16 MiB (the script fails otherwise).
#   expand   the per-command cost of {1} {2} {3} against {} alone over the same 1e6 tuples in a
#            dry run (the same commands come out): the best of ROUNDS each, alternating; the
#            target is within 5 %.
#
# usage: bench/fanrun_sweep.sh [--quick] [BUILD_DIR [ROUNDS]]
# --quick: fewer values and one round, for a smoke run of a few seconds. Needs python3.
set -euo pipefail
quick=false
if [ "${1:-}" = --quick ]; then
    quick=true
    shift
fi
build=${1:-build}
rounds=${2:-3}
fanrun=$build/bin/fanrun
peak=$(dirname "$0")/fanrun_peak.py
[ -x "$fanrun" ] || { echo "missing $fanrun" >&2; exit 2; }
first=1000000
expand=250000
wide=40 # x 50: 2000 tuples
if $quick; then
    rounds=1
    first=20000
    expand=20000
    wide=4
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seq 1 "$first" >"$work/first"
seq 1 "$expand" >"$work/expand"

# seconds COMMAND...: the wall time of one run, output dropped.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 </dev/null
    end=$(date +%s%N)
    echo "scale=4; ($end - $start) / 1000000000" | bc
}
best() { sort -g | head -1; }
ratio() { echo "scale=2; $1 / $2" | bc; }

a=$(seq 1 "$wide")
b=$(seq 1 50)
fanrun_times=() parallel_times=()
for ((r = 0; r < rounds; r++)); do
    # shellcheck disable=SC2086
    fanrun_times+=("$(seconds "$fanrun" -k -j 2 'echo {1} {2}' ::: $a ::: $b)")
    if command -v parallel >/dev/null; then
        # shellcheck disable=SC2086
        parallel_times+=("$(seconds parallel -k -j 2 'echo {1} {2}' ::: $a ::: $b)")
    fi
done
f=$(printf '%s\n' "${fanrun_times[@]}" | best)
tuples=$((wide * 50))
echo "speed: $tuples tuples -k -j 2: fanrun ${f}s"
if [ ${#parallel_times[@]} -gt 0 ]; then
    p=$(printf '%s\n' "${parallel_times[@]}" | best)
    echo "speed: $tuples tuples -k -j 2: GNU parallel ${p}s; fanrun is $(ratio "$p" "$f")x faster (target >= 3)"
else
    echo "speed: GNU parallel is not installed; no ratio"
fi

kib=$(python3 "$peak" "$fanrun" --dry-run 'true {1} {2} {3}' :::: "$work/first" ::: a b ::: c d \
    3>&1 >/dev/null 2>&1)
echo "memory: dry run of $first x 2 x 2 tuples: peak ${kib} KiB ($(ratio "$kib" 16384) of 16 MiB)"
if [ "$kib" -ge 16384 ]; then
    echo "memory: over 16 MiB" >&2
    exit 1
fi

positional=() whole=()
for ((r = 0; r < rounds; r++)); do
    positional+=("$(seconds "$fanrun" --dry-run 'true {1} {2} {3}' :::: "$work/expand" ::: a b ::: c d)")
    whole+=("$(seconds "$fanrun" --dry-run 'true {}' :::: "$work/expand" ::: a b ::: c d)")
done
x=$(printf '%s\n' "${positional[@]}" | best)
y=$(printf '%s\n' "${whole[@]}" | best)
echo "expand: $((expand * 4)) commands: {1} {2} {3} ${x}s, {} ${y}s; ratio $(ratio "$x" "$y") (target <= 1.05)"
