#!/usr/bin/env bash
# check.sh SOURCE CC CXX: configures the parent project beside this script with syskit added by
# add_subdirectory, builds its program (and only what that program needs) and runs it.
set -euo pipefail
source=$1 cc=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$here" -B "$work" -DSYSKIT_SOURCE_DIR="$source" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$work/log" 2>&1 ||
  { echo "FAILED: the parent project does not configure"; cat "$work/log"; exit 1; }
cmake --build "$work" --target embed_user -j 2 >"$work/log" 2>&1 ||
  { echo "FAILED: the parent project does not build"; cat "$work/log"; exit 1; }
"$work/embed_user"
echo "parent project built syskit::keyshelf and syskit::mirrortest and its program passed"
