#!/usr/bin/env bash
# The desktop files pass the freedesktop validators, and the entry opens just
# the file types the MIME package defines. A validator that is not installed
# skips its check (exit 77 when any was skipped and none failed).
# Usage: desktopfiles.sh SOURCE_DIR METAINFO_FILE
set -u
src=$1
metainfo=$2
failed=0
skipped=()

if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$src/resources/talvekconfig.desktop" 2>&1)
  # Hints are advice; errors and warnings fail.
  if [ $? -ne 0 ] || grep -qE ': (error|warning):' <<<"$out"; then
    echo "$out"; failed=1
  fi
else
  skipped+=(desktop-file-validate)
fi

if command -v appstreamcli >/dev/null; then
  if [ ! -f "$metainfo" ]; then
    echo "no $metainfo"; failed=1
  elif ! appstreamcli validate --no-net --pedantic "$metainfo"; then
    failed=1
  fi
else
  skipped+=(appstreamcli)
fi

if command -v update-mime-database >/dev/null; then
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  db=$root/mime
  mkdir -p "$db/packages"
  cp "$src/resources/talvekconfig-mime.xml" "$db/packages/"
  # Any complaint about the package is a fault.
  out=$(XDG_DATA_DIRS=$root XDG_DATA_HOME=$root update-mime-database "$db" 2>&1)
  [ -z "$out" ] || { echo "$out"; failed=1; }
  for glob in '*.key_base' '*.okp'; do
    grep -q ":$glob\$" "$db/globs2" 2>/dev/null || { echo "no type for $glob"; failed=1; }
  done
  types=$(sed -n 's/^MimeType=//p' "$src/resources/talvekconfig.desktop" | tr ';' ' ')
  [ -n "$types" ] || { echo "the desktop entry names no MimeType"; failed=1; }
  for t in $types; do
    grep -qx "$t" "$db/types" 2>/dev/null || { echo "the entry opens $t, which no package defines"; failed=1; }
  done
else
  skipped+=(update-mime-database)
fi

[ $failed -eq 0 ] || exit 1
if [ ${#skipped[@]} -gt 0 ]; then
  echo "not installed, not checked: ${skipped[*]}"
  exit 77
fi
echo "desktop entry, AppStream metainfo and MIME types valid"
