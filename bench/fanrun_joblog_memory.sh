#!/usr/bin/env bash
# What a job log costs: the bytes a finished argument takes in the log file, and the runner's peak
# resident set (GNU time's maximum RSS) when it resumes from a log of N finished arguments, so
# that the run reads the whole log into its index, numbers the input's arguments as the log keys
# them, and starts nothing. The log is written here, as a run of `true {}` over 1..N would have
# written it. For each N: the log's bytes per argument, then per build the peak and the peak per
# argument, builds side by side in one run.
#
# usage: bench/fanrun_joblog_memory.sh BUILD_DIR [BEFORE_BUILD] [N...]   (default N: 100000)
set -euo pipefail
build=${1:?usage: bench/fanrun_joblog_memory.sh BUILD_DIR [BEFORE_BUILD] [N...]}
shift
builds=("$build")
if [ $# -gt 0 ] && [ -x "$1/bin/fanrun" ]; then
    builds+=("$1")
    shift
fi
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100000)
for dir in "${builds[@]}"; do
    [ -x "$dir/bin/fanrun" ] || { echo "missing $dir/bin/fanrun" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/fanrun-joblog-memory.XXXXXX")
trap 'rm -rf "$work"' EXIT
for n in "${sizes[@]}"; do
    seq 1 "$n" >"$work/input"
    awk -v n="$n" 'BEGIN {
        OFS = "\t"
        print "event", "start", "runtime", "exit", "signal", "attempt", "occurrence", "argument"
        for (i = 1; i <= n; i++) {
            t = sprintf("%d.%06d", 1800000000 + int(i / 1000), i % 1000000)
            print "start", t, "-", "-", "-", 1, 1, i
            print "end", t, "0.001234", 0, "-", 1, 1, i
        }
    }' >"$work/log"
    bytes=$(stat -c %s "$work/log")
    printf '%s arguments: the log holds %.1f bytes an argument\n' "$n" "$(echo "$bytes / $n" | bc -l)"
    for dir in "${builds[@]}"; do
        cp "$work/log" "$work/copy"
        /usr/bin/time -f '%M %e' -o "$work/time" "$dir/bin/fanrun" --resume --joblog "$work/copy" \
            -j 2 'true {}' <"$work/input" >/dev/null 2>"$work/stderr" || {
            echo "$dir: the resume failed:" >&2
            cat "$work/stderr" >&2
            exit 1
        }
        read -r kib seconds <"$work/time"
        printf '  %-40s peak %8.1f MB, %6.1f bytes an argument, %5.2f s\n' "$dir" \
            "$(echo "$kib / 1024" | bc -l)" "$(echo "$kib * 1024 / $n" | bc -l)" "$seconds"
    done
done
