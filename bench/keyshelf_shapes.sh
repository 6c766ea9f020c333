#!/usr/bin/env bash
# Fills the keyed table and std::unordered_map (transparent hash) with each key shape, one
# process per fill so that each peak resident size is that fill's own, and prints a Markdown
# table. For every case the map and the table versions run back to back, REPEAT times (default
# 3); ns/put and ns/hit are the medians, the ratios are between those medians.
#
#   bench/keyshelf_shapes.sh [BUILD_DIR] [LABEL=OTHER_BINARY...]
#
# BUILD_DIR (default build-bench, configured with -DCMAKE_BUILD_TYPE=Release
# -DSYSKIT_BUILD_BENCHMARKS=ON) holds bin/keyshelf_shapes. Each OTHER_BINARY is a
# keyshelf_shapes built against another version of the library; its figures are added for
# every case under LABEL. CASES, a regular expression, keeps only the cases it matches
# (e.g. CASES=random).
set -euo pipefail
build=${1:-build-bench}
shift || true
repeat=${REPEAT:-3}
tool=$build/bin/keyshelf_shapes
[ -x "$tool" ] || { echo "no $tool; build the keyshelf_shapes target first" >&2; exit 1; }
labels=(keyshelf)
bins=("$tool")
for other in "$@"; do
  labels+=("${other%%=*}")
  bins+=("${other#*=}")
done

cases=(
  "user:%08d 100000"
  "session:%d:last_seen 100000"
  "/home/alice/photos/IMG_%d.jpg 100000"
  "user%d@gmail.com 100000"
  "user%d@mail.example-corp.com 100000"
  "user%d@mail.example-corporation-holdings.com 31"
  "random 100000"
  "random 1000000"
)

if [ -n "${CASES:-}" ]; then
  mapfile -t cases < <(printf '%s\n' "${cases[@]}" | grep -E -- "$CASES")
fi

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "| keys | shape | impl | rows | peak RSS MiB | ns/put | ns/hit | put / map | hit / map |"
echo "|---|---|---|---|---|---|---|---|---|"
for c in "${cases[@]}"; do
  read -r shape n <<<"$c"
  out=$(mktemp -d)
  # The map first, then one fill that is not counted: a process that asks for huge pages right
  # after one that freed its memory in small pages may wait for the kernel to compact memory,
  # while one that follows a table finds the huge pages that table gave back. The versions run
  # in an order that starts one place further along in each repetition.
  for ((r = 0; r < repeat; r++)); do
    "$tool" map "$shape" "$n" >>"$out/map"
    "$tool" keyshelf "$shape" "$n" >/dev/null
    for ((k = 0; k < ${#bins[@]}; k++)); do
      i=$(((k + r) % ${#bins[@]}))
      "${bins[$i]}" keyshelf "$shape" "$n" >>"$out/$i"
    done
  done
  read -r _ _ _ mrows mpeak _ <"$out/map"
  mput=$(awk '{ print $6 }' "$out/map" | median)
  mhit=$(awk '{ print $7 }' "$out/map" | median)
  for i in "${!bins[@]}"; do
    read -r _ _ _ krows kpeak _ <"$out/$i"
    kput=$(awk '{ print $6 }' "$out/$i" | median)
    khit=$(awk '{ print $7 }' "$out/$i" | median)
    printf '| %s | `%s` | %s | %s | %s | %s | %s | %.2f | %.2f |\n' "$n" "$shape" "${labels[$i]}" \
      "$krows" "$kpeak" "$kput" "$khit" "$(echo "$kput / $mput" | bc -l)" "$(echo "$khit / $mhit" | bc -l)"
  done
  printf '| %s | `%s` | unordered_map | %s | %s | %s | %s | | |\n' "$n" "$shape" "$mrows" "$mpeak" "$mput" "$mhit"
  rm -rf "$out"
done

echo
echo "Longest single put while filling 1e6 random keys (every put timed on its own, wall clock):"
"$tool" keyshelf random 1000000 >/dev/null
for i in "${!bins[@]}"; do
  "${bins[$i]}" keyshelf random 1000000 longest |
    awk -v l="${labels[$i]}" '{ printf "- %s: %s us (%s rows)\n", l, $8, $4 }'
done
"$tool" map random 1000000 longest | awk '{ printf "- unordered_map: %s us\n", $8 }'
