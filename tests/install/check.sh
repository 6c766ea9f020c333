#!/usr/bin/env bash
# check.sh BUILD CONSUMER_DIR CC: installs the build into a scratch prefix, then builds and runs the
# C11 callers in the consumer folder through find_package(syskit) and through pkg-config. Each
# caller checks its own results and exits non-zero on a wrong one.
set -euo pipefail
build=$1 consumer=$2 cc=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=consumers.sh
. "$here/consumers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
build_consumers "$work/prefix" "$consumer" "$cc" "$work"
