#!/usr/bin/env bash
# smoke.sh PROGRAM: runs a Google Benchmark program once over the first case of each of its
# benchmarks (a name without the arguments and settings that follow it: /8, /keys:1000,
# /iterations:50, /real_time), so that every benchmark is compiled, started and finished. It fails when the program fails, lists no case, runs none of the
# chosen ones or reports an error in one (SkipWithError leaves the exit status at 0); it asserts
# nothing about time.
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$program" --benchmark_list_tests=true >"$work/names"
declare -A seen=()
chosen=()
while IFS= read -r name; do
  family=$name
  while [[ $family =~ ^(.+)/([0-9]+|[A-Za-z_]+:[^/]*|real_time|manual_time|process_time)$ ]]; do
    family=${BASH_REMATCH[1]}
  done
  [ -n "$family" ] && [ -z "${seen[$family]:-}" ] || continue
  seen[$family]=1
  chosen+=("$(printf '%s' "$name" | sed 's/[][\\.*^$+?(){}|]/\\&/g')")
done <"$work/names"
[ "${#chosen[@]}" -gt 0 ] || { echo "FAILED: $program lists no benchmark"; exit 1; }
filter="^($(IFS='|'; printf '%s' "${chosen[*]}"))\$"

"$program" --benchmark_filter="$filter" --benchmark_min_time=0.01 \
  --benchmark_out="$work/result.json" --benchmark_out_format=json
ran=$(grep -c '"run_name"' "$work/result.json" || true)
if grep -q '"error_occurred": true' "$work/result.json"; then
  echo "FAILED: a benchmark reported an error:"
  grep -E '"(run_name|error_message)"' "$work/result.json"
  exit 1
fi
[ "$ran" -ge "${#chosen[@]}" ] || { echo "FAILED: ran $ran of the ${#chosen[@]} chosen cases"; exit 1; }
echo "smoke run of $(basename "$program"): $ran cases of ${#chosen[@]} benchmarks, no error"
