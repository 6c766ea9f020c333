#!/usr/bin/env bash
# Files to remote hosts and back (--trc) over real ssh hosts (tests/ssh/hosts.sh starts three on
# loopback addresses, each with a home of its own, and removes them at the end), side by side in
# one run:
#   1. N small files, each sent, compressed there, the .gz fetched back and both removed (--trc):
#      fanrun (tar over its shared connections) against GNU parallel --trc (rsync, -M);
#   2. what the moving costs: the same commands with --trc against without (the files made there).
# Every .gz is checked against gzip here. Ratios are the other's time over fanrun's --trc.
#
# usage: bench/fanrun_transfer.sh [BUILD_DIR [N]]   (default: build, N = 300)
set -euo pipefail
. "$(dirname "$0")/timing.sh"
build=${1:-build}
n=${2:-300}
here=$(cd "$(dirname "$0")/.." && pwd)
fanrun=$(realpath "$build/bin/fanrun")
scratch=$(mktemp -d)
export SYSKIT_SSH_DIR=$scratch/hosts SYSKIT_SSH_PORT=${SYSKIT_SSH_PORT:-2324}
trap 'bash "$here/tests/ssh/hosts.sh" stop; rm -rf "$scratch"' EXIT
bash "$here/tests/ssh/hosts.sh" start 3
mkdir "$scratch/work"
cd "$scratch/work"
ssh="ssh -F $SYSKIT_SSH_DIR/ssh_config"
hosts=4/host2,4/host3,4/host4
for i in $(seq "$n"); do
  seq "$i" $((i + 2000)) >"f$i.txt"
done

# timed NAME CHECK COMMAND...: runs it over the files and leaves the seconds in $took; CHECK yes:
# every .gz must have come back whole, count: says how many did, no: none is looked at.
timed() {
  local name=$1 check=$2 start
  shift 2
  rm -f -- *.gz
  start=$(now)
  "$@" >out 2>err || [ "$check" = count ] || { echo "$name failed:"; cat err; exit 1; }
  took=$(seconds "$start" "$(now)")
  local whole=0
  if [ "$check" != no ]; then
    for f in *.txt; do
      if cmp -s <(gzip -dc "$f.gz" 2>/dev/null) "$f"; then
        whole=$((whole + 1))
      elif [ "$check" = yes ]; then
        echo "$name: $f.gz is not $f compressed"
        exit 1
      fi
    done
  fi
  printf '%-48s %8s s' "$name" "$took"
  [ "$check" = count ] && printf '  (%d of %d came back whole)' "$whole" "$n"
  echo
}

echo "$n files of about 9 KB over 3 ssh hosts, 4 slots each:"
timed "fanrun --trc" yes "$fanrun" -g --ssh "$ssh" -S "$hosts" --trc {}.gz \
  'gzip -c {} > {}.gz' -- *.txt
mine=$took
if command -v parallel >/dev/null && command -v rsync >/dev/null; then
  # Its transfers open connections of their own: beyond sshd's MaxStartups some are refused.
  timed "GNU parallel -M --trc" count parallel -M --ssh "$ssh" -S "$hosts" --trc {}.gz \
    'gzip -c {} > {}.gz' ::: *.txt
  echo "  GNU parallel -M --trc / fanrun --trc: $(ratio "$took" "$mine")x"
else
  echo "  (GNU parallel with rsync is not installed: apt-get install parallel rsync)"
fi
timed "fanrun without moving files" no "$fanrun" -g --ssh "$ssh" -S "$hosts" \
  'seq 1 2000 | gzip -c > /dev/null; echo {}' -- *.txt
echo "  fanrun --trc / without: $(ratio "$mine" "$took")x"
