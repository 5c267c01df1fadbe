#!/usr/bin/env bash
# Runs the Linux plinth and plinth.exe (under Wine, through wine-run.sh) side
# by side on the sessions of tests/transcripts/*.txt (their files, arguments
# and typed lines; the format is described in tests/transcript_test.cpp) and
# says where they differ: standard output, standard error, exit status and
# every file left in the directory must be the same byte for byte, but that
# Windows ends each line of a saved file, and of standard output and error
# (written in text mode), with CR LF: there, every line feed must come with
# its CR, and no other byte may differ. The program's own path (<BIN>) is
# left out of the comparison.
#
#   sessions.sh LINUX_PLINTH PLINTH_EXE TRANSCRIPT...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux=$(realpath "$1") exe=$(realpath "$2")
shift 2
work=$(mktemp -d "${TMPDIR:-/tmp}/plinth-sessions.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A transcript's inputs, as files under $2: args (one a line), stdin,
# files/NAME, dirs (one a line), and db when it has that section.
unpack() {
  perl -e '
    my ($path, $out) = @ARGV;
    open(my $in, "<", $path) or die "$path: $!";
    my ($kind, $name, %text, @files, @dirs) = ("");
    my $finish = sub {
      push @files, [$name, $text{current}] if $kind eq "file";
      push @dirs, $name if $kind eq "dir";
      $text{$kind} = $text{current} if $kind =~ /^(args|stdin|db)$/;
    };
    while (my $line = <$in>) {
      chomp $line;
      if ($line =~ /^== (\S+) ?(.*)$/) {
        $finish->();
        ($kind, $name, $text{current}) = ($1, $2, "");
        next;
      }
      next if $kind eq "";
      my $eol = $line =~ s/<NOEOL>$// ? "" : "\n";
      $line =~ s/<TAB>|<CR>|<(.)\*(\d+)>/$& eq "<TAB>" ? "\t" : $& eq "<CR>" ? "\r" : $1 x $2/ge;
      $text{current} .= $line . $eol;
    }
    $finish->();
    my $write = sub {
      my ($file, $content) = @_;
      my $dir = $file =~ s{/[^/]*$}{}r;
      system("mkdir", "-p", $dir) == 0 or die;
      open(my $f, ">", $file) or die "$file: $!";
      binmode $f;
      print $f $content;
      close $f or die;
    };
    $write->("$out/files/$_->[0]", $_->[1]) for @files;
    system("mkdir", "-p", "$out/files") == 0 or die;
    $write->("$out/args", $text{args} // "");
    $write->("$out/stdin", $text{stdin} // "");
    $write->("$out/dirs", join("", map { "$_\n" } @dirs));
    $write->("$out/db", $text{db}) if exists $text{db};
  ' "$1" "$2"
}

# Runs one system's program in a copy of the session's files: $1 the
# session's directory, $2 linux or windows. Leaves $1/$2/{dir,out,err,status}.
run() {
  local session=$1 system=$2 run=$1/$2 args=() d status=0
  mkdir -p "$run"
  cp -a "$session/files" "$run/dir"
  while IFS= read -r d; do mkdir -p "$run/dir/$d"; done <"$session/dirs"
  mapfile -t args <"$session/args"
  case $system in
  linux) (cd "$run/dir" && "$linux" "${args[@]}") <"$session/stdin" >"$run/out" 2>"$run/err" || status=$? ;;
  windows)
    (cd "$run/dir" && "$here/wine-run.sh" "$exe" "${args[@]}") <"$session/stdin" >"$run/out" 2>"$run/err" ||
      status=$?
    ;;
  esac
  echo "$status" >"$run/status"
}

# What a program printed, its own path (argv[0] as each system gives it)
# written <BIN>; the Linux build's line feeds as Windows' text mode writes
# them, CR LF.
printed() {
  local bin=$linux crlf='s/\n/\r\n/'
  [ "$2" = windows ] && bin="Z:${exe//\//\\}" crlf=
  [ "$3" = status ] && crlf=
  BIN=$bin perl -pe "s/\\Q\$ENV{BIN}\\E/<BIN>/g; $crlf" "$1/$2/$3"
}

# Says how the two runs of a session differ; false when they do.
compare() {
  local session=$1 alike=0 what name
  for what in out err status; do
    if ! diff -u --label "linux $what" --label "windows $what" <(printed "$session" linux $what) \
      <(printed "$session" windows $what); then
      alike=1
    fi
  done
  if ! diff -u --label "linux files" --label "windows files" \
    <(cd "$session/linux/dir" && find . -mindepth 1 -printf '%P %y\n' | sort) \
    <(cd "$session/windows/dir" && find . -mindepth 1 -printf '%P %y\n' | sort); then
    alike=1
  fi
  while IFS= read -r -d '' name; do
    local windows=$session/windows/dir/$name
    [ -f "$windows" ] || continue
    cmp -s "$session/linux/dir/$name" "$windows" && continue
    # A saved file: the same lines, each ended with CR LF.
    cmp -s <(perl -pe 's/\n/\r\n/' "$session/linux/dir/$name") "$windows" && continue
    echo "$name differs (- linux, + windows):"
    diff -u "$session/linux/dir/$name" "$windows" | tail -n +3 || true
    alike=1
  done < <(cd "$session/linux/dir" && find . -type f -printf '%P\0')
  return $alike
}

alike=0 differ=0 skipped=()
for transcript in "$@"; do
  name=$(basename "$transcript" .txt)
  session=$work/$name
  unpack "$transcript" "$session"
  # A scratch database left from an earlier run is made with the engine's
  # own SQL, which this script has no engine to run.
  if [ -f "$session/db" ]; then
    skipped+=("$name")
    continue
  fi
  run "$session" linux
  run "$session" windows
  if compare "$session" >"$session/report" 2>&1; then
    alike=$((alike + 1))
  else
    echo "== $name: plinth.exe under Wine differs from the Linux build" >&2
    cat "$session/report" >&2
    differ=$((differ + 1))
  fi
done
echo "sessions.sh: $alike sessions alike, $differ differ${skipped:+, skipped (need a scratch database made beforehand): ${skipped[*]}}"
[ "$differ" = 0 ]
