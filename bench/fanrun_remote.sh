#!/usr/bin/env bash
# Remote runs over real ssh hosts (tests/ssh/hosts.sh starts three on loopback addresses, each in
# namespaces of its own, and removes them at the end), side by side in one run:
#   1. N short commands (echo) over the three hosts, 4 slots each: fanrun -S against GNU parallel
#      -S on the same hosts (as its users run it, and with its --controlmaster, -M);
#   2. the cost of one command on one host with one slot: over fanrun's shared connection against
#      a new ssh connection per command (fanrun --ssh 'ssh -o ControlPath=none').
# Ratios are printed as the other's time over fanrun's (above 1: fanrun is faster).
#
# usage: bench/fanrun_remote.sh [BUILD_DIR [N [M]]]   (default: build, N = 2000, M = 200)
set -euo pipefail
. "$(dirname "$0")/timing.sh"
build=${1:-build}
n=${2:-2000}
m=${3:-200}
here=$(cd "$(dirname "$0")/.." && pwd)
fanrun=$(realpath "$build/bin/fanrun")
scratch=$(mktemp -d)
export SYSKIT_SSH_DIR=$scratch/hosts SYSKIT_SSH_PORT=${SYSKIT_SSH_PORT:-2322}
trap 'bash "$here/tests/ssh/hosts.sh" stop; rm -rf "$scratch"' EXIT
bash "$here/tests/ssh/hosts.sh" start 3
cd "$scratch"
ssh="ssh -F $SYSKIT_SSH_DIR/ssh_config"
hosts=4/host2,4/host3,4/host4

# timed NAME COMMAND...: runs it with N numbers on standard input, checks every one came back,
# and leaves the seconds in $took.
timed() {
  local name=$1 start
  shift
  start=$(now)
  seq "$count" | "$@" >out 2>err || { echo "$name failed:"; cat err; exit 1; }
  took=$(seconds "$start" "$(now)")
  [ "$(sort -n out | uniq | wc -l)" = "$count" ] || { echo "$name lost output"; exit 1; }
  printf '%-44s %8s s\n' "$name" "$took"
}

count=$n
echo "$n short commands over 3 ssh hosts, 4 slots each:"
timed "fanrun -S" "$fanrun" -g --ssh "$ssh" -S "$hosts" 'echo {}'
fanrun_time=$took
if command -v parallel >/dev/null; then
  timed "GNU parallel -S" parallel --ssh "$ssh" -S "$hosts" 'echo {}'
  echo "  GNU parallel -S / fanrun -S: $(ratio "$took" "$fanrun_time")x"
  timed "GNU parallel -M -S (its shared connections)" parallel -M --ssh "$ssh" -S "$hosts" 'echo {}'
  echo "  GNU parallel -M -S / fanrun -S: $(ratio "$took" "$fanrun_time")x"
else
  echo "  (GNU parallel is not installed: apt-get install parallel)"
fi

count=$m
echo "$m commands one after another on one host, per command:"
timed "fanrun -S over the shared connection" "$fanrun" -g --ssh "$ssh" -S 1/host2 'echo {}'
shared=$took
timed "fanrun -S with a new ssh per command" "$fanrun" -g --ssh "$ssh -o ControlPath=none" \
  -S 1/host2 'echo {}'
fresh=$took
echo "  per command: shared $(python3 -c "print(f'{$shared / $m * 1000:.1f}')") ms," \
  "new ssh $(python3 -c "print(f'{$fresh / $m * 1000:.1f}')") ms;" \
  "new / shared: $(ratio "$fresh" "$shared")x"
