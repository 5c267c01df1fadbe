#!/usr/bin/env bash
# Packs plinth.exe for the person who unpacks it: the program, a README.txt
# written for Windows users, the examples its first session uses, the
# licence and the manual as text. Text files end their lines with CR LF, as
# Windows' own do; time stamps are those of the changelog's latest entry, so
# that the same sources give the same zip.
#
#   zip.sh PLINTH_EXE ZIP
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
exe=$(realpath "$1")
zip=$(realpath -m "$2")
stage=$(mktemp -d "${TMPDIR:-/tmp}/plinth-zip.XXXXXX")
trap 'rm -rf "$stage"' EXIT

crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }
cp "$exe" "$stage/plinth.exe"
crlf "$here/README.txt" "$stage/README.txt"
crlf "$root/LICENSE" "$stage/LICENSE.txt"
mkdir "$stage/examples"
for f in "$root"/examples/*; do crlf "$f" "$stage/examples/$(basename "$f")"; done
# No hyphenation: the text is read and searched, not typeset.
groff -man -Tutf8 -P-c -rHY=0 -Wall "$root/plinth.1" 2>"$stage/manual.log" | col -bx >"$stage/manual"
if [ -s "$stage/manual.log" ]; then
  cat "$stage/manual.log" >&2
  echo "zip.sh: groff warns about plinth.1" >&2
  exit 1
fi
crlf "$stage/manual" "$stage/plinth-manual.txt"
rm "$stage/manual" "$stage/manual.log"

stamp=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Timestamp)
find "$stage" -exec touch -d "@$stamp" {} +
rm -f "$zip"
(cd "$stage" && TZ=UTC zip -q -X -9 "$zip" plinth.exe README.txt LICENSE.txt plinth-manual.txt examples examples/*)
