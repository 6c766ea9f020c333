#!/usr/bin/env bash
# The runner's own memory as the run grows: its peak resident set (VmHWM, read while it runs by
# fanrun_peak.py, so that the bash children do not count) over runs of N and 10 N commands of
# `true {}` with the arguments 1..N on standard input, and the bytes per argument that the 9 N more
# arguments added, in all and beyond the arguments' own bytes (their mean length). Dry runs take
# at least 1000 and 10000 arguments. Runs:
#
#   dry      fanrun --dry-run 'true {}'                 (no command runs)
#   ungroup  fanrun -j 2 -u 'true {}'
#   files    fanrun -j 2 -o DIR 'true {}'               (DIR on tmpfs, /dev/shm)
#   joblog   fanrun -j 2 -o DIR --joblog LOG 'true {}'
#
# and a dry run of 1e6 arguments, whose peak must stay under 16 MiB: the script fails otherwise.
# With BEFORE_BUILD (an older build of the runner) every run it supports is made with it too, side
# by side, alternating with the current build.
#
# usage: bench/fanrun_memory.sh [--quick] [BUILD_DIR [BEFORE_BUILD [N]]]
# --quick: N = 20, for a smoke run of a few seconds. Default N: 2000. Needs python3.
set -euo pipefail
quick=false
if [ "${1:-}" = --quick ]; then
    quick=true
    shift
fi
build=${1:-build}
before=${2:-}
small=${3:-2000}
$quick && small=20
large=$((small * 10))
peak=$(dirname "$0")/fanrun_peak.py
builds=("$build")
[ -n "$before" ] && builds+=("$before")
for dir in "${builds[@]}"; do
    [ -x "$dir/bin/fanrun" ] || { echo "missing $dir/bin/fanrun" >&2; exit 2; }
done

work=$(mktemp -d /dev/shm/fanrun-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT
seq 1 "$small" >"$work/small"
seq 1 "$large" >"$work/large"
# A dry run of fewer arguments may end between two readings of its size: those take more.
dry_small=$((small < 1000 ? 1000 : small))
seq 1 "$dry_small" >"$work/dry-small"
seq 1 $((dry_small * 10)) >"$work/dry-large"
seq 1 1000000 >"$work/million"

# measure BUILD MODE INPUT: prints the runner's peak in KiB, or nothing when the build has no such
# mode.
measure() {
    local fanrun=$1/bin/fanrun mode=$2 input=$3
    local -a options
    case $mode in
    dry) options=(--dry-run) ;;
    ungroup) options=(-j 2 -u) ;;
    files) options=(-j 2 -o "$work/out") ;;
    joblog) options=(-j 2 -o "$work/out" --joblog "$work/log") ;;
    esac
    # An older build without the mode is left out rather than failed.
    rm -rf "$work/out" "$work/log"
    "$fanrun" "${options[@]}" 'true {}' 1 >/dev/null 2>&1 || return 0
    rm -rf "$work/out" "$work/log"
    python3 "$peak" "$fanrun" "${options[@]}" 'true {}' <"$input" 3>&1
}

# mean_length A B: the mean length in bytes of the arguments A+1 .. B.
mean_length() {
    awk -v a="$1" -v b="$2" 'BEGIN { for (i = a + 1; i <= b; i++) s += length(i ""); printf "%.2f", s / (b - a) }'
}

echo "fanrun memory: N = $small and $large arguments (dry runs $dry_small and $((dry_small * 10))), $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %-24s %10s %10s %12s %16s\n' mode build "N KiB" "10N KiB" "bytes/arg" "beyond the arg"
status=0
for mode in dry ungroup files joblog; do
    declare -A kib=()
    # The builds alternate within the mode, so that the same load hits both.
    prefix='' n=$small
    [ "$mode" = dry ] && prefix=dry- n=$dry_small
    added=$(mean_length "$n" $((n * 10)))
    for input in small large; do
        for dir in "${builds[@]}"; do
            kib[$dir $input]=$(measure "$dir" "$mode" "$work/$prefix$input") ||
                { echo "the $mode run of $input with $dir failed" >&2; exit 1; }
        done
    done
    for dir in "${builds[@]}"; do
        [ -n "${kib[$dir small]}" ] || continue
        awk -v m="$mode" -v b="$dir" -v s="${kib[$dir small]}" -v l="${kib[$dir large]}" -v n="$n" -v a="$added" \
            'BEGIN { per = (l - s) * 1024 / (9 * n); printf "%-8s %-24s %10d %10d %12.1f %16.1f\n", m, b, s, l, per, per - a }'
    done
    unset kib
done

echo
printf 'dry run of 1e6 arguments:'
for dir in "${builds[@]}"; do
    million=$(measure "$dir" dry "$work/million") || { echo " the run with $dir failed" >&2; exit 1; }
    printf ' %s %d KiB' "$dir" "$million"
    [ "$dir" = "$build" ] && [ "$million" -ge 16384 ] && status=1
done
echo
[ "$status" -eq 0 ] || echo "FAILED: the dry run of 1e6 arguments peaked at 16 MiB or more" >&2
echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
