#!/usr/bin/env bash
# valgrind.sh PROGRAM [ARGUMENT...]: runs the program under valgrind's memcheck, children traced;
# any memory error or any leaked block, of whatever kind, fails.
set -euo pipefail
# shellcheck source=require.sh
. "$(dirname "$0")/require.sh"
require_tools valgrind
status=0
valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=all --trace-children=yes "$@" || status=$?
# 77 tells CTest the test was skipped; a program that happens to end with it has failed.
[ "$status" -ne 77 ] || status=1
exit "$status"
