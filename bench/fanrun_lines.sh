#!/usr/bin/env bash
# The line relay's throughput: two commands writing LINES lines each (seq), at -j 2, into one
# file, side by side in one run. The forms take turns within each round (the order rotates from
# round to round, so that a change in machine load hits them alike); the table shows the median
# wall-clock and processor time (user + system, fanrun and its commands) of the rounds, and each
# form's ratio to -u, where the commands write straight to the file and nothing is relayed.
# Every form's output is checked to hold all 2 x LINES lines.
#
#   ungroup   fanrun -j 2 -u 'seq -f {}.%g LINES' -- 1 2
#   lines     fanrun -j 2 --lb 'seq -f {}.%g LINES' -- 1 2
#   tagged    fanrun -j 2 --lb --tag 'seq -f {}.%g LINES' -- 1 2
#   group     fanrun -j 2 -g 'seq -f {}.%g LINES' -- 1 2
#   parallel  parallel -j 2 --lb 'seq -f {}.%g LINES' ::: 1 2   (GNU parallel, if installed)
#
# usage: bench/fanrun_lines.sh [BUILD_DIR [ROUNDS [LINES]]]   (default: build, 5, 1000000)
set -euo pipefail
build=${1:-build}
rounds=${2:-5}
count=${3:-1000000}
fanrun=$(realpath "$build/bin/fanrun")
[ -x "$fanrun" ] || { echo "missing $fanrun" >&2; exit 2; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
out=$scratch/out

forms=(ungroup lines tagged group)
command -v parallel >/dev/null && forms+=(parallel)

run_form() {
    case $1 in
    ungroup) "$fanrun" -j 2 -u "seq -f {}.%g $count" -- 1 2 ;;
    lines) "$fanrun" -j 2 --lb "seq -f {}.%g $count" -- 1 2 ;;
    tagged) "$fanrun" -j 2 --lb --tag "seq -f {}.%g $count" -- 1 2 ;;
    group) "$fanrun" -j 2 -g "seq -f {}.%g $count" -- 1 2 ;;
    parallel) parallel --will-cite -j 2 --lb "seq -f {}.%g $count" ::: 1 2 ;;
    esac
}

# "wall cpu" in milliseconds of one form, its output checked.
measure() {
    python3 - "$1" "$out" "$((2 * count))" <<'PY'
import os, resource, subprocess, sys, time
form, out, expected = sys.argv[1], sys.argv[2], int(sys.argv[3])
before = resource.getrusage(resource.RUSAGE_CHILDREN)
start = time.monotonic()
with open(out, "wb") as sink:
    subprocess.run(["bash", "-c", 'source /dev/stdin; run_form "$0"', form],
                   input=os.environ["RUN_FORM"].encode(), stdout=sink,
                   stderr=subprocess.DEVNULL, check=True)
wall = time.monotonic() - start
after = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
with open(out, "rb") as produced:
    lines = sum(chunk.count(b"\n") for chunk in iter(lambda: produced.read(1 << 20), b""))
if lines != expected:
    sys.exit(f"{form}: {lines} lines, not {expected}")
print(f"{wall * 1000:.0f} {cpu * 1000:.0f}")
PY
}
RUN_FORM="fanrun=$(printf %q "$fanrun"); count=$count; $(declare -f run_form)"
export RUN_FORM

declare -A walls cpus
for round in $(seq "$rounds"); do
    for i in "${!forms[@]}"; do
        form=${forms[$(((i + round) % ${#forms[@]}))]}
        read -r wall cpu < <(measure "$form")
        walls[$form]+="$wall "
        cpus[$form]+="$cpu "
    done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
base_wall=$(median <<<"${walls[ungroup]}")
base_cpu=$(median <<<"${cpus[ungroup]}")
echo "2 x $count lines at -j 2 into a file, median of $rounds rounds"
printf '%-9s %9s %9s %11s %11s\n' form wall-ms cpu-ms wall/-u cpu/-u
for form in "${forms[@]}"; do
    wall=$(median <<<"${walls[$form]}")
    cpu=$(median <<<"${cpus[$form]}")
    printf '%-9s %9s %9s %11s %11s\n' "$form" "$wall" "$cpu" \
        "$(awk -v a="$wall" -v b="$base_wall" 'BEGIN {printf "%.2f", a / b}')" \
        "$(awk -v a="$cpu" -v b="$base_cpu" 'BEGIN {printf "%.2f", a / b}')"
done
