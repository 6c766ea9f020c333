#!/usr/bin/env bash
# Whole-process time of the runner against two references over the same jobs, side by side in one
# run: COUNT jobs of `true` at -j 2 and -j 4, the output directory once on the build's disk and
# once on a tmpfs (/dev/shm). The three programs take turns within each round (the order rotates
# from round to round) so that a change in machine load hits all of them alike; the table shows
# the median of the rounds, of the wall-clock time, of the processor time (user + system, the
# program and all its children), which a busy machine disturbs far less, and of the program's own
# processor time, which isolates what the runner itself adds per job. Needs python3.
#
#   fanrun  build/bin/fanrun -j N -o DIR 'true {}' < arguments
#   floor   build/bin/fanrun_floor N DIR COUNT   (the same per-job work, nothing else)
#   xargs   xargs -P N -I{} /bin/bash -c 'true {}' < arguments   (writes no files at all)
#
# A second section times the output modes and the job log in the same way: COUNT jobs of
# `echo {}` at -j 2, what the commands write going to a file beside the runner's, and the temporary
# files of -g and -k (TMPDIR) in the same place as the output directory:
#
#   files     build/bin/fanrun -j 2 -o DIR 'echo {}'            (the default mode)
#   group     build/bin/fanrun -j 2 -g 'echo {}'
#   keep      build/bin/fanrun -j 2 -k 'echo {}'
#   ungroup   build/bin/fanrun -j 2 -u 'echo {}'
#   joblog    build/bin/fanrun -j 2 -o DIR --joblog LOG 'echo {}'
#   parallel  parallel -j 2 -k 'echo {}'   (GNU parallel; its row is left out where it is missing)
#   xargs     xargs -P 2 -I{} /bin/bash -c 'echo {}'
#
# usage: bench/fanrun_bench.sh [BUILD_DIR [ROUNDS [COUNT [SECTION...]]]]
# SECTION is floor (the first comparison), modes, or direct (real work against xargs); without
# one all three run.
# The build needs -DSYSKIT_BUILD_BENCHMARKS=ON for fanrun_floor. FANRUN_BENCH_FILES (default 640)
# is the real work's number of files; FANRUN_BENCH_SYNC=0 leaves out the sync before each run,
# which only a smoke run, whose figures nobody reads, should do.
set -euo pipefail
build=${1:-build}
rounds=${2:-5}
count=${3:-2000}
shift $(($# < 3 ? $# : 3))
sections=("$@")
[ "${#sections[@]}" -gt 0 ] || sections=(floor modes direct)
fanrun=$build/bin/fanrun
floor=$build/bin/fanrun_floor
for program in "$fanrun" "$floor"; do
    [ -x "$program" ] || { echo "missing $program (configure with -DSYSKIT_BUILD_BENCHMARKS=ON)" >&2; exit 2; }
done

disk=$(mktemp -d "$build/fanrun-bench.XXXXXX")
shm=$(mktemp -d /dev/shm/fanrun-bench.XXXXXX)
trap 'rm -rf "$disk" "$shm"' EXIT
arguments=$disk/arguments
seq 1 "$count" >"$arguments"
results=$disk/results

# Prints "wall cpu self" in milliseconds to descriptor 3 for the command in its arguments.
measure=$(dirname "$0")/fanrun_measure.py

# fresh PLACE: a new, empty output directory under PLACE. Nothing a run made is removed before the
# end: ext4 without a journal (as this machine's disk may be; /sys/fs/ext4/*/journal_task says
# <none>) passes over every inode freed in the last minute whenever it makes a file, so a run that
# followed the removal of the last run's files would pay for that removal, not for its own files.
fresh() { mktemp -d "$1/out.XXXXXX"; }

# run TOOL JOBS DIR: prints "wall cpu self" in milliseconds for one whole run.
run() {
    local tool=$1 jobs=$2 out
    out=$(fresh "$3")
    [ "${FANRUN_BENCH_SYNC:-1}" = 0 ] || sync
    case $tool in
    fanrun) python3 "$measure" "$fanrun" -j "$jobs" -o "$out" 'true {}' 3>&1 >/dev/null <"$arguments" ;;
    floor) python3 "$measure" "$floor" "$jobs" "$out" "$count" 3>&1 ;;
    xargs) python3 "$measure" xargs -P "$jobs" -I{} /bin/bash -c 'true {}' 3>&1 <"$arguments" ;;
    esac
}

