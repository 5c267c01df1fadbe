#!/usr/bin/env bash
# What the Windows build needs on a Debian machine: the mingw-w64 compiler,
# Wine, the tools that pack the zip, and SQLite, PCRE2, xxHash and GoogleTest
# built for x86_64-w64-mingw32 from Debian's own source packages with the
# options Debian builds them with, so that SQL behaves on Windows as it does
# here. Installs only what is missing and
# rebuilds only what changed; says nothing when all is there.
#
#   bash packaging/windows/deps.sh      (build.sh runs it)
#
# Leaves build-windows/deps/prefix/{include,lib,lib/pkgconfig}, which
# toolchain.cmake searches; sources are kept in build-windows/deps/src.
# $(...) in single quotes is for apt and make to expand.
# shellcheck disable=SC2016,SC1003
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
deps=$root/build-windows/deps
prefix=$deps/prefix
host=x86_64-w64-mingw32
cc=$host-gcc-posix
jobs=$(nproc 2>/dev/null || echo 2)

# Another apt-get (a colleague's, an unattended upgrade) may hold the lock.
export DEBIAN_FRONTEND=noninteractive
apt_get() { apt-get -qq -o DPkg::Lock::Timeout=900 "$@"; }
say() { echo "deps.sh: $*" >&2; }

# A step's output goes to its log, shown only when the step fails.
logged() {
  local log=$deps/log/$1
  shift
  mkdir -p "$deps/log"
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    say "failed: $* (whole output in $log)"
    exit 1
  fi
}

# Debian's package names; the host compiler, tclsh and autotools build
# SQLite's amalgamation, and the -dev packages serve the side-by-side check
# against the Linux libraries and the Linux plinth that test.sh compares
# with; groff, col and zip make the zip's manual and the zip itself, and
# test.sh opens it with unzip and runs plinth.exe at a console in tmux or
# under script.
packages=(g++-mingw-w64-x86-64-posix wine64 wine dpkg-dev gcc g++ make tcl autoconf automake libtool
  cmake ninja-build pkg-config libsqlite3-dev libpcre2-dev libxxhash-dev groff-base bsdextrautils zip
  unzip tmux bsdutils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  apt_get update
  logged apt-install.log apt_get install -y --no-install-recommends "${missing[@]}"
fi

# Source entries for apt where the machine has none (add_source_entries).
# shellcheck source=SCRIPTDIR/apt_sources.sh
source "$(dirname "${BASH_SOURCE[0]}")/apt_sources.sh"

# Fetches a source package into src/NAME, once: the newest version apt
# lists or, should the archive not serve that version's files (a mirror may
# lag behind the security archive), the next older one.
fetch_source() {
  local name=$1 dir=$deps/src/$1 tmp version
  [ -f "$dir/debian/rules" ] && return
  if ! apt-cache showsrc --only-source "$name" 2>/dev/null | grep -q '^Version:'; then
    if add_source_entries; then
      say "added Debian's source entries (/etc/apt/sources.list.d/plinth-deb-src.*)"
      apt_get update
    fi
  fi
  mkdir -p "$deps/src"
  tmp=$(mktemp -d "$deps/src/.fetch-$name.XXXXXX")
  # apt downloads as its own user where it can write.
  if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$tmp"; fi
  local fetched='' newest=''
  for version in $(apt-cache showsrc --only-source "$name" | sed -n 's/^Version: //p' | sort -Vru); do
    newest=${newest:-$version}
    if (cd "$tmp" && apt-get -q source --only-source "$name=$version") >>"$tmp.log" 2>&1; then
      fetched=1
      [ "$version" = "$newest" ] || say "the archive did not serve $name $newest's source; took $version"
      break
    fi
    rm -rf "${tmp:?}"/*
  done
  if [ -z "$fetched" ]; then
    cat "$tmp.log" >&2
    say "could not fetch the source package $name"
    exit 1
  fi
  rm -f "$tmp.log"
  mv "$tmp"/"$name"-*/ "$dir.new"
  rm -rf "$tmp" "$dir"
  mv "$dir.new" "$dir"
}

# A variable of a source package's debian/rules, as make sees it there.
rules_var() {
  (cd "$1" && printf 'plinth-print-var:\n\t@echo $(%s)\n' "$2" |
    env -u CFLAGS -u CPPFLAGS -u LDFLAGS -u MAKEFLAGS -u MAKELEVEL \
      make --no-print-directory -s -f debian/rules -f - "${@:3}" plinth-print-var)
}

# CFLAGS or CXXFLAGS as Debian's build of a source package sets them, for
# packages whose debian/rules leaves them to debhelper.
debian_cflags() { (cd "$1" && dpkg-buildflags --get "$2"); }

# Of Debian's compiler flags, those that decide what the library is (-D) and
# how it is optimised (-O, -fno-...); the rest (debug info, hardening, paths
# of Debian's build machine) are its own business.
portable_flags() {
  local f out=()
  for f in $1; do
    case $f in -D* | -O* | -fno-*) out+=("$f") ;; esac
  done
  echo "${out[*]}"
}

