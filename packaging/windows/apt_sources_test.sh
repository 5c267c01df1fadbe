#!/usr/bin/env bash
# source_twin on the forms apt's lists take: each row is an entry as apt
# names it, the suites its twin covers, the list's text, and the twin.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/apt_sources.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

keyring='Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg'
rows=(
  # deb822: comments go, Types and Suites change, options stay.
  "debian.sources:1" "bookworm bookworm-updates"
  $'Types: deb\n# snapshot\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\n'"$keyring"
  $'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\n'"$keyring"
  # A paragraph of comments alone is no stanza; field names in any case;
  # only the suites asked for.
  "debian.sources:2" "bookworm-security"
  $'# comments only\n\nTypes: deb\nURIs: http://a/debian\nSuites: bookworm\n\ntypes: deb\nURIs: http://b/debian-security\nsuites: bookworm-security bookworm-extra\nComponents: main contrib'
  $'Types: deb-src\nURIs: http://b/debian-security\nSuites: bookworm-security\nComponents: main contrib'
  # One-line lists: the N-th line, options and indentation kept.
  "sources.list:3" ""
  $'# deb-src http://old\ndeb http://a/debian bookworm main\n  deb [signed-by=/k.gpg arch=amd64] http://b/debian bookworm-security main'
  $'  deb-src [signed-by=/k.gpg arch=amd64] http://b/debian bookworm-security main'
  "sources.list:1" ""
  $'debian-stuff http://x\ndeb http://a/debian bookworm main'
  ''
)
failed=0
for ((i = 0; i < ${#rows[@]}; i += 4)); do
  entry=${rows[i]} file=$dir/${entry%:*}
  printf '%s\n' "${rows[i + 2]}" >"$file"
  got=$(source_twin "$file:${entry##*:}" "${rows[i + 1]}")
  if [ "$got" != "${rows[i + 3]}" ]; then
    printf 'source_twin %s:\n--- want\n%s\n--- got\n%s\n' "$entry" "${rows[i + 3]}" "$got" >&2
    failed=$((failed + 1))
  fi
done
echo "$((${#rows[@]} / 4 - failed)) passed, $failed failed"
[ "$failed" = 0 ]
