# shellcheck shell=bash
# Sourced by test scripts: require_tools TOOL... returns when every tool is on PATH. Otherwise it
# names the missing ones and ends the test: skipped (exit 77) on a developer's machine, failed
# under CI=true, where a check that cannot run must not pass unseen.
require_tools() {
  local missing=() tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "${CI:-}" = true ]; then
    echo "FAILED: ${missing[*]} not found, and CI runs this test (install it)"
    exit 1
  fi
  echo "SKIPPED: ${missing[*]} not found"
  exit 77
}
