#!/usr/bin/env bash
# The Debian package of the build tree passes lintian: no error and no warning
# (what the package keeps on purpose is overridden, with its reason, in
# resources/debian/lintian-overrides). In a hardened build the programs must
# also show every hardening feature lintian looks for; a build without
# Debian's hardening flags (Debug, sanitizers, fuzzing) has those tags left
# out, and only those. Without lintian or dpkg's tools nothing is checked
# (exit 77).
# Usage: debpackage.sh CPACK BUILD_DIR CONFIG HARDENED(0|1)
set -u
cpack=$1
build=$2
config=$3
hardened=$4

missing=()
for tool in lintian dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "not installed, not checked: ${missing[*]}"
  exit 77
fi

# The package is made away from the build tree, so the test leaves nothing
# behind and never meets a package made by hand.
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -C "$config" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  exit 1
fi
deb=$(ls "$out"/*.deb 2>/dev/null)
[ -n "$deb" ] || { cat "$out/cpack.log"; echo "cpack made no package"; exit 1; }

hardening=hardening-no-bindnow,hardening-no-fortify-functions,hardening-no-pie,hardening-no-relro
options=(--no-cfg --display-info --pedantic --fail-on error,warning)
[ "$hardened" = 1 ] || options+=(--suppress-tags "$hardening")
report=$(lintian "${options[@]}" "$deb" 2>&1)
status=$?
# lintian says it should not run as root; that is no verdict on the package.
report=$(grep -v '^running with root privileges' <<<"$report")
[ -z "$report" ] || echo "$report"

failed=0
[ $status -eq 0 ] || { echo "lintian reports errors or warnings (status $status)"; failed=1; }
# Hardening tags are only informational to lintian, but a hardened build that
# lacks a feature has lost its flags.
if [ "$hardened" = 1 ] && grep -qE "^[A-Z]: [^ ]+: (${hardening//,/|}) " <<<"$report"; then
  echo "the programs lack hardening features"
  failed=1
fi
[ $failed -eq 0 ] || exit 1
echo "$(basename "$deb"): lintian finds no error and no warning"
