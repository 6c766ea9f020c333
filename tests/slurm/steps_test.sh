#!/usr/bin/env bash
# fanrun --slurm inside allocations of several nodes on the cluster that cluster.sh brings up:
# commands spread over the nodes with the job log naming them, arguments of awkward bytes reaching
# the command exactly, a node drained while its steps run, a node lost while its steps run (those
# steps and the ones Slurm can no longer place there run again elsewhere), and the refusals.
#
#   steps_test.sh FANRUN
#
# Without a cluster the test is skipped (exit 77), except in CI, where that is a failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fanrun=$(realpath "$1")

bash "$here/cluster.sh" need || exit $?
SLURM_CONF=$(bash "$here/cluster.sh" conf)
export SLURM_CONF
mapfile -t nodes < <(bash "$here/cluster.sh" nodes)
[ "${#nodes[@]}" -ge 3 ] || { echo "FAIL: the cluster has ${#nodes[@]} nodes, the test needs 3"; exit 1; }

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
work=$(mktemp -d)
cleanup() {
  scontrol update nodename="${nodes[2]}" state=resume >/dev/null 2>&1
  scancel --quiet --name=fanrun-steps 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# allocate SALLOC_OPTIONS... -- COMMAND...: COMMAND inside a new allocation of 3 nodes, bounded in
# time; its exit status.
allocate() {
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  timeout 120 salloc --quiet --job-name=fanrun-steps --time=2 -N 3 "${options[@]}" "$@"
}

# 1. Spread: 12 commands over 3 nodes of 2 CPUs, in order with -k; each command prints the node it
# ran on, which must be the job log's host for it, and every node takes some.
allocate --ntasks-per-node=2 -- "$fanrun" --slurm -k --joblog spread.log --results spread.csv \
  'sleep 0.2; echo "{} $SLURMD_NODENAME"' $(seq 1 12) >spread.out 2>spread.err
status=$?
[ "$status" -eq 0 ] || fail "spread: exit $status: $(cat spread.err)"
[ "$(cut -d' ' -f1 spread.out | paste -sd ' ')" = "$(seq 1 12 | paste -sd ' ')" ] ||
  fail "spread: the output is not the 12 arguments in order: $(paste -sd ' ' spread.out)"
awk -F'\t' '$1 == "end" { print $8, $9 }' spread.log | sort -n >spread.logged
sort -n spread.out >spread.ran
cmp -s spread.logged spread.ran || fail "spread: the job log's hosts differ from where the commands ran: $(diff spread.logged spread.ran | paste -sd ' ')"
# The results name the node too: each record begins with Seq (here the argument) and Host; its
# Stdout field goes on on the next line.
awk -F, '/^[0-9]+,node/ { print $1, $2 }' spread.csv | sort -n >spread.kept
cmp -s spread.kept spread.ran || fail "spread: the results' hosts differ from where the commands ran: $(diff spread.kept spread.ran | paste -sd ' ')"
for node in "${nodes[@]:0:3}"; do
  grep -q " $node\$" spread.ran || fail "spread: no command ran on $node: $(paste -sd ' ' spread.ran)"
done
[ "$(awk -F'\t' 'NR == 1 { print $9 }' spread.log)" = host ] || fail "spread: the job log has no host column"
# Under -k the report goes to standard error; nothing else may.
grep -q '^fanrun' spread.err && fail "spread: fanrun said: $(grep '^fanrun' spread.err)"

# 2. Arguments are data: every byte from 1 to 255 but NUL, quotes, blanks and newlines, in a
# template for bash and as words without the shell; each argument back from the node exactly.
printf 'plain\0a b  c\0'"'"'single'"'"' "double" $HOME `id` \\ ;|&<>*?[]\0line\nbreak\0-n\0\0' >awkward
printf 'x%s\0' "$(printf "$(printf '\\%03o' $(seq 1 255))")" | tr -d '\n' >>awkward
printf '\0' >>awkward
for form in template words; do
  if [ "$form" = template ]; then
    command=('printf "%s\0" {}')
  else
    command=(printf '%s\0' --)
  fi
  allocate -- "$fanrun" --slurm -k -0 -a awkward "${command[@]}" >"awkward.$form" 2>awkward.err
  status=$?
  [ "$status" -eq 0 ] || fail "awkward ($form): exit $status: $(cat awkward.err)"
  # Empty arguments are items too under -0: the input and the output hold the same items.
  cmp -s awkward "awkward.$form" || fail "awkward ($form): the arguments did not come back exactly: $(cmp awkward "awkward.$form")"
done

# 3 and 4. A node drained, or set down (the allocation keeps its other nodes: --no-kill), while its
# steps run: no command is lost and each runs to its end exactly once; the steps of the lost node
# and those Slurm cannot place there any more run again elsewhere.
for change in drain down; do
  rm -rf ran && mkdir ran
  (
    sleep 1.5
    scontrol update nodename="${nodes[2]}" state="$change" reason=fanrun-test
  ) &
  changer=$!
  allocate --no-kill --ntasks-per-node=2 -- "$fanrun" --slurm --joblog "$change.log" \
    'sleep 1; echo {} >>ran/{}' $(seq 1 18) >"$change.out" 2>"$change.err"
  status=$?
  wait "$changer"
  scontrol update nodename="${nodes[2]}" state=resume >/dev/null 2>&1
  bash "$here/cluster.sh" status >/dev/null || sleep 2
  [ "$status" -eq 0 ] || fail "$change: exit $status: $(cat "$change.err")"
  for i in $(seq 1 18); do
    [ "$(cat "ran/$i" 2>/dev/null)" = "$i" ] ||
      fail "$change: argument $i ran as '$(paste -sd ' ' "ran/$i" 2>/dev/null)', expected once"
  done
  last=$(awk -F'\t' '$1 == "end" { last[$8] = $4 } END { for (a in last) if (last[a] != 0) n++; print n + 0 }' "$change.log")
  [ "$last" -eq 0 ] || fail "$change: $last arguments' last end in the job log is not a success"
  if [ "$change" = drain ]; then
    [ -s drain.err ] && fail "drain: fanrun said: $(head -c 2000 drain.err)"
  else
    # The steps running there were lost (srun even exits 0); later ones could not be placed.
    grep -q "on node ${nodes[2]} was lost (srun exit 0, without the step's mark in " down.err ||
      fail "down: no step was lost on ${nodes[2]}: $(cat down.err)"
    grep -q "on node ${nodes[2]} was lost (srun exit 255)" down.err ||
      fail "down: no step failed to be placed on ${nodes[2]}: $(cat down.err)"
    grep -q "node ${nodes[2]} left out after 3 lost steps in a row" down.err ||
      fail "down: ${nodes[2]} was not left out: $(cat down.err)"
    awk -F'\t' -v node="${nodes[2]}" '$1 == "end" && $9 == node && $4 == 255 { found = 1 } END { exit !found }' down.log ||
      fail "down: the job log holds no lost attempt on ${nodes[2]}"
  fi
done

# 5. Refusals: nothing runs, exit 2, one line saying why.
refused() {
  local name=$1 want=$2 out
  shift 2
  out=$("$@" 2>&1 >/dev/null)
  local status=$?
  [ "$status" -eq 2 ] || fail "$name: exit $status, expected 2"
  [[ $out == *"$want"* ]] || fail "$name: said '$out', expected '$want'"
}
refused outside "there is none (SLURM_JOB_ID is not set)" env -u SLURM_JOB_ID "$fanrun" --slurm true -- a
refused "too many CPUs" "no node of the allocation has 64 CPUs" \
  allocate -- "$fanrun" --slurm --cpus-per-command 64 true -- a
refused "no CPUs" "--cpus-per-command needs a whole number from 1" "$fanrun" --slurm --cpus-per-command 0 true -- a
refused "with hosts" "does not go with -S" "$fanrun" --slurm -S host2 true -- a

if [ "$failures" -gt 0 ]; then
  for file in "$work"/*.err; do echo "--- $file"; cat "$file"; done
  exit 1
fi
echo "PASS: steps spread over 3 nodes, awkward arguments, a drained and a lost node, refusals"
