#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs the C11 callers in the consumer
# folder twice: once as a CMake project through find_package(syskit), once through pkg-config.
# Each caller checks its own results and exits non-zero on a wrong one.
set -euo pipefail
build=$1 consumer=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

for h in keyshelf.h fanrun.h fanrun_params.h verbsplit.h postbox.h mirrortest.h; do
  [ -f "$work/prefix/include/$h" ] || { echo "FAILED: $h is not installed"; exit 1; }
done

cmake -S "$consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/cmake" >/dev/null
ran=0
cd "$work"
for exe in "$work"/cmake/use_*; do
  [ -x "$exe" ] || continue
  "$exe" >"$work/out" 2>&1 || { echo "FAILED: $exe"; cat "$work/out"; exit 1; }
  ran=$((ran + 1))
done

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
for src in "$consumer"/*.c; do
  module=$(basename "$src" .c)
  # shellcheck disable=SC2046
  "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$work/pc_$module" "$src" \
    $(pkg-config --cflags --libs "$module") -Wl,-rpath,"$work/prefix/lib"
  "$work/pc_$module" >"$work/out" 2>&1 || { echo "FAILED: pc_$module"; cat "$work/out"; exit 1; }
  ran=$((ran + 1))
done
echo "installed package: $ran consumer programs built and passed"
[ "$ran" -gt 0 ]
