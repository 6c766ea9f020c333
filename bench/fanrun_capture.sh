#!/usr/bin/env bash
# The cost of the temporary files of -g and -k: COUNT jobs of `echo {}` at -j 2 under -g and -k,
# the build before a change and the build after it taking turns in every round, with TMPDIR on
# the disk of the current folder's /tmp and once on tmpfs (/dev/shm). Each line: the folder, the
# round, the mode, the build, then wall, processor (with children) and the runner's own processor
# time in ms (bench/fanrun_measure.py).
#
# usage: bench/fanrun_capture.sh BEFORE_BUILD AFTER_BUILD [ROUNDS [COUNT]]
set -euo pipefail
before=$1/bin/fanrun
after=$2/bin/fanrun
rounds=${3:-3}
count=${4:-2000}
measure=$(dirname "$0")/fanrun_measure.py
mapfile -t arguments < <(seq "$count")
for folder in /tmp /dev/shm; do
    for round in $(seq "$rounds"); do
        for mode in -g -k; do
            for build in before after; do
                program=$before
                [ "$build" = after ] && program=$after
                result=$(TMPDIR=$folder python3 "$measure" "$program" "$mode" -j 2 'echo {}' -- \
                    "${arguments[@]}" 3>&1 >/dev/null 2>/dev/null)
                echo "$folder $round $mode $build $result"
            done
        done
    done
done