# A library is built again when its source or the shell functions that
# build it change, not on every edit of this script.
stamp_of() {
  local code
  code=$(declare -f "build_$1" logged rules_var portable_flags debian_cflags | sha1sum | cut -c1-12)
  echo "$(dpkg-parsechangelog -l "$deps/src/$1/debian/changelog" -S Version) $code $host"
}
up_to_date() { [ -f "$prefix/.$1.stamp" ] && [ "$(cat "$prefix/.$1.stamp")" = "$(stamp_of "$1")" ]; }

# SQLite: Debian configures the full source tree (after autoreconf, as its
# patches touch configure.ac). The same configure on this machine, with
# Debian's switches and CFLAGS, makes the amalgamation and names the
# features they turn on; the amalgamation is then compiled for Windows with
# those. The CFLAGS matter to the amalgamation too: configure hands their
# -DSQLITE_ENABLE_ and _OMIT_ flags to the parser generator, and without them
# the grammar lacks, for one, DELETE ... LIMIT.
build_sqlite3() {
  local src=$deps/src/sqlite3 build=$deps/build/sqlite3 switches features cflags
  [ -f "$src/.autoreconf-done" ] || {
    logged sqlite-autoreconf.log bash -c "cd '$src' && autoreconf -fi"
    touch "$src/.autoreconf-done"
  }
  switches=$(cd "$src" && make -n -f debian/rules configure-stamp 2>/dev/null | tr '\n\\' '  ' |
    grep -o -- '--\(en\|dis\)able-[a-z0-9-]*\(=[^ ]*\)\?' | grep -vx -- '--disable-amalgamation' | tr '\n' ' ')
  cflags=$(portable_flags "$(rules_var "$src" CFLAGS)")
  case "$switches $cflags" in *--enable-fts5*-DSQLITE_ENABLE_FTS3*) ;; *)
    say "could not read the configure switches or CFLAGS of sqlite3's debian/rules"
    exit 1
    ;;
  esac
  rm -rf "$build"
  mkdir -p "$build"
  cd "$build"
  # shellcheck disable=SC2086
  logged sqlite-configure.log "$src/configure" --disable-tcl $switches CFLAGS="$cflags"
  logged sqlite-amalgamation.log make -j"$jobs" sqlite3.c
  features=$(printf 'plinth-print-var:\n\t@echo $(OPT_FEATURE_FLAGS)\n' | make -s -f Makefile -f - plinth-print-var)
  # shellcheck disable=SC2086
  logged sqlite-compile.log "$cc" -c $cflags $features -DNDEBUG sqlite3.c -o sqlite3.o
  logged sqlite-archive.log "$host-ar" rcs libsqlite3.a sqlite3.o
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
  install -m 644 sqlite3.h sqlite3ext.h "$prefix/include/"
  install -m 644 libsqlite3.a "$prefix/lib/"
  local version
  version=$(cat "$src/VERSION")
  cat >"$prefix/lib/pkgconfig/sqlite3.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: SQLite
