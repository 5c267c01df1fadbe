# Debian's source entries for apt, where a machine lists only the binary
# ones (sourced by deps.sh, which defines apt_get and say).
# $(...) in single quotes is for apt to expand.
# shellcheck disable=SC2016 shell=bash

# The deb-src twin of one of apt's binary entries, named as apt names it:
# FILE:N, the N-th stanza of a deb822 .sources file (comments alone make no
# stanza) or the N-th line of a one-line list. A stanza's twin covers only
# `suites`. The twin keeps the entry's options: apt refuses two entries of
# one archive whose Signed-By differ.
source_twin() {
  local file=${1%:*} n=${1##*:} suites=$2
  case $file in
  *.sources)
    awk -v n="$n" -v suites="$suites" '
      BEGIN { RS = ""; FS = "\n" }
      { for (i = 1; i <= NF; i++) if ($i !~ /^#/) { k++; break } }
      k == n && !done {
        for (i = 1; i <= NF; i++) {
          f = tolower($i)
          if (f ~ /^#/) continue
          else if (f ~ /^types:/) print "Types: deb-src"
          else if (f ~ /^suites:/) print "Suites: " suites
          else print $i
        }
        done = 1
      }' "$file"
    ;;
  *) sed -n "${n}s/^\([[:space:]]*\)deb\([[:space:]]\)/\1deb-src\2/p" "$file" ;;
  esac
}

# Writes a deb-src twin of every Debian binary entry that lacks one, to a
# file of its own, leaving the machine's own lists as they are. False when
# none lacks one.
add_source_entries() {
  local have wanted entry twin list=/etc/apt/sources.list.d/plinth-deb-src
  local query=('$(REPO_URI) $(RELEASE) $(COMPONENT) $(SOURCESENTRY)' 'Created-By: Packages' 'Origin: Debian')
  have=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Sources' |
    sort -u)
  wanted=$(apt-get indextargets --format "${query[@]}" | sort -u)
  if [ -z "$wanted" ]; then
    # apt knows an entry's origin only once it has its lists.
    apt_get update
    wanted=$(apt-get indextargets --format "${query[@]}" | sort -u)
  fi
  [ -n "$wanted" ] || { say "apt knows no Debian archive to take sources from"; exit 1; }
  # entry -> the suites it lacks sources for
  local -A suites=()
  while read -r uri rel comp entry; do
    grep -qxF "$uri $rel $comp" <<<"$have" && continue
    case " ${suites[$entry]:-} " in *" $rel "*) ;; *) suites[$entry]="${suites[$entry]:-} $rel" ;; esac
  done <<<"$wanted"
  [ ${#suites[@]} -gt 0 ] || return 1
  for entry in "${!suites[@]}"; do
    case ${entry%:*} in *.sources) twin=$list.sources ;; *) twin=$list.list ;; esac
    [ -f "$twin" ] ||
      echo "# Debian's source packages, for building for Windows (packaging/windows/deps.sh)" >"$twin"
    { [[ $twin == *.sources ]] && echo; source_twin "$entry" "${suites[$entry]# }"; } >>"$twin"
  done
}
