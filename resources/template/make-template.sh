#!/bin/sh
# Rebuilds resources/template.htmt (Windows-1251, as the program writes every
# text) from its UTF-8 source. Run after editing template.utf8.html.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
iconv -f UTF-8 -t WINDOWS-1251 "$here/template.utf8.html" > "$here/../template.htmt.new"
mv "$here/../template.htmt.new" "$here/../template.htmt"
