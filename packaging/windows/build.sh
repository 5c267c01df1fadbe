#!/usr/bin/env bash
# Cross-builds for Windows x86-64 on a Debian machine, into build-windows/.
#
#   bash packaging/windows/build.sh
#
# 1. deps.sh installs what the machine lacks (mingw-w64, Wine, ...) and
#    builds SQLite, PCRE2, xxHash and GoogleTest for Windows from Debian's
#    own source packages, with Debian's options, into
#    build-windows/deps/prefix (kept between runs).
# 2. The check program of check/ is built with toolchain.cmake, statically:
#    it must import nothing but Windows' own DLLs, and print under Wine
#    (wine-run.sh) what the same program prints here built against
#    Debian's libraries, so that SQL and patterns behave alike on both.
# 3. plinth is built the same way, a Release build, into
#    build-windows/plinth.exe, and packed by zip.sh into
#    build-windows/plinth-VERSION-windows-x86_64.zip.
#
# test.sh builds the tests in the same build directory and runs them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/build-windows
bash "$here/deps.sh"

# Quiet unless it fails.
quiet() {
  local output
  if ! output=$("$@" 2>&1); then
    echo "$output" >&2
    echo "build.sh: failed: $*" >&2
    exit 1
  fi
}

# Every DLL a program imports must come with Windows itself: a runtime or
# library of the build machine's would be missing on the user's. None may
# bring in user32 or gdi32 either: a console program that loads them is no
# longer told of logoff and shutdown.
system_dlls='kernel32|ntdll|msvcrt|ucrtbase|advapi32|bcrypt|api-ms-win-[a-z0-9-]+'
check_imports() {
  local dlls
  dlls=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u)
  if grep -Evx "($system_dlls)\.dll" <<<"$dlls"; then
    echo "build.sh: $1 imports the DLLs above, which are not Windows' own or load user32" >&2
    exit 1
  fi
}

quiet cmake -S "$here/check" -B "$out/check" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake"
quiet cmake --build "$out/check"
check_imports "$out/check/check.exe"
quiet cmake -S "$here/check" -B "$out/check-linux" -G Ninja -DCMAKE_BUILD_TYPE=Release
quiet cmake --build "$out/check-linux"
"$out/check-linux/check" >"$out/check-linux.txt"
status=0
"$here/wine-run.sh" "$out/check/check.exe" >"$out/check-windows.txt" || status=$?
# Standard output in text mode ends lines with CR LF.
sed -i 's/\r$//' "$out/check-windows.txt"
if ! diff -u "$out/check-linux.txt" "$out/check-windows.txt" >&2; then
  echo "build.sh: SQLite or PCRE2 behaves differently on Windows (above: - Linux, + Windows)" >&2
  exit 1
fi
if [ "$status" != 0 ]; then
  cat "$out/check-windows.txt" >&2
  echo "build.sh: check.exe failed under Wine (status $status)" >&2
  exit 1
fi

# The tests' build (test.sh) shares the directory: only BUILD_TESTING differs.
quiet cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLINTH_WERROR=ON \
  -DBUILD_TESTING=OFF -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake"
quiet cmake --build "$out" --target plinth
check_imports "$out/plinth.exe"

version=$(sed -n 's/^project(plinth VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")
zip=$out/plinth-$version-windows-x86_64.zip
bash "$here/zip.sh" "$out/plinth.exe" "$zip"
echo "build.sh: $out/plinth.exe and $zip"