Description: SQL database engine
Version: $version
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
EOF
  echo "$cflags $features -DNDEBUG" >"$prefix/sqlite3.flags"
  cd "$root"
}

# PCRE2: Debian runs its configure with the switches of debian/rules
# (just-in-time compiler on for x86-64); only the 8-bit library is needed.
build_pcre2() {
  local src=$deps/src/pcre2 build=$deps/build/pcre2 switches cflags
  switches=$(rules_var "$src" deb_maint_conf_args DEB_HOST_ARCH=amd64)
  cflags=$(portable_flags "$(rules_var "$src" CFLAGS)")
  case $switches in *--enable-jit*) ;; *)
    say "could not read the configure switches of pcre2's debian/rules"
    exit 1
    ;;
  esac
  rm -rf "$build"
  mkdir -p "$build"
  cd "$build"
  # shellcheck disable=SC2086
  logged pcre2-configure.log "$src/configure" --build="$(dpkg-architecture -qDEB_BUILD_GNU_TYPE)" \
    --host=$host CC="$cc" CFLAGS="$cflags" --prefix="$prefix" --disable-shared --enable-static $switches
  logged pcre2-make.log make -j"$jobs" libpcre2-8.la
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
  install -m 644 src/pcre2.h "$prefix/include/"
  install -m 644 .libs/libpcre2-8.a "$prefix/lib/"
  # Its Cflags carry -DPCRE2_STATIC, which a static library's users need.
  install -m 644 libpcre2-8.pc "$prefix/lib/pkgconfig/"
  echo "$switches CFLAGS=$cflags" >"$prefix/pcre2.flags"
  cd "$root"
}

# xxHash: Debian runs the upstream Makefile with debhelper's flags; its
# static library is xxhash.c alone (the run-time dispatch goes only into the
# shared one). The Makefile writes the .pc file too.
build_xxhash() {
  local src=$deps/src/xxhash build=$deps/build/xxhash cflags
  cflags=$(portable_flags "$(debian_cflags "$src" CFLAGS)")
  rm -rf "$build"
  mkdir -p "$deps/build"
  cp -r "$src" "$build"
  logged xxhash-make.log make -C "$build" CC="$cc" AR="$host-ar" CFLAGS="$cflags" DEBUGFLAGS= \
    PREFIX="$prefix" libxxhash.a libxxhash.pc
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
  install -m 644 "$build/xxhash.h" "$build/xxh3.h" "$prefix/include/"
  install -m 644 "$build/libxxhash.a" "$prefix/lib/"
  # Debian's copy of its template names /usr whatever PREFIX says.
  sed "s|^prefix=.*|prefix=$prefix|" "$build/libxxhash.pc" >"$prefix/lib/pkgconfig/libxxhash.pc"
  echo "CFLAGS=$cflags" >"$prefix/xxhash.flags"
}

# GoogleTest, for the tests that run under Wine: Debian's CMake build with
# the Windows toolchain file, static, installed with its CMake package
# files so that find_package(GTest) finds it. Its own tests and GoogleMock
# are of no use here; Windows' own threads rather than winpthread's.
build_googletest() {
  local src=$deps/src/googletest build=$deps/build/googletest cxxflags
  cxxflags=$(portable_flags "$(debian_cflags "$src" CXXFLAGS)")
  rm -rf "$build"
  logged googletest-configure.log cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/packaging/windows/toolchain.cmake" -DPLINTH_WINDOWS_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=OFF -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=ON
  logged googletest-build.log cmake --build "$build" -j "$jobs"
  logged googletest-install.log cmake --install "$build"
  echo "CXXFLAGS=$cxxflags" >"$prefix/googletest.flags"
}

for name in sqlite3 pcre2 xxhash googletest; do
  fetch_source "$name"
  up_to_date "$name" && continue
  say "building $name $(dpkg-parsechangelog -l "$deps/src/$name/debian/changelog" -S Version) for $host"
  rm -f "$prefix/.$name.stamp"
  "build_$name"
  stamp_of "$name" >"$prefix/.$name.stamp"
done
