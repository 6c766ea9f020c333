#!/usr/bin/env bash
# The runner's own processor time per command as the run grows: COUNT commands of `true` for each
# COUNT given (default 1000 10000 100000), -j 2, output on a tmpfs (/dev/shm). The runner's own
# time (user + system of the runner process alone, read from its /proc entry while it is a zombie,
# before it is reaped) is what its bookkeeping costs; a cost per command that stays flat as COUNT
# grows shows no part of it grows with the run. With COUNT above pid_max the pids repeat within
# the run, so the later commands' files get the PID.N names.
#
# usage: bench/fanrun_scale.sh [BUILD_DIR [COUNT...]]
set -euo pipefail
build=${1:-build}
shift || true
counts=("$@")
[ "${#counts[@]}" -gt 0 ] || counts=(1000 10000 100000)
fanrun=$build/bin/fanrun
[ -x "$fanrun" ] || { echo "missing $fanrun" >&2; exit 2; }

work=$(mktemp -d /dev/shm/fanrun-scale.XXXXXX)
trap 'rm -rf "$work"' EXIT

measure=$(dirname "$0")/fanrun_measure.py

echo "fanrun scale: commands of true at -j 2 on tmpfs, $(nproc) processors, pid_max $(cat /proc/sys/kernel/pid_max), load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%9s %10s %12s %16s %18s\n' commands "wall ms" "runner ms" "runner us/cmd" "children us/cmd"
for count in "${counts[@]}"; do
    seq 1 "$count" >"$work/arguments"
    rm -rf "$work/out"
    # The shell execs the runner, so the measured process is the runner; its report goes to
    # /dev/null.
    figures=$(python3 "$measure" sh -c 'exec "$0" -j 2 -o "$1" "true {}" <"$2" >/dev/null' \
        "$fanrun" "$work/out" "$work/arguments" 3>&1) || { echo "the run of $count failed" >&2; exit 1; }
    read -r wall cpu own <<<"$figures"
    children=$((cpu - own))
    files=$(find "$work/out" -type f | wc -l)
    awk -v n="$count" -v w="$wall" -v o="$own" -v c="$children" -v f="$files" \
        'BEGIN { printf "%9d %10d %12d %16.1f %18.1f   (%d files)\n", n, w, o, o * 1000 / n, c * 1000 / n, f }'
done
