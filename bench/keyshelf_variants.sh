#!/usr/bin/env bash
# Builds keyshelf_shapes against the table with one part of its memory scheme taken out, so that
# bench/keyshelf_shapes.sh can show what each part is worth:
#   nosmall  no small-array area: a fresh row's first insertion gets its 4-pair array and its
#            key copy from malloc;
#   nospare  no spare block: every row of a build gets an 8-pair array of its own from malloc
#            (and so no small-array area either, which serves rows leaving a spare array);
#   nopool   no rebuild pool: a rebuild gives each row that receives pairs an array of its own
#            and each key a copy of its own, from malloc.
# Prints the LABEL=BINARY arguments for bench/keyshelf_shapes.sh.
#
#   bench/keyshelf_variants.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-bench}
args=()
for v in nosmall nospare nopool; do
  dir=$build/variants/$v
  mkdir -p "$dir"
  cp "$root/assignments/a2/q4/keyshelf.h" "$root/assignments/a2/q4/keyshelf.cpp" "$dir/"
  patch -s -d "$dir" -p0 <"$root/bench/keyshelf_variants/$v.diff"
  ${CXX:-g++} -std=c++20 -O3 -DNDEBUG -I"$dir" "$root/bench/keyshelf_shapes.cpp" "$dir/keyshelf.cpp" \
    -o "$dir/keyshelf_shapes"
  args+=("$v=$dir/keyshelf_shapes")
done
echo "${args[@]}"
