#!/usr/bin/env bash
# The semaphore's cost and its waiters' idleness: N invocations of `fanrun --semaphore --fg true`
# one after another as a mutex (the time each takes to find its place and run), N started at once
# with -j 4, and the CPU time 10 waiters use while a holder keeps the only place for 3 seconds
# (clock ticks from /proc/PID/stat; 0 means they slept). With GNU sem installed, N/5 serial runs
# of `sem --fg true` are timed beside it. The places live in a scratch XDG_RUNTIME_DIR.
#
# usage: bench/fanrun_semaphore.sh [BUILD_DIR [N]]   (default: build, N = 50)
set -euo pipefail
. "$(dirname "$0")/timing.sh"
build=${1:-build}
n=${2:-50}
fanrun=$(realpath "$build/bin/fanrun")
XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
cd "$XDG_RUNTIME_DIR"


start=$(now)
for _ in $(seq "$n"); do "$fanrun" --semaphore --fg --id serial true; done
echo "$n serial mutex invocations: $(seconds "$start" "$(now)") s"

start=$(now)
for _ in $(seq "$n"); do "$fanrun" --semaphore --fg -j 4 --id wide true & done
wait
echo "$n concurrent invocations, -j 4: $(seconds "$start" "$(now)") s"

"$fanrun" --semaphore --fg --id idle 'sleep 3' &
holder=$!
sleep 0.2
waiters=()
for _ in $(seq 10); do
    "$fanrun" --semaphore --fg --id idle true &
    waiters+=($!)
done
sleep 2.5
ticks=0
for pid in "${waiters[@]}"; do
    ticks=$((ticks + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
done
wait
echo "10 waiters for 2.5 s: $ticks clock ticks of CPU"

if command -v sem >/dev/null; then
    start=$(now)
    for _ in $(seq $((n / 5))); do sem --fg --id fanrun-bench true; done
    echo "$((n / 5)) serial GNU sem --fg invocations: $(seconds "$start" "$(now)") s"
fi
