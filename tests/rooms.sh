#!/usr/bin/env bash
# The rooms of the program stand one way: os/ includes nothing outside os/,
# extensions/ nothing of shell/, and texttable/ of shell/ only the header
# that holds scratch_db. Prints each include that crosses the wrong way.
set -u
cd "$(dirname "$0")/.."
crossing=$(
  grep -nE '#include "[a-z]+/' -r os extensions texttable --include='*.h' --include='*.cpp' |
    awk -F: '{
      room = $1; sub("/.*", "", room)
      included = $3; sub(/^#include "/, "", included); sub(/".*/, "", included)
      to = included; sub("/.*", "", to)
      if (room == "os" && to != "os") print
      else if (room == "extensions" && to == "shell") print
      else if (room == "texttable" && to == "shell" && included != "shell/shell.h") print
    }'
)
if [ -n "$crossing" ]; then
  echo "includes that cross a room the wrong way:" >&2
  echo "$crossing" >&2
  exit 1
fi
