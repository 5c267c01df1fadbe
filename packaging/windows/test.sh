#!/usr/bin/env bash
# Builds plinth and its tests for Windows x86-64 and runs them under Wine:
#
#   bash packaging/windows/test.sh
#
# 1. deps.sh, as for build.sh; then the tests that apply to Windows (those
#    that run in the test's own process, tests/CMakeLists.txt) are built in
#    build-windows beside plinth.exe and run by ctest through Wine
#    (wine-run.sh, the toolchain's emulator).
# 2. plinth.exe runs as a Windows user meets it: at a console (Wine's,
#    drawn in a tmux pane), redirected to files, and unpacked from the zip
#    that zip.sh packs, its README.txt's first session run as it shows.
# 3. plinth.exe runs the sessions of tests/transcripts beside a Linux build
#    of the same sources (build-windows/linux); sessions.sh says where they
#    differ.
# One Wine server serves every run (each start of a Windows program is then
# a fraction of a second rather than seconds); the Wine prefix is the
# build's own, build-windows/wine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/build-windows
jobs=$(nproc 2>/dev/null || echo 2)
bash "$here/deps.sh"

export WINEPREFIX=${WINEPREFIX:-$out/wine} WINEDEBUG=${WINEDEBUG:--all}
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# The first run makes the prefix (waiting for its server to end); the
# persistent server starts once that run's server has gone. One already
# serving the prefix (exit status 2) serves as well. A program run then
# starts Wine's own background processes, which stay as long as the server
# does: they must not inherit a pipe that a test runner reads to its end.
"$here/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1
timeout 60 "$wineserver" -w || true
timeout 10 "$wineserver" -p || true
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$here/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1

# Quiet unless it fails.
quiet() {
  local output
  if ! output=$("$@" 2>&1); then
    echo "$output" >&2
    echo "test.sh: failed: $*" >&2
    exit 1
  fi
}

# build.sh's configuration of the same directory, with the tests.
quiet cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLINTH_WERROR=ON \
  -DBUILD_TESTING=ON -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake"
quiet cmake --build "$out" -j "$jobs"
# Both halves run whatever the first gives; either failing fails the run.
status=0
ctest --test-dir "$out" --output-on-failure -j "$jobs" || status=1

