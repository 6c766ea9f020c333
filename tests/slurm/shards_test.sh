#!/usr/bin/env bash
# fanrun --shard inside a Slurm job array: 4 tasks share 40 arguments on the cluster that
# cluster.sh brings up. Checks that every argument runs exactly once and in the right shard, each
# shard's report, and the array's exit status with and without a failing argument.
#
#   shards_test.sh FANRUN
#
# Without a cluster the test is skipped (exit 77), except in CI, where that is a failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fanrun=$(realpath "$1")
tasks=4
count=40

bash "$here/cluster.sh" need || exit $?
SLURM_CONF=$(bash "$here/cluster.sh" conf)
export SLURM_CONF

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run_array FAILING_ARGUMENT: submit the array (FAILING_ARGUMENT's command exits 1; "none" for a
# clean run) and check what it left in $work.
run_array() {
  local failing=$1 status work template
  work=$(mktemp -d)
  mkdir "$work/ran"
  # Each command records which task ran it; the report shows the command as expanded.
  # shellcheck disable=SC2016 # expanded by the commands' shell
  template='echo "$SLURM_ARRAY_TASK_ID" >>"$WORK/ran/{}"; [ {} != "$FAILING" ]'
  cat >"$work/job.sh" <<'EOF'
#!/bin/bash
"$FANRUN" --shard "$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT" -j 2 \
  -o "$WORK/shard-$SLURM_ARRAY_TASK_ID" "$TEMPLATE" "$@" >"$WORK/report-$SLURM_ARRAY_TASK_ID"
status=$?
echo "$status" >"$WORK/status-$SLURM_ARRAY_TASK_ID"
exit "$status"
EOF
  # Slurm ends a task after a minute; two rounds of tasks share the two processors.
  FANRUN=$fanrun WORK=$work TEMPLATE=$template FAILING=$failing \
    timeout 180 sbatch --quiet --wait --time=1 --job-name=fanrun-shards --array=0-$((tasks - 1)) \
    --chdir="$work" --output="$work/slurm-%a.out" "$work/job.sh" $(seq 0 $((count - 1)))
  status=$?
  if [ "$status" -eq 124 ]; then
    scancel --quiet --name=fanrun-shards
    echo "FAIL: failing=$failing: the array did not end within 180s"
    rm -rf "$work"
    exit 1
  fi

  local want=0
  [ "$failing" = none ] || want=123
  [ "$status" -eq "$want" ] || fail "failing=$failing: sbatch --wait exited $status, expected $want"

  local k i n pid one code command report
  for ((k = 0; k < tasks; k++)); do
    want=0
    [ "$failing" = none ] || [ $((failing % tasks)) -ne "$k" ] || want=123
    [ "$(cat "$work/status-$k" 2>/dev/null)" = "$want" ] ||
      fail "failing=$failing: task $k exited '$(cat "$work/status-$k" 2>/dev/null)', expected $want"
    # The report: "10 10 0", then the shard's arguments k, k+4, ... in input order.
    mapfile -t report <"$work/report-$k"
    [ "${report[0]:-}" = "$((count / tasks)) $((count / tasks)) 0" ] ||
      fail "failing=$failing: task $k report begins '${report[0]:-}'"
    [ "${#report[@]}" -eq $((count / tasks + 1)) ] ||
      fail "failing=$failing: task $k report has ${#report[@]} lines"
    n=1
    for ((i = k; i < count; i += tasks)); do
      read -r pid one code command <<<"${report[n]:-}"
      want=0
      [ "$i" != "$failing" ] || want=1
      [ "${one:-} ${code:-} ${command:-}" = "1 $want ${template//\{\}/$i}" ] ||
        fail "failing=$failing: task $k report line $n is '${report[n]:-}'"
      [ -f "$work/shard-$k/${pid:-none}.stdout" ] || fail "task $k: no shard-$k/${pid:-}.stdout"
      n=$((n + 1))
    done
  done
  for ((i = 0; i < count; i++)); do
    [ "$(cat "$work/ran/$i" 2>/dev/null)" = "$((i % tasks))" ] ||
      fail "failing=$failing: argument $i ran as '$(paste -sd ' ' "$work/ran/$i" 2>/dev/null)', expected once in task $((i % tasks))"
  done
  if [ "$failures" -gt 0 ]; then
    for file in "$work"/slurm-*.out; do echo "--- $file"; cat "$file"; done
  fi
  rm -rf "$work"
}

run_array none
[ "$failures" -gt 0 ] || run_array 17
[ "$failures" -eq 0 ] || exit 1
echo "PASS: $tasks shards of $count arguments, clean and with a failing argument"
