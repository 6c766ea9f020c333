#!/usr/bin/env bash
# check.sh BUILD CONSUMER_DIR CC VERSION: builds the Debian packages of the build with cpack, checks
# their metadata and contents, unpacks them into a scratch folder with dpkg-deb -x (nothing is
# installed on the machine), builds the C11 callers against the unpacked tree through
# find_package(syskit) and pkg-config, and runs the unpacked fanrun over unpacked programs.
set -euo pipefail
build=$1 consumer=$2 cc=$3 version=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tools/require.sh
. "$here/../tools/require.sh"
# shellcheck source=../install/consumers.sh
. "$here/../install/consumers.sh"
require_tools cpack dpkg-deb dpkg-shlibdeps dpkg file pkg-config
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
problems=()
problem() { problems+=("$*"); }

cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 ||
  { echo "FAILED: cpack"; cat "$work/cpack.log"; exit 1; }
arch=$(dpkg --print-architecture)
runtime=$work/deb/syskit_${version}_${arch}.deb
dev=$work/deb/syskit-dev_${version}_${arch}.deb
for deb in "$runtime" "$dev"; do
  [ -f "$deb" ] || { echo "FAILED: cpack wrote no $(basename "$deb")"; ls -l "$work/deb"; exit 1; }
done

# field DEB NAME: the value of one control field.
field() { dpkg-deb -f "$1" "$2"; }
# The paths each package holds, one a line, without the leading "./".
for deb in "$runtime" "$dev"; do
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$deb.list"
done
shared=0
grep -q '/libkeyshelf\.so\.' "$runtime.list" && shared=1
for deb in "$runtime" "$dev"; do
  [ "$(field "$deb" Version)" = "$version" ] || problem "$(basename "$deb"): Version is not $version"
  [ "$(field "$deb" Architecture)" = "$arch" ] || problem "$(basename "$deb"): Architecture is not $arch"
  [ -n "$(field "$deb" Maintainer)" ] || problem "$(basename "$deb"): no Maintainer"
  [ -n "$(field "$deb" Description)" ] || problem "$(basename "$deb"): no Description"
done
runtime_depends=$(field "$runtime" Depends)
dev_depends=$(field "$dev" Depends)
[[ $runtime_depends == *libc6* ]] || problem "syskit does not depend on libc6: '$runtime_depends'"
[[ $runtime_depends == *libstdc++6* ]] || problem "syskit does not depend on libstdc++6: '$runtime_depends'"
[[ $dev_depends == *"syskit (= $version)"* ]] || problem "syskit-dev does not depend on syskit (= $version): '$dev_depends'"
if [ "$shared" -eq 0 ]; then
  [[ $dev_depends == *libstdc++-dev* ]] || problem "static syskit-dev does not depend on libstdc++-dev: '$dev_depends'"
fi

# has DEB PATTERN...: every pattern (an extended regular expression over "dpkg-deb -c" paths,
# anchored at both ends) names at least one file of the package.
has() {
  local deb=$1 pattern
  shift
  for pattern in "$@"; do
    grep -qE "^${pattern}\$" "$deb.list" || problem "$(basename "$deb") holds no ${pattern}"
  done
}
# lacks DEB PATTERN...: no file of the package matches any of the patterns.
lacks() {
  local deb=$1 pattern
  shift
  for pattern in "$@"; do
    ! grep -qE "^${pattern}\$" "$deb.list" || problem "$(basename "$deb") holds $(grep -E "^${pattern}\$" "$deb.list" | head -n 1)"
  done
}
libs=(keyshelf fanrun verbsplit postbox mirrortest)
programs=(fanrun countwalk endwalk twinnumber tallyflow corecount)
lib='usr/lib(/[^/]+)?'
for p in "${programs[@]}"; do has "$runtime" "usr/bin/$p"; done
has "$runtime" 'usr/share/man/man1/fanrun\.1(\.gz)?' 'usr/share/bash-completion/completions/fanrun'
lacks "$runtime" 'usr/include/.*' '.*\.pc' '.*\.a' '.*\.so' '.*/cmake/.*'
for l in "${libs[@]}"; do
  if [ "$shared" -eq 1 ]; then
    has "$runtime" "$lib/lib$l\\.so\\.[0-9]+" "$lib/lib$l\\.so\\.[0-9.]+"
    has "$dev" "$lib/lib$l\\.so"
  else
    has "$dev" "$lib/lib$l\\.a"
  fi
  has "$dev" "$lib/pkgconfig/$l\\.pc"
done
for h in keyshelf.h fanrun.h fanrun_params.h verbsplit.h postbox.h mirrortest.h; do
  has "$dev" "usr/include/${h//./\\.}"
done
has "$dev" "$lib/cmake/syskit/syskitConfig\\.cmake" "$lib/cmake/syskit/syskitConfigVersion\\.cmake" \
  "$lib/cmake/syskit/syskitTargets\\.cmake"
lacks "$dev" 'usr/bin/.*' '.*\.so\.[0-9.]+'

if [ "${#problems[@]}" -gt 0 ]; then
  echo "FAILED: the packages are not right:"
  printf '  %s\n' "${problems[@]}"
  echo "$(basename "$runtime"), Depends: $runtime_depends"
  sed 's/^/  /' "$runtime.list"
  echo "$(basename "$dev"), Depends: $dev_depends"
  sed 's/^/  /' "$dev.list"
  exit 1
fi

root=$work/root
dpkg-deb -x "$runtime" "$root"
dpkg-deb -x "$dev" "$root"
build_consumers "$root/usr" "$consumer" "$cc" "$work"

# The unpacked runner starts three unpacked programs; they find their libraries in the unpacked
# tree, and each one's output lands in its own file.
bin=$root/usr/bin
[ "$("$bin/fanrun" --version)" = "fanrun $version" ] || { echo "FAILED: fanrun --version"; "$bin/fanrun" --version; exit 1; }
"$bin/fanrun" -j 2 -o "$work/fanrun-out" "$bin/{}" tallyflow twinnumber countwalk >"$work/report" 2>&1 ||
  { echo "FAILED: the unpacked fanrun"; cat "$work/report"; exit 1; }
# The report: "3 3 0", then "PID 1 EXIT-CODE COMMAND" per command, every exit code 0.
awk 'NR == 1 { ok = ($0 == "3 3 0") } NR > 1 { ok = ok && $2 == 1 && $3 == 0 } END { exit !(ok && NR == 4) }' \
  "$work/report" || { echo "FAILED: the fanrun report"; cat "$work/report"; exit 1; }
expected=$(printf '%s\n' '0->1->2->3->4->5->6->X' 'My numbers are the same' 'sum=45')
outputs=$(cat "$work/fanrun-out"/*.stdout | sort)
[ "$outputs" = "$expected" ] || { echo "FAILED: the programs' outputs"; echo "$outputs"; cat "$work/report"; exit 1; }
echo "packages $(basename "$runtime") and $(basename "$dev") unpacked, built against and run"