# plinth.exe as a Windows user meets it: at a console (Wine's, drawn on a
# pseudo-terminal: a tmux pane, UTF-8), redirected, and unpacked from its zip.
cases=$out/cases
rm -rf "$cases" && mkdir -p "$cases" && cd "$cases"
export LANG=C.UTF-8
failed() { echo "test.sh: $*" >&2; status=1; }
# Runs the shell command $2 in a pane for up to $1 seconds; leaves what the
# pane shows in screen and the exit status in ended (none while it runs).
in_console() {
  tmux -S tmux.sock kill-server 2>/dev/null || true
  rm -f ended tmux.sock
  tmux -S tmux.sock -f /dev/null new-session -d -x 100 -y 50 "$2; echo \$? >ended; sleep 600"
  for ((i = 0; i < $1 * 10; i++)); do [ -f ended ] && break; sleep 0.1; done
  tmux -S tmux.sock capture-pane -p -J -S - >screen
}
run=$here/wine-run.sh exe=Z:$out/plinth.exe
printf 'Zo\xc3\xab \xc3\x85ngstr\xc3\xb6m\n' >Zoë.txt
printf "select * from \`Zoë.txt\`;\nselect * from Zoë;\nselect replace(hex(zeroblob(20000)), '0', '€') as c;\n" >in.sql
in_console 60 "$run cmd /c 'chcp 437 & $exe Zoë.txt < in.sql & chcp'"
perl -CSD -Mutf8 -e 'my @s = map { s/\s+$//r } <>; my $n = grep { /Active code page: 437$/ } @s;
  exit !($n == 2 && grep({ $_ eq "   1 | Zoë Ångström" } @s) && !grep({ /\x{fffd}/ } @s) &&
  grep({ $_ eq "sql> SQL error: no such table: Zoë" } @s) && join("", @s) =~ tr/€// == 40000)' screen ||
  failed "the console does not show plinth's characters, or its code page changed: $(cat screen)"
script -qec "$run $out/tests/windows_test.exe --gtest_filter=windows_console.*" /dev/null </dev/null >console.log ||
  failed "windows_console under a pseudo-terminal: $(cat console.log)"
# Started from Explorer it is alone in its console, as under Wine started
# from a Unix shell, and waits for Enter; under cmd.exe it ends at once.
in_console 5 "$run $out/plinth.exe"
grep -q "^Usage: .*plinth.exe <file>" screen && [ ! -f ended ] ||
  failed "plinth.exe alone in its console did not wait for Enter: $(cat screen)"
tmux -S tmux.sock send-keys Enter
for ((i = 0; i < 100; i++)); do [ -f ended ] && break; sleep 0.1; done
[ -f ended ] || failed "plinth.exe alone in its console did not end at Enter"
in_console 20 "$run cmd /c $exe"
[ "$(cat ended 2>/dev/null)" = 1 ] || failed "plinth.exe under cmd.exe waited: $(cat screen)"
tmux -S tmux.sock kill-server
# Redirected: Windows text, a line feed in a value CR LF too; input read
# byte for byte (the Ctrl-Z).
printf 'a\nb\n' >f.txt
printf "update \`f.txt\` set data = 'x' || char(10) || 'y' where row = 1;\nsave f.txt\nselect '\x1a' as z, * from \`f.txt\`;\n" |
  "$run" "$out/plinth.exe" f.txt >out.txt 2>&1 || failed "plinth.exe f.txt failed"
rule=------------------------------------------------------------------------
printf -- "-- plinth\n-- Type 'help' for help\n\nsql> 1 rows affected.\nsql> sql> z |  row | data\n$rule\n\x1a |    1 | x\ny\n\x1a |    2 | b\n1 rows affected.\nsql> " |
  perl -pe 's/\n/\r\n/g' | cmp -s - out.txt && cmp -s <(printf 'x\r\ny\r\nb\r\n') f.txt ||
  failed "redirected output or a saved value is not Windows text: $(od -c out.txt f.txt)"
# The zip: what it holds, text with CR LF, and README.txt's first session
# run as it shows, in its examples folder.
bash "$here/zip.sh" "$out/plinth.exe" plinth.zip && unzip -q plinth.zip -d zip
diff <(unzip -Z1 plinth.zip | sort) <(cd "$root" && printf '%s\n' plinth.exe README.txt LICENSE.txt \
  plinth-manual.txt examples/ examples/* | sort) >&2 || failed "the zip holds other files"
perl -ne 'exit 1 if /(?<!\r)\n/' zip/*.txt zip/examples/* && grep -q '^WINDOWS' zip/plinth-manual.txt ||
  failed "the zip's text is not Windows text, or its manual has no WINDOWS section"
perl -ne 'BEGIN { open(IN, ">", "typed"); open(OUT, ">", "shown") }
  s/\r?\n$//; if (/^    \S+>\.\.\\plinth\.exe (.*)$/) { $on = 1; print STDOUT $1; next }
  next unless $on; s/^    //; if (/^sql> (.*)$/) { print IN "$1\n"; print OUT "sql> "; exit if $1 eq "quit" }
  else { print OUT "$_\r\n" }' zip/README.txt >args
(cd zip/examples && "$run" ../plinth.exe $(cat ../../args) <../../typed >../../session 2>&1) ||
  failed "README.txt's session failed"
cmp -s shown session || failed "README.txt's session prints otherwise: $(diff shown session)"
cd "$root"

quiet cmake -S "$root" -B "$out/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
quiet cmake --build "$out/linux" -j "$jobs" --target plinth
# Not these: on Windows two names that differ only in letter case are one
# file, and there is no /dev/stdout.
sessions=()
for t in "$root"/tests/transcripts/*.txt; do
  case $(basename "$t" .txt) in letter_case_of_names | save_to_standard_output) ;; *) sessions+=("$t") ;; esac
done
bash "$here/sessions.sh" "$out/linux/plinth" "$out/plinth.exe" "${sessions[@]}" || status=1
exit $status