# An awk function for the programs below: the median of v[key, 1..n[key]].
median_awk='
function median(v, key,    m, i, j, x, a) {
    m = n[key]
    for (i = 1; i <= m; i++) a[i] = v[key, i]
    for (i = 2; i <= m; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
    return (m % 2) ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2
}'

# Median per (place, jobs, tool) of each measure, then the ratios.
summary() {
    local column=$1 title=$2
    echo "$title"
    awk -v c="$column" "$median_awk"'
    { key = $1 " " $2 " " $3; n[key]++; v[key, n[key]] = $c }
    END {
        for (key in n) med[key] = median(v, key)
        printf "%-6s %3s %10s %10s %10s %13s %13s\n", "output", "-j", "fanrun ms", "floor ms", "xargs ms", "fanrun/floor", "fanrun/xargs"
        split("disk tmpfs", places, " ")
        split("2 4", jobs, " ")
        for (p = 1; p <= 2; p++) for (j = 1; j <= 2; j++) {
            k = places[p] " " jobs[j]
            f = med[k " fanrun"]; fl = med[k " floor"]; x = med[k " xargs"]
            printf "%-6s %3s %10.0f %10.0f %10.0f %13.3f %13.3f\n", places[p], jobs[j], f, fl, x, f / fl, f / x
        }
    }' "$results"
    echo
}

# The runner against the floor and xargs.
section_floor() {
    tools=(fanrun floor xargs)
    echo "fanrun benchmark: $count jobs of true, $rounds rounds, $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
    for round in $(seq 1 "$rounds"); do
        for place in disk tmpfs; do
            dir=$disk
            [ "$place" = tmpfs ] && dir=$shm
            for jobs in 2 4; do
                for i in 0 1 2; do
                    tool=${tools[$(((round + i) % 3))]}
                    # Not inside echo's arguments: there a failed run would go unnoticed.
                    figures=$(run "$tool" "$jobs" "$dir") || { echo "$tool -j $jobs on $place failed" >&2; exit 1; }
                    echo "$place $jobs $tool $figures" >>"$results"
                done
            done
        done
        echo "round $round of $rounds done" >&2
    done

    summary 4 "wall-clock time, median of $rounds rounds"
    summary 5 "processor time (user + system, with children), median of $rounds rounds"
    summary 6 "the program's own processor time (without its children), median of $rounds rounds"
    echo "all runs (place jobs tool wall-ms cpu-ms own-ms):"
    cat "$results"
}

# run_mode TOOL DIR: prints "wall cpu self" in milliseconds for one run of `echo {}` at -j 2, what
# the commands write going to DIR/stdout and the report (when it is not on standard output) to
# DIR/stderr.
run_mode() {
    local tool=$1 dir=$2 out
    out=$(fresh "$dir")
    rm -f "$dir/log" "$dir/stdout" "$dir/stderr"
    [ "${FANRUN_BENCH_SYNC:-1}" = 0 ] || sync
    local -a command
    case $tool in
    files) command=("$fanrun" -j 2 -o "$out" 'echo {}') ;;
    group) command=("$fanrun" -j 2 -g 'echo {}') ;;
    keep) command=("$fanrun" -j 2 -k 'echo {}') ;;
    ungroup) command=("$fanrun" -j 2 -u 'echo {}') ;;
    joblog) command=("$fanrun" -j 2 -o "$out" --joblog "$dir/log" 'echo {}') ;;
    parallel) command=(parallel --will-cite -j 2 -k 'echo {}') ;;
    xargs) command=(xargs -P 2 -I{} /bin/bash -c 'echo {}') ;;
    esac
    TMPDIR=$dir python3 "$measure" "${command[@]}" 3>&1 >"$dir/stdout" 2>"$dir/stderr" <"$arguments"
    # Every mode must have shown every command's output, whatever it cost.
    local lines
    case $tool in
    files | joblog) lines=$(cat "$out"/*.stdout | wc -l) ;;
    *) lines=$(wc -l <"$dir/stdout") ;;
    esac
    [ "$lines" -eq "$count" ] || { echo "$tool showed $lines lines of $count" >&2; return 1; }
    case $tool in
    keep | parallel) cmp -s "$dir/stdout" "$arguments" || { echo "$tool lost the input order" >&2; return 1; } ;;
    esac
}

# Median per (place, tool) of each measure, and each tool's ratio to the default mode.
summary_modes() {
    local column=$1 title=$2
    echo "$title"
    awk -v c="$column" -v tools="$3" "$median_awk"'
    { key = $1 " " $2; n[key]++; v[key, n[key]] = $c }
    END {
        for (key in n) med[key] = median(v, key)
        count = split(tools, tool, " ")
        split("disk tmpfs", places, " ")
        printf "%-6s %-9s %10s %10s\n", "output", "mode", "ms", "/files"
        for (p = 1; p <= 2; p++) for (t = 1; t <= count; t++) {
            k = places[p] " " tool[t]
            base = med[places[p] " files"]
            if (base > 0) printf "%-6s %-9s %10.0f %10.3f\n", places[p], tool[t], med[k], med[k] / base
            else printf "%-6s %-9s %10.0f %10s\n", places[p], tool[t], med[k], "-"
        }
    }' "$modes_results"
    echo
}

# The output modes and the job log against the default mode, GNU parallel -k and xargs -P.
section_modes() {
    local tools=(files group keep ungroup joblog xargs)
    if command -v parallel >/dev/null; then
        tools+=(parallel)
    else
        echo "GNU parallel is not installed: its row is left out" >&2
    fi
    local n=${#tools[@]}
    modes_results=$disk/modes
    echo "fanrun output modes: $count jobs of echo at -j 2, $rounds rounds, $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
    for round in $(seq 1 "$rounds"); do
        for place in disk tmpfs; do
            dir=$disk
            [ "$place" = tmpfs ] && dir=$shm
            for i in $(seq 0 $((n - 1))); do
                tool=${tools[$(((round + i) % n))]}
                figures=$(run_mode "$tool" "$dir") || { echo "$tool on $place failed" >&2; exit 1; }
                echo "$place $tool $figures" >>"$modes_results"
            done
        done
        echo "round $round of $rounds done" >&2
    done
    summary_modes 3 "wall-clock time, median of $rounds rounds" "${tools[*]}"
    summary_modes 4 "processor time (user + system, with children), median of $rounds rounds" "${tools[*]}"
    summary_modes 5 "the program's own processor time (without its children), median of $rounds rounds" "${tools[*]}"
    echo "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "all runs (place tool wall-ms cpu-ms own-ms):"
    cat "$modes_results"
}

# ---- real work without the shell: fanrun against xargs on the same files --------------------------
# A corpus of this machine's own text files (man pages uncompressed, licences, copyright files; at
# least 600, some with awkward names: spaces, quotes, a leading dash, unicode), given NUL-separated
# to both. The corpus lies on tmpfs, so that gzip's own files, made and removed in every run, cost
# both sides the same and little. Each row pairs fanrun with its reference; the two take turns
# within each round, the order alternating from round to round, and the table shows medians:
#   gzip -k and sha256sum, one file per command: fanrun -j 2 (output files kept on the build's
#   disk, then on tmpfs, then -k) against xargs -0 -P 2 -n 1, which keeps no output files; with
#   -n 50: fanrun -j 2 -n 50 (files on tmpfs) against xargs -0 -P 2 -n 50;
#   COUNT x /bin/true: fanrun -j 2 against fanrun_floor 2 DIR COUNT /bin/true (no shell either),
#   both with their files on tmpfs.
# FANRUN_BENCH_FILES sets the corpus size (default 640).
direct_bench() {
    local corpus=$shm/corpus list=$disk/files direct=$disk/direct-results
    local files=${FANRUN_BENCH_FILES:-640}
    mkdir -p "$corpus"
    local n=0 source name
    # Half man pages, the rest licences and copyright files.
    while IFS= read -r -d '' source && [ "$n" -lt $((files / 2)) ]; do
        name=$(basename "$source" .gz)
        zcat -f -- "$source" >"$corpus/$name" 2>/dev/null && n=$((n + 1))
    done < <(find /usr/share/man -name '*.gz' -print0 2>/dev/null)
    for source in /usr/share/common-licenses/* /usr/share/doc/*/copyright; do
        [ "$n" -lt "$files" ] || break
        [ -f "$source" ] || continue
        n=$((n + 1))
        name=${source#/usr/share/}
        cp -- "$source" "$corpus/${name//\//_}"
    done
    local awkward=("a file with spaces" "it's \"quoted\"" "-leading-dash" "ünïcødé ☃ 文件" "semi;colon \$(x)")
    local i=0
    for source in "$corpus"/*; do
        [ "$i" -lt "${#awkward[@]}" ] || break
        mv -- "$source" "$corpus/${awkward[$i]}"
        i=$((i + 1))
    done
    find "$corpus" -type f -print0 >"$list"
    local total
    total=$(tr -cd '\0' <"$list" | wc -c)
    seq 1 "$count" >"$disk/direct-arguments"
    echo
    echo "real work: $total files ($(du -sh "$corpus" | cut -f1)), -j 2, $rounds rounds, load $(cut -d' ' -f1-3 /proc/loadavg)"

    # one ROW SIDE: "wall cpu self" for one whole run; gzip's outputs are removed afterwards.
    one() {
        local row=$1 side=$2 out status=0
        if [ "${row#*-}" = files ]; then out=$(fresh "$disk"); else out=$(fresh "$shm"); fi
        local work=${row%%-*} mode=${row#*-}
        local -a program=(gzip -k)
        [ "$work" = sha ] && program=(sha256sum)
        case $row/$side in
        true-n1/fanrun) python3 "$measure" "$fanrun" -j 2 -o "$out" /bin/true -- 3>&1 >/dev/null <"$disk/direct-arguments" || status=$? ;;
        true-n1/reference) python3 "$measure" "$floor" 2 "$out" "$count" /bin/true 3>&1 || status=$? ;;
        */fanrun)
            local -a options=(-o "$out")
            [ "$mode" = k ] && options=(-k)
            [ "$mode" = tmpfs ] && options=(-o "$out")
            [ "$mode" = n50 ] && options=(-o "$out" -n 50)
            python3 "$measure" "$fanrun" -0 -j 2 "${options[@]}" "${program[@]}" -- 3>&1 >/dev/null 2>&1 <"$list" || status=$? ;;
        */reference)
            local per=1
            [ "$mode" = n50 ] && per=50
            python3 "$measure" xargs -0 -P 2 -n "$per" "${program[@]}" 3>&1 >/dev/null 2>&1 <"$list" || status=$? ;;
        esac
        [ "$work" != gzip ] || find "$corpus" -name '*.gz' -delete
        return "$status"
    }
    local rows=(gzip-files gzip-tmpfs gzip-k gzip-n50 sha-files sha-tmpfs sha-k sha-n50 true-n1)
    local round row side figures
    for round in $(seq 1 "$rounds"); do
        for row in "${rows[@]}"; do
            local sides=(fanrun reference)
            [ $((round % 2)) -eq 0 ] && sides=(reference fanrun)
            for side in "${sides[@]}"; do
                figures=$(one "$row" "$side") || { echo "$row $side failed" >&2; exit 1; }
                echo "$row $side $figures" >>"$direct"
            done
        done
        echo "real work round $round of $rounds done" >&2
    done
    awk -v rounds="$rounds" "$median_awk"'
    { key = $1 " " $2; n[key]++; w[key, n[key]] = $3; c[key, n[key]] = $4 }
    END {
        printf "%-10s %-22s %10s %10s %8s %10s %10s %8s\n", "row", "reference", "fanrun ms", "ref ms", "wall x", "fanrun cpu", "ref cpu", "cpu x"
        count = split("gzip-files gzip-tmpfs gzip-k gzip-n50 sha-files sha-tmpfs sha-k sha-n50 true-n1", rows, " ")
        for (r = 1; r <= count; r++) {
            k = rows[r]
            ref = k ~ /^true/ ? "fanrun_floor /bin/true" : k ~ /n50$/ ? "xargs -P 2 -n 50" : "xargs -P 2 -n 1"
            fw = median(w, k " fanrun"); rw = median(w, k " reference")
            fc = median(c, k " fanrun"); rc = median(c, k " reference")
            printf "%-10s %-22s %10.0f %10.0f %8.3f %10.0f %10.0f %8.3f\n", k, ref, fw, rw, fw / rw, fc, rc, (rc > 0 ? fc / rc : 0)
        }
    }' "$direct"
    echo "(files: output files kept on disk; tmpfs: on /dev/shm; k: fanrun -k; n50: 50 files per command; medians of $rounds rounds; load after: $(cut -d' ' -f1-3 /proc/loadavg))"
}

for section in "${sections[@]}"; do
    case $section in
    floor) section_floor ;;
    modes) section_modes ;;
    direct) direct_bench ;;
    *) echo "unknown section $section (floor, modes or direct)" >&2; exit 2 ;;
    esac
done
