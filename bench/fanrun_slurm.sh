#!/usr/bin/env bash
# Steps of an allocation against plain local commands and against shards, side by side in one run
# on the cluster of tests/slurm/cluster.sh (3 nodes on this machine, started for the run and
# stopped at the end unless one was up already):
#   1. local: N commands (true) with fanrun -j 6 on this machine, no Slurm at all;
#   2. steps: the same N commands with fanrun --slurm inside salloc -N 3 --ntasks-per-node=2 (six
#      at a time), the allocation's own start and end included;
#   3. shards: the same N commands as a job array of 3 tasks, fanrun --shard K/3 -j 2 in each,
#      from sbatch --wait to its end.
# Also the empty allocation (salloc ... true) and the empty array, the fixed cost of each way.
# Prints seconds, commands per second, the cost per command of each way above its fixed cost, and
# the ratios to local.
#
# usage: bench/fanrun_slurm.sh [BUILD_DIR [N]]   (default: build, N = 300)
set -euo pipefail
. "$(dirname "$0")/timing.sh"
build=${1:-build}
n=${2:-300}
here=$(cd "$(dirname "$0")/.." && pwd)
fanrun=$(realpath "$build/bin/fanrun")
scratch=$(mktemp -d)
started=
if ! bash "$here/tests/slurm/cluster.sh" status >/dev/null 2>&1; then
  bash "$here/tests/slurm/cluster.sh" start
  started=1
fi
cleanup() {
  [ -z "$started" ] || bash "$here/tests/slurm/cluster.sh" stop
  rm -rf "$scratch"
}
trap cleanup EXIT
SLURM_CONF=$(bash "$here/tests/slurm/cluster.sh" conf)
export SLURM_CONF
cd "$scratch"

calc() { python3 -c "import sys; print(f'{eval(sys.argv[1]):.4f}')" "$1"; }
# timed COMMAND...: leaves its seconds in $took.
timed() {
  local start
  start=$(now)
  "$@" >/dev/null
  took=$(calc "$(now) - $start")
}
cat >array.sh <<'EOF'
#!/bin/bash
exec "$FANRUN" --shard "$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT" -j 2 -o "out-$SLURM_ARRAY_TASK_ID" true -- $(seq 1 "$COUNT")
EOF
salloc() { command salloc --quiet -N 3 --ntasks-per-node=2 --time=5 "$@"; }
array() { FANRUN=$fanrun COUNT=$1 command sbatch --quiet --wait --time=5 --array=0-2 --output=/dev/null array.sh; }

timed "$fanrun" -j 6 -o out-local true -- $(seq 1 "$n")
local_s=$took
timed salloc true
alloc_s=$took
timed salloc "$fanrun" --slurm -o out-steps true -- $(seq 1 "$n")
steps_s=$took
timed array 0
array0_s=$took
timed array "$n"
shard_s=$took

echo "N = $n commands (true), 6 at a time"
printf '%-8s %8s s %10s commands/s %9s ms a command beyond the fixed cost\n' \
  local "$local_s" "$(calc "$n / $local_s")" "$(calc "1000 * $local_s / $n")"
printf '%-8s %8s s %10s commands/s %9s ms a command (allocation alone %s s)\n' \
  steps "$steps_s" "$(calc "$n / $steps_s")" "$(calc "1000 * ($steps_s - $alloc_s) / $n")" "$alloc_s"
printf '%-8s %8s s %10s commands/s %9s ms a command (empty array %s s)\n' \
  shards "$shard_s" "$(calc "$n / $shard_s")" "$(calc "1000 * ($shard_s - $array0_s) / $n")" "$array0_s"
echo "steps/local: $(calc "$steps_s / $local_s")  shards/local: $(calc "$shard_s / $local_s")  steps/shards: $(calc "$steps_s / $shard_s")"
# A shard runs its commands as local ones (sbatch --wait's polling swamps their cost in the array's
# time): a step holds its slot this much longer than a shard's command, and a command 20 times as
# long loses under 5% to it. The array's fixed cost against the steps' per command: the batch size
# below which steps end first whatever the command length.
extra=$(calc "(($steps_s - $alloc_s) - $local_s) / $n * 6")
echo "a step holds its slot ${extra} s longer than a shard's command: under 5% from commands of $(calc "20 * $extra") s on"
echo "the array's fixed cost pays for $(calc "($array0_s - $alloc_s) / (($steps_s - $alloc_s - $local_s) / $n)") steps' extra cost: smaller batches end sooner as steps"
