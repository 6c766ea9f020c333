#!/usr/bin/env bash
# What --results costs: N commands `echo {}` under -g, without --results and with it as a folder,
# a CSV and a JSON file, side by side in one run, each as a ratio to the run without; with GNU
# parallel installed, its --results folder and CSV on the same commands beside them.
#
# usage: bench/fanrun_results.sh [BUILD_DIR [N]]   (default: build, N = 2000)
set -euo pipefail
. "$(dirname "$0")/timing.sh"
build=${1:-build}
n=${2:-2000}
fanrun=$(realpath "$build/bin/fanrun")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
seq "$n" >input


timed() {
    local start
    start=$(now)
    "$@" <input >/dev/null 2>&1
    seconds "$start" "$(now)"
}

base=$(timed "$fanrun" -g -j 4 'echo {}')
echo "fanrun -g, $n commands: $base s"
for target in out out.csv out.json; do
    rm -rf "$target"
    t=$(timed "$fanrun" -g -j 4 --results "$target" 'echo {}')
    echo "fanrun -g --results $target: $t s ($(ratio "$t" "$base") x the run without)"
done
if command -v parallel >/dev/null; then
    for target in pout pout.csv; do
        rm -rf "$target"
        t=$(timed parallel -j 4 --results "$target" 'echo {}')
        echo "GNU parallel --results $target: $t s ($(ratio "$t" "$base") x fanrun without)"
    done
fi
