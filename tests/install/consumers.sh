# shellcheck shell=bash
# Sourced by the install and package tests.
#
# build_consumers PREFIX CONSUMER_DIR CC WORK
# Builds every C11 caller in CONSUMER_DIR against the tree installed under PREFIX, once as a CMake
# project through find_package(syskit) and once through pkg-config (and through
# "pkg-config --static" as well when the tree holds static archives), runs each program, and
# fails on the first that does not build or whose own checks fail. Scratch files go under WORK.
build_consumers() {
  local prefix=$1 consumer=$2 cc=$3 work=$4
  local ran=0 exe src module pcdir libdir flags h
  for h in keyshelf.h fanrun.h fanrun_params.h verbsplit.h postbox.h mirrortest.h; do
    [ -f "$prefix/include/$h" ] || { echo "FAILED: $h is not installed under $prefix/include"; return 1; }
  done
  pcdir=$(dirname "$(find "$prefix" -path '*/pkgconfig/keyshelf.pc' | head -n 1)")
  libdir=$(dirname "$pcdir")
  [ -f "$pcdir/keyshelf.pc" ] || { echo "FAILED: no pkg-config files under $prefix"; return 1; }

  if ! { cmake -S "$consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" &&
    cmake --build "$work/cmake"; } >"$work/log" 2>&1; then
    echo "FAILED: the CMake consumer does not build against $prefix"
    cat "$work/log"
    return 1
  fi
  for exe in "$work"/cmake/use_*; do
    [ -x "$exe" ] || continue
    (cd "$work" && "$exe") >"$work/out" 2>&1 || { echo "FAILED: $exe"; cat "$work/out"; return 1; }
    ran=$((ran + 1))
  done

  flags=("")
  [ -f "$libdir/libkeyshelf.a" ] && flags+=(--static)
  for src in "$consumer"/*.c; do
    module=$(basename "$src" .c)
    for flag in "${flags[@]}"; do
      exe=$work/pc_${module}${flag:+_static}
      # shellcheck disable=SC2046,SC2086
      "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$exe" "$src" \
        $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs $flag "$module") -Wl,-rpath,"$libdir" \
        >"$work/log" 2>&1 ||
        { echo "FAILED: $module does not build through pkg-config $flag"; cat "$work/log"; return 1; }
      (cd "$work" && "$exe") >"$work/out" 2>&1 || { echo "FAILED: $exe"; cat "$work/out"; return 1; }
      ran=$((ran + 1))
    done
  done
  [ "$ran" -gt 0 ] || { echo "FAILED: no consumer program in $consumer"; return 1; }
  echo "$ran consumer programs built against $prefix and passed"
}
