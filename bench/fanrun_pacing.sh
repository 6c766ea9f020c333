#!/usr/bin/env bash
# What waiting for room and reading the count from a file cost, side by side in one run:
#  1. the processor time (user + system) of a run that waits 10 s for --memfree room and one
#     that waits 10 s for --load room (stand-ins FANRUN_MEMINFO and FANRUN_LOADAVG say "no room"
#     for 10 s, then "room"), beside `sleep 10`;
#  2. the delay between the end of one command and the start of the next (each command writes
#     its start and, last, its end time) under -j FILE, beside -j 1, and beside GNU parallel
#     -j FILE when it is installed; N commands each.
#
# usage: bench/fanrun_pacing.sh [BUILD_DIR [N]]   (default: build, N = 100)
set -euo pipefail
. "$(dirname "$0")/timing.sh"
build=${1:-build}
n=${2:-100}
fanrun=$(realpath "$build/bin/fanrun")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# "user+system seconds" of the command, from GNU time's own report.
cpu() {
    /usr/bin/time -f '%U %S' -o cpu.txt "$@" >/dev/null 2>&1 || true
    awk '{printf "%.3f", $1 + $2}' cpu.txt
}

printf 'MemAvailable: 100 kB\n' >meminfo
printf '9.00 1.00 1.00 1/100 1\n' >loadavg
(sleep 10 && printf 'MemAvailable: 8000000 kB\n' >meminfo.new && mv meminfo.new meminfo) &
memory=$(FANRUN_MEMINFO=$PWD/meminfo cpu "$fanrun" --memfree 1G -o out true a)
wait
(sleep 10 && printf '0.00 1.00 1.00 1/100 1\n' >loadavg.new && mv loadavg.new loadavg) &
load=$(FANRUN_LOADAVG=$PWD/loadavg cpu "$fanrun" --load 1 -o out true a)
wait
sleeping=$(cpu sleep 10)
# Per second waited; sleep's own is the floor (often 0 at the clock's 10 ms resolution).
perSecond() { python3 -c "import sys; print(f'{float(sys.argv[1]) * 100:.1f}')" "$1"; }
echo "CPU while waiting 10 s: --memfree $memory s, --load $load s, sleep 10 $sleeping s;" \
    "ms per second waited: $(perSecond "$memory"), $(perSecond "$load"), $(perSecond "$sleeping")"

# Mean milliseconds from a command's end to the next one's start, from the times the commands
# wrote (start and end lines of nanoseconds, in the order they ran one at a time).
gaps() {
    sort -n "$1" | awk '$2 == "start" && last != "" { sum += $1 - last; k++ }
        $2 == "end" { last = $1 } END { printf "%.2f", sum / k / 1e6 }'
}
# shellcheck disable=SC2016 # expanded by the commands' shell
command='echo "$(date +%s%N) start" >> TIMES; sleep 0.01; echo "$(date +%s%N) end" >> TIMES'
echo 1 >jobs.txt
"$fanrun" -j jobs.txt -o out "${command//TIMES/file.times}; : {}" -- $(seq "$n") >/dev/null
"$fanrun" -j 1 -o out "${command//TIMES/fixed.times}; : {}" -- $(seq "$n") >/dev/null
file=$(gaps file.times)
fixed=$(gaps fixed.times)
line="end-to-start delay over $n commands: -j FILE $file ms, -j 1 $fixed ms (ratio $(ratio "$file" "$fixed"))"
if command -v parallel >/dev/null; then
    parallel -j jobs.txt "${command//TIMES/gnu.times}; : {}" ::: $(seq "$n")
    gnu=$(gaps gnu.times)
    line+=", GNU parallel -j FILE $gnu ms (ratio $(ratio "$file" "$gnu"))"
fi
echo "$line"
