#!/usr/bin/env bash
# Runs a Windows program under Wine, as a test or a script would: no
# display, no questions, no Wine chatter on standard error, and a Wine
# prefix of the build's own (build-windows/wine), made on first use.
#
#   packaging/windows/wine-run.sh build-windows/plinth.exe ARGS...
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build-windows/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# Not to offer to install .NET and HTML engines into the new prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

# /usr/bin/wine picks the 64-bit loader and tells it where it is; Debian's
# wine64 alone installs only the loader.
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "wine-run.sh: Wine is not installed (packaging/windows/deps.sh installs it)" >&2; exit 1; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# The first run makes the prefix and reports on it; done once, under a lock,
# for tests that start together.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot --init >"$WINEPREFIX.log" 2>&1 </dev/null
      # Wine's prefixes pretend to be Windows 7 by default; plinth is for 10
      # and later (UTF-8 as the process's code page came with 10's 1903).
      "$wine" winecfg /v win10 >>"$WINEPREFIX.log" 2>&1 </dev/null
      "$wineserver" -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$@"
