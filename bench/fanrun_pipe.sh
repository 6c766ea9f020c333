#!/usr/bin/env bash
# --pipe and --pipe-part side by side with their yardsticks, in one run, on tmpfs: a file of about
# 440 MB of lines counted by `--pipe --block 4M -j 2 wc -l` (standard input the file, and through
# a pipe from cat), by GNU parallel's --pipe and by `cat FILE | wc -l`; `--pipe-part` against
# GNU parallel's --pipe-part; `--pipe --round-robin -j 2 wc -l` (two long-lived commands, the file
# on standard input and through a pipe) against GNU parallel's --pipe --round-robin; and
# `--pipe -k -j 2 gzip -1` against one `gzip -1`, its output
# checked to be a gzip stream of the file. Each figure is the best of ROUNDS runs (GNU parallel's
# of one: it is slow); every count is checked against wc -l. Also the runner's own peak memory
# (maximum resident set) while it cuts the piped file. Ratios below 1 mean fanrun is faster.
#
# usage: bench/fanrun_pipe.sh [BUILD_DIR [ROUNDS [MEGABYTES]]]   (default: build, 3, 440)
set -euo pipefail
. "$(dirname "$0")/timing.sh"
build=${1:-build}
rounds=${2:-3}
megabytes=${3:-440}
fanrun=$(realpath "$build/bin/fanrun")
scratch=$(mktemp -d /dev/shm/fanrun-pipe.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
file=$scratch/lines
python3 - "$file" "$megabytes" <<'PY'
import random, sys
random.seed(7)
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(n)) for n in range(1, 40)]
size = int(sys.argv[2]) * 1000 * 1000
with open(sys.argv[1], 'w') as out:
    chunk = '\n'.join(' '.join(random.choice(words) for _ in range(random.randint(1, 8)))
                      for _ in range(20000)) + '\n'
    written = 0
    while written < size:
        out.write(chunk)
        written += len(chunk)
PY
lines=$(wc -l < "$file")
echo "file: $(stat -c %s "$file") bytes, $lines lines, on $(df --output=fstype "$scratch" | tail -1)"

# best SECONDS of running the shell code "$2" $1 times; its output (a count) is checked.
best() {
    local times=$1 code=$2 expect=$3 fastest=
    for _ in $(seq "$times"); do
        local start end got
        start=$(date +%s.%N)
        got=$(bash -c "$code")
        end=$(date +%s.%N)
        if [ -n "$expect" ] && [ "$got" != "$expect" ]; then
            echo "wrong result from: $code: $got, not $expect" >&2
            exit 1
        fi
        fastest=$(python3 -c "import sys; a=float(sys.argv[2])-float(sys.argv[1]); b=sys.argv[3]; print(f'{min(a, float(b)) if b else a:.3f}')" "$start" "$end" "$fastest")
    done
    echo "$fastest"
}
sum='awk "{s += \$1} END {print s}"'
export fanrun file

cat_wc=$(best "$rounds" 'cat "$file" | wc -l' "$lines")
pipe_file=$(best "$rounds" "\"\$fanrun\" --pipe --block 4M -j 2 wc -l < \"\$file\" 2>/dev/null | $sum" "$lines")
pipe_piped=$(best "$rounds" "cat \"\$file\" | \"\$fanrun\" --pipe --block 4M -j 2 wc -l 2>/dev/null | $sum" "$lines")
part=$(best "$rounds" "\"\$fanrun\" --pipe-part -a \"\$file\" --block 4M -j 2 wc -l 2>/dev/null | $sum" "$lines")
echo "cat FILE | wc -l                                   $cat_wc s"
echo "fanrun --pipe --block 4M -j 2 wc -l < FILE         $pipe_file s  ($(ratio "$pipe_file" "$cat_wc")x cat | wc -l; target at most 2)"
echo "cat FILE | fanrun --pipe --block 4M -j 2 wc -l     $pipe_piped s  ($(ratio "$pipe_piped" "$cat_wc")x cat | wc -l)"
echo "fanrun --pipe-part -a FILE --block 4M -j 2 wc -l   $part s  ($(ratio "$part" "$cat_wc")x cat | wc -l)"
robin_file=$(best "$rounds" "\"\$fanrun\" --pipe --round-robin -j 2 wc -l < \"\$file\" 2>/dev/null | $sum" "$lines")
robin_piped=$(best "$rounds" "cat \"\$file\" | \"\$fanrun\" --pipe --round-robin -j 2 wc -l 2>/dev/null | $sum" "$lines")
echo "fanrun --pipe --round-robin -j 2 wc -l < FILE      $robin_file s  ($(ratio "$robin_file" "$cat_wc")x cat | wc -l)"
echo "cat FILE | fanrun --pipe --round-robin -j 2 wc -l  $robin_piped s  ($(ratio "$robin_piped" "$cat_wc")x cat | wc -l)"
if command -v parallel >/dev/null; then
    gnu_pipe=$(best 1 "parallel --pipe --block 4M -j 2 wc -l < \"\$file\" | $sum" "$lines")
    gnu_part=$(best 1 "parallel --pipe-part -a \"\$file\" --block 4M -j 2 wc -l | $sum" "$lines")
    echo "parallel --pipe --block 4M -j 2 wc -l < FILE       $gnu_pipe s  (fanrun --pipe takes $(ratio "$pipe_file" "$gnu_pipe")x; target at most 0.33)"
    echo "parallel --pipe-part -a FILE --block 4M -j 2 wc -l $gnu_part s  (fanrun --pipe-part takes $(ratio "$part" "$gnu_part")x; target at most 1)"
    gnu_robin=$(best "$rounds" "parallel --pipe --round-robin -j 2 wc -l < \"\$file\" | $sum" "$lines")
    echo "parallel --pipe --round-robin -j 2 wc -l < FILE    $gnu_robin s  (fanrun --pipe --round-robin takes $(ratio "$robin_file" "$gnu_robin")x)"
else
    echo "GNU parallel is not installed: its figures are left out"
fi

gzip_one=$(best "$rounds" 'gzip -1 < "$file" > "$file.1.gz"' "")
gzip_pipe=$(best "$rounds" '"$fanrun" --pipe -k -j 2 --block 4M gzip -1 < "$file" > "$file.k.gz" 2>/dev/null' "")
gzip -dc "$file.k.gz" | cmp - "$file"
echo "gzip -1 < FILE                                     $gzip_one s"
echo "fanrun --pipe -k -j 2 --block 4M gzip -1 < FILE    $gzip_pipe s  ($(ratio "$gzip_pipe" "$gzip_one")x one gzip; target at most 0.65; output checked with gzip -dc)"

peak=$( { cat "$file" | /usr/bin/time -f %M "$fanrun" --pipe --block 4M -j 2 wc -l >/dev/null 2>"$scratch/time"; } ; tail -1 "$scratch/time")
echo "peak resident memory of cat FILE | fanrun --pipe --block 4M -j 2 wc -l: $peak KiB (block x -j = 8192 KiB)"
peak=$( { cat "$file" | /usr/bin/time -f %M "$fanrun" --pipe --round-robin -j 2 wc -l >/dev/null 2>"$scratch/time"; } ; tail -1 "$scratch/time")
echo "peak resident memory of cat FILE | fanrun --pipe --round-robin -j 2 wc -l: $peak KiB (block x -j = 2048 KiB)"
