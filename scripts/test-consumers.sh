#!/usr/bin/env bash
# Checks the library as its users get it: builds the packages
# (scripts/package.sh), installs the Linux build into a temporary prefix,
# unpacks the Debian package and the Windows zip into temporary folders, and
# builds and runs the consumer programs of tests/consumer against each: the
# C one with CMake's find_package and with pkg-config, the C++ one
# (stowmaster.hpp) with C++17 and C++20 (MinGW-w64 and Wine for the zip).
# It also checks the man pages, the bash completion and the Python module
# as installed. Nothing is installed into the system but the build tools.
# Each library gets its own TESSARON.INI beside it, naming a temporary cache
# and log.
#
# Prints one line per check and, last, "N passed, M failed"; exits non-zero
# when a check failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh cmake make g++ libc6-dev dpkg-dev pkgconf binutils \
  g++-mingw-w64-x86-64 wine wine64 python3 man-db bash-completion

version=$(sed -n 's/^project(stowmaster VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
consumer_src="$root/tests/consumer"

work=$(mktemp -d /tmp/stow-consumers.XXXXXX)
work=$(realpath "$work")
own_wineprefix=
cleanup() {
  if [ -n "$own_wineprefix" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
# check DESCRIPTION COMMAND...: runs COMMAND in a subshell that stops at the
# first failing step, and counts and reports the outcome. A failed check
# shows its output and each step that failed, with its exit code, from the
# innermost out, so that a failure on a machine nobody can log into can be
# understood from the log alone.
check() {
  local what=$1 status
  shift
  set +e
  (
    set -eE
    trap 'echo "step failed (exit $?): $BASH_COMMAND"' ERR
    "$@"
  ) >"$work/check.log" 2>&1
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok   $what"
  else
    failed=$((failed + 1))
    echo "FAIL $what"
    sed 's/^/     /' "$work/check.log"
  fi
  last_status=$status
}
summary() { echo "$passed passed, $failed failed"; }
# require: a check that the rest depends on; stops the run when it fails.
require() {
  check "$@"
  if [ "$last_status" -ne 0 ]; then
    summary
    exit 1
  fi
}

fail() {
  echo "$*"
  return 1
}
# wine_to FILE ARGS...: runs `wine ARGS` with its standard output, carriage
# returns removed, in FILE; a failure shows the command, its exit code and
# everything it printed.
wine_to() {
  local out=$1 status=0
  shift
  wine "$@" >"$out.raw" 2>"$out.err" || status=$?
  tr -d '\r' <"$out.raw" >"$out"
  [ "$status" -eq 0 ] ||
    fail "wine $* exited with $status:$(echo; cat "$out" "$out.err")"
}
# has TEXT FILE: FILE holds TEXT.
has() { grep -qF -- "$1" "$2" || fail "'$1' not in $2:$(echo; cat "$2")"; }
same() { [ "$1" = "$2" ] || fail "$3: '$1', expected '$2'"; }

# settings LIBDIR CACHE LOG: a TESSARON.INI beside the library in LIBDIR.
settings() {
  mkdir -p "$2" "$3"
  # A root run deletes the registered files only below a folder it is given.
  printf '[Cache]\nCacheDir=%s\nFileFolders=%s\n[Log]\nLogPath=%s\n' "$2" "$work/files" "$3" \
    >"$1/TESSARON.INI"
}

# run_consumer FILE LOGDIR INDEX COMMAND...: runs COMMAND FILE, a consumer
# that creates and registers FILE. The library it loaded must report the
# project's version and have read the TESSARON.INI beside it: its log in
# LOGDIR, its index file INDEX (both as the library names them).
run_consumer() {
  local file=$1 log=$2 index=$3
  shift 3
  # Emptying the cache removes the folder its last file leaves empty.
  mkdir -p "$work/files"
  "$@" "$file" >"$work/run.out" 2>&1 || fail "$* $file failed:$(echo; cat "$work/run.out")"
  has "headers $version ($version) library $version" "$work/run.out"
  has "consumer: ok" "$work/run.out"
  cat "$log"/Stowmaster_*.LOG >"$work/run.log"
  has "Initialize stowmaster successfully: $index." "$work/run.log"
  has "New File To Cache: $file." "$work/run.log"
}

# --------------------------------------------------------------- packages ----
packages() {
  bash scripts/package.sh >"$work/package.out" 2>&1 ||
    fail "scripts/package.sh failed:$(echo; tail -n 60 "$work/package.out")"
  sed -n '/\.deb$/p' "$work/package.out" | tail -n 1 >"$work/deb.path"
  sed -n '/\.zip$/p' "$work/package.out" | tail -n 1 >"$work/zip.path"
  [ -s "$work/deb.path" ] && [ -s "$work/zip.path" ] || fail "$(cat "$work/package.out")"
  [ -f "$(cat "$work/deb.path")" ] && [ -f "$(cat "$work/zip.path")" ]
}
require "scripts/package.sh builds the .deb and the .zip" packages
deb=$(cat "$work/deb.path")
zip=$(cat "$work/zip.path")

# ------------------------------------------------- cmake --install prefix ----
prefix="$work/prefix"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' build/release/CMakeCache.txt)
lib="$prefix/$libdir"

install_prefix() {
  cmake --install build/release --prefix "$prefix"
  settings "$lib" "$work/p-cache" "$work/p-log"
}
require "cmake --install into a temporary prefix" install_prefix

prefix_layout() {
  local f
  for f in "bin/stowmaster" "$libdir/libstowmaster.so.1" "$libdir/libstowmaster.so" \
    include/stowmaster.h include/stowmaster.hpp include/stowmaster_version.h \
    "$libdir/cmake/stowmaster/stowmasterConfig.cmake" \
    "$libdir/cmake/stowmaster/stowmasterConfigVersion.cmake" \
    "$libdir/pkgconfig/stowmaster.pc" etc/stowmaster/TESSARON.INI \
    share/doc/stowmaster/copyright share/man/man1/stowmaster.1.gz \
    share/man/man3/stowmaster.3.gz share/bash-completion/completions/stowmaster \
    lib/python3/dist-packages/stowmaster/__init__.py; do
    [ -e "$prefix/$f" ] || fail "$f is not installed"
  done
  [ ! -e "$lib/stowmaster" ] || fail "the program is still installed in the library folder"
  readelf -d "$lib/libstowmaster.so.1" >"$work/dynamic"
  has "Library soname: [libstowmaster.so.1]" "$work/dynamic"
  # stowmaster.pc names the prefix installed to, not the configured one.
  same "$(sed -n 's/^prefix=//p' "$lib/pkgconfig/stowmaster.pc")" "$prefix" "stowmaster.pc prefix"
}
check "installed layout: bin/, lib/, include/, packages, soname" prefix_layout

exported_names() {
  nm -D --defined-only "$lib/libstowmaster.so.1" | awk '{print $NF}' | sort | tr '\n' ' ' \
    >"$work/names"
  same "$(cat "$work/names")" "AddFileToStowmasterA AddFileToStowmasterW DeleteAllFileInCache \
EmptyCache InitializeStowmaster StowmasterAdopt StowmasterCheck StowmasterCheckFiles \
StowmasterDump StowmasterEmpty StowmasterGetDiskUsage StowmasterGetSettings \
StowmasterGetStatus StowmasterLastError StowmasterListEntries StowmasterShrink \
StowmasterShrinkWith StowmasterVersion UnInitializeStowmaster " "exported functions"
}
check "the library exports its nineteen functions and nothing else" exported_names

# Asks the installed stowmasterConfigVersion.cmake whether it accepts a
# version, as find_package(stowmaster VERSION) does.
accepts() {
  cat >"$work/accepts.cmake" <<'EOF'
string(REPLACE "." ";" parts "${PACKAGE_FIND_VERSION}")
list(APPEND parts 0 0 0)
list(GET parts 0 PACKAGE_FIND_VERSION_MAJOR)
list(GET parts 1 PACKAGE_FIND_VERSION_MINOR)
list(GET parts 2 PACKAGE_FIND_VERSION_PATCH)
set(CMAKE_SIZEOF_VOID_P 8)
include(${FILE})
message("${PACKAGE_VERSION_COMPATIBLE}")
EOF
  cmake -DPACKAGE_FIND_VERSION="$1" -DFILE="$lib/cmake/stowmaster/stowmasterConfigVersion.cmake" \
    -P "$work/accepts.cmake"
}
version_compatibility() {
  same "$(accepts "$major" 2>&1)" TRUE "asking for $major"
  same "$(accepts "$version" 2>&1)" TRUE "asking for $version"
  same "$(accepts "$((major + 1)).0" 2>&1)" FALSE "asking for $((major + 1)).0"
  same "$(accepts "$((major - 1)).9" 2>&1)" FALSE "asking for $((major - 1)).9"
  same "$(accepts "$version.1" 2>&1)" FALSE "asking for the newer $version.1"
}
check "the CMake package accepts versions of its major version only" version_compatibility

cmake_consumer_prefix() {
  cmake -S "$consumer_src" -B "$work/b-prefix" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  has "stowmaster_DIR:PATH=$lib/cmake/stowmaster" "$work/b-prefix/CMakeCache.txt"
  cmake --build "$work/b-prefix"
  run_consumer "$work/files/cmake-prefix.img" "$work/p-log" "$work/p-cache/Index.Dat" \
    "$work/b-prefix/consumer"
}
check "prefix: CMake consumer (find_package) builds and runs" cmake_consumer_prefix

pkg_config_consumer_prefix() {
  export PKG_CONFIG_LIBDIR="$lib/pkgconfig"
  same "$(pkg-config --modversion stowmaster)" "$version" "pkg-config --modversion"
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/pc-prefix" "$consumer_src/main.c" \
    $(pkg-config --cflags --libs stowmaster)
  run_consumer "$work/files/pc-prefix.img" "$work/p-log" "$work/p-cache/Index.Dat" \
    env LD_LIBRARY_PATH="$lib" "$work/pc-prefix"
}
check "prefix: pkg-config consumer builds and runs" pkg_config_consumer_prefix

# cxx_consumers NAME RUNNER...: builds tests/consumer/main.cpp against the
# installed stowmaster.hpp with C++17 and C++20 (the second with exceptions
# asked for), with the flags pkg-config gives, and runs each.
cxx_consumers() {
  local name=$1 std defines
  shift
  for std in c++17 c++20; do
    defines=
    [ "$std" = c++17 ] || defines=-DSTOWMASTER_HPP_EXCEPTIONS
    # shellcheck disable=SC2046
    c++ -std="$std" $defines -Wall -Wextra -pedantic -Werror -o "$work/$name-$std" \
      "$consumer_src/main.cpp" $(pkg-config --cflags --libs stowmaster)
    "$@" "$work/files/$name-$std.img" "$work/$name-$std"
  done
}
cxx_consumer_prefix() {
  export PKG_CONFIG_LIBDIR="$lib/pkgconfig"
  run_prefix() {
    run_consumer "$1" "$work/p-log" "$work/p-cache/Index.Dat" env LD_LIBRARY_PATH="$lib" "$2"
  }
  cxx_consumers cxx-prefix run_prefix
}
check "prefix: C++ consumer (stowmaster.hpp) builds and runs with C++17 and C++20" \
  cxx_consumer_prefix

# python_module PACKAGES LIBRARY: the distribution's python3 imports the
# installed module from PACKAGES, which finds LIBRARY (by the installation's
# layout, nothing telling it) and reads the status of its cache.
python_module() {
  env -u STOWMASTER_LIBRARY PYTHONPATH="$1" /usr/bin/python3 -c '
import stowmaster
print(stowmaster.status())
print(stowmaster.load().path)
print(stowmaster.settings().settings_file)' >"$work/python.out" 2>&1 ||
    fail "python3 failed:$(echo; cat "$work/python.out")"
  has "Status(index_present=True" "$work/python.out"
  same "$(sed -n 2p "$work/python.out")" "$2" "the library the module loaded"
  same "$(sed -n 3p "$work/python.out")" "$(dirname "$2")/TESSARON.INI" "its settings"
}
check "prefix: the Python module finds the prefix's library" \
  python_module "$prefix/lib/python3/dist-packages" "$lib/libstowmaster.so.1"

program_version() {
  "$prefix/bin/stowmaster" --version >"$work/version.out"
  same "$(cat "$work/version.out")" "stowmaster $version
library $version ($lib/libstowmaster.so.$version)" "stowmaster --version"
  # The prefix moved elsewhere as a whole: the program follows.
  cp -a "$prefix" "$work/moved"
  "$work/moved/bin/stowmaster" --version >"$work/version.out"
  has "library $version ($work/moved/$libdir/libstowmaster.so.$version)" "$work/version.out"
}
check "prefix: bin/stowmaster --version loads the prefix's library" program_version

program_empty() {
  local f registered=(cmake-prefix pc-prefix cxx-prefix-c++17 cxx-prefix-c++20)
  for f in "${registered[@]}"; do [ -f "$work/files/$f.img" ] || fail "$f.img is missing"; done
  "$prefix/bin/stowmaster" empty >"$work/empty.out"
  cat "$work/p-log"/Stowmaster_*.LOG >"$work/run.log"
  has "Cache emptied on request: ${#registered[@]} files deleted" "$work/run.log"
  for f in "${registered[@]}"; do
    has "Delete File Successfully: $work/files/$f.img." "$work/run.log"
    [ ! -e "$work/files/$f.img" ] || fail "$f.img was not deleted"
  done
}
check "prefix: bin/stowmaster empty empties the cache of the prefix's TESSARON.INI" program_empty

# ---------------------------------------------------------- Debian package ----
deb_contents() {
  dpkg-deb --contents "$deb" | awk '{print $6}' >"$work/deb.list"
  local f l="./usr/$libdir"
  for f in ./usr/bin/stowmaster "$l/libstowmaster.so.1" "$l/libstowmaster.so" \
    "$l/libstowmaster.so.$version" ./usr/include/stowmaster.h \
    ./usr/include/stowmaster_version.h "$l/pkgconfig/stowmaster.pc" \
    "$l/cmake/stowmaster/stowmasterConfig.cmake" \
    "$l/cmake/stowmaster/stowmasterConfigVersion.cmake" \
    "$l/cmake/stowmaster/stowmasterTargets.cmake" ./etc/stowmaster/TESSARON.INI \
    ./usr/share/doc/stowmaster/copyright ./usr/include/stowmaster.hpp \
    ./usr/share/man/man1/stowmaster.1.gz ./usr/share/man/man3/stowmaster.3.gz \
    ./usr/share/bash-completion/completions/stowmaster \
    ./usr/lib/python3/dist-packages/stowmaster/__init__.py; do
    grep -qxF -- "$f" "$work/deb.list" || fail "$f is not in the package:$(echo; cat "$work/deb.list")"
  done
  same "$(dpkg-deb -f "$deb" Package)" stowmaster "Package"
  same "$(dpkg-deb -f "$deb" Version)" "$version" "Version"
  dpkg-deb -f "$deb" Depends >"$work/depends"
  has "libc6" "$work/depends"
  mkdir -p "$work/deb-control"
  dpkg-deb -e "$deb" "$work/deb-control"
  same "$(cat "$work/deb-control/conffiles")" /etc/stowmaster/TESSARON.INI "conffiles"
}
check "deb: contents, control fields, conffile" deb_contents

deb_x="$work/deb-root"
deb_lib="$deb_x/usr/$libdir"
deb_unpack() {
  dpkg-deb -x "$deb" "$deb_x"
  settings "$deb_lib" "$work/d-cache" "$work/d-log"
  same "$(sed -n 's/^prefix=//p' "$deb_lib/pkgconfig/stowmaster.pc")" /usr "stowmaster.pc prefix"
  cmp LICENSE "$deb_x/usr/share/doc/stowmaster/copyright"
}
require "deb: unpacks with dpkg-deb -x; stowmaster.pc names /usr" deb_unpack

# The example settings file: every line a comment, a section, a blank or a
# bare key=value (a comment after a value would become part of it), and
# the documented keys with their defaults.
example_settings() {
  local ini="$deb_x/etc/stowmaster/TESSARON.INI" bad
  bad=$(grep -vE '^(;.*|\[[A-Za-z]+\]|[A-Za-z]+=[^;]*|)$' "$ini" || true)
  [ -z "$bad" ] || fail "lines that are not a comment, section or key=value: $bad"
  # key=value pairs, each prefixed with its section.
  awk '/^\[/ {s=$0} /^[A-Za-z]+=/ {print s $0}' "$ini" >"$work/ini.pairs"
  same "$(cat "$work/ini.pairs")" "[Cache]CacheDir=/var/tmp/stowmaster
[Cache]CacheSize=200
[Cache]Precision=20
[Cache]Delay=15
[Log]LogPath=/var/tmp
[Log]EchoToStdout=0" "settings and defaults"
  has "50 to 204800" "$ini"
  has "5 to 4320" "$ini"
}
check "deb: /etc/stowmaster/TESSARON.INI is a well-formed commented example" example_settings

cmake_consumer_deb() {
  cmake -S "$consumer_src" -B "$work/b-deb" -DCMAKE_PREFIX_PATH="$deb_x/usr" >/dev/null
  has "stowmaster_DIR:PATH=$deb_lib/cmake/stowmaster" "$work/b-deb/CMakeCache.txt"
  cmake --build "$work/b-deb"
  run_consumer "$work/files/cmake-deb.img" "$work/d-log" "$work/d-cache/Index.Dat" \
    "$work/b-deb/consumer"
}
check "deb: CMake consumer (find_package) builds and runs" cmake_consumer_deb

pkg_config_consumer_deb() {
  # As for a system root elsewhere: the .pc file's /usr paths are taken as
  # under the unpacked tree, system folders included.
  export PKG_CONFIG_SYSROOT_DIR="$deb_x" PKG_CONFIG_LIBDIR="$deb_lib/pkgconfig"
  export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
  same "$(pkg-config --cflags --libs stowmaster | xargs)" \
    "-I$deb_x/usr/include -L$deb_lib -lstowmaster" "pkg-config flags"
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/pc-deb" "$consumer_src/main.c" \
    $(pkg-config --cflags --libs stowmaster)
  run_consumer "$work/files/pc-deb.img" "$work/d-log" "$work/d-cache/Index.Dat" \
    env LD_LIBRARY_PATH="$deb_lib" "$work/pc-deb"
}
check "deb: pkg-config consumer (PKG_CONFIG_SYSROOT_DIR) builds and runs" pkg_config_consumer_deb

deb_program() {
  "$deb_x/usr/bin/stowmaster" --version >"$work/version.out"
  has "library $version ($deb_lib/libstowmaster.so.$version)" "$work/version.out"
}
check "deb: usr/bin/stowmaster finds the package's library" deb_program

cxx_consumer_deb() {
  export PKG_CONFIG_SYSROOT_DIR="$deb_x" PKG_CONFIG_LIBDIR="$deb_lib/pkgconfig"
  export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
  run_deb() {
    run_consumer "$1" "$work/d-log" "$work/d-cache/Index.Dat" env LD_LIBRARY_PATH="$deb_lib" "$2"
  }
  cxx_consumers cxx-deb run_deb
}
check "deb: C++ consumer (stowmaster.hpp) builds and runs with C++17 and C++20" cxx_consumer_deb

check "deb: the Python module in dist-packages finds the package's library" \
  python_module "$deb_x/usr/lib/python3/dist-packages" "$deb_lib/libstowmaster.so.1"

deb_man_pages() {
  local man="$deb_x/usr/share/man" section
  for section in 1 3; do
    same "$(MANPATH="$man" man -w "$section" stowmaster)" "$man/man$section/stowmaster.$section.gz" \
      "man -w $section stowmaster"
    # Debian's compression: no name or time inside (flags and time zero).
    same "$(od -An -tx1 -j3 -N5 "$man/man$section/stowmaster.$section.gz" | xargs)" \
      "00 00 00 00 00" "gzip flags and time of stowmaster.$section.gz"
    MANWIDTH=80 MAN_KEEP_FORMATTING= man -l "$man/man$section/stowmaster.$section.gz" \
      >"$work/man.out" 2>"$work/man.err"
    has "STOWMASTER($section)" "$work/man.out"
    ! grep -q troff "$work/man.err" || fail "the page has roff errors:$(echo; cat "$work/man.err")"
  done
}
check "deb: man pages stowmaster(1) and stowmaster(3), compressed as Debian does" deb_man_pages

# The completion loads into bash as bash-completion loads it, and completes
# a command's name.
deb_completion() {
  bash -c '
    [ ! -f /usr/share/bash-completion/bash_completion ] ||
      source /usr/share/bash-completion/bash_completion
    source "$1"
    registered=$(complete -p stowmaster)
    echo "$registered"
    fn=$(sed -n "s/.*-F \([^ ]*\) .*/\1/p" <<<"$registered")
    [ -n "$fn" ] || exit 1
    COMP_WORDS=(stowmaster sta)
    COMP_CWORD=1
    COMP_LINE="stowmaster sta"
    COMP_POINT=${#COMP_LINE}
    "$fn" stowmaster sta stowmaster
    printf "reply %s\n" "${COMPREPLY[@]}"' _ \
    "$deb_x/usr/share/bash-completion/completions/stowmaster" >"$work/completion.out" 2>&1 ||
    fail "$(cat "$work/completion.out")"
  has "reply status" "$work/completion.out"
}
check "deb: the bash completion loads and completes the commands" deb_completion

# ------------------------------------------------------------ Windows zip ----
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX="$work/wine"
  own_wineprefix=1
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  # The server first, persistent, so that Wine's services start once, under
  # wineboot, and never hold the output of a later command (see test-all.sh).
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wineboot -i >/dev/null 2>&1 || true
fi
# A Windows path for a path of this machine, as Wine maps it.
winpath() { winepath -w "$1" 2>/dev/null; }

zip_x="$work/zip-root"
zip_unpack() {
  mkdir -p "$zip_x"
  (cd "$zip_x" && cmake -E tar xf "$zip")
  local top f
  top=$(basename "$zip" .zip)
  same "$(ls "$zip_x")" "$top" "the zip's one top folder"
  mv "$zip_x/$top"/* "$zip_x/" && rmdir "$zip_x/$top"
  for f in bin/stowmaster.dll bin/stowmaster.exe lib/libstowmaster.dll.a lib/stowmaster.def include/stowmaster.h \
    include/stowmaster.hpp include/stowmaster_version.h lib/cmake/stowmaster/stowmasterConfig.cmake \
    lib/cmake/stowmaster/stowmasterConfigVersion.cmake LICENSE doc/stowmaster.1.txt \
    doc/stowmaster.3.txt; do
    [ -f "$zip_x/$f" ] || fail "$f is not in the zip"
  done
  has StowmasterVersion "$zip_x/lib/stowmaster.def"
  mkdir -p "$work/w-cache" "$work/w-log"
  printf '[Cache]\r\nCacheDir=%s\r\n[Log]\r\nLogPath=%s\r\n' "$(winpath "$work/w-cache")" \
    "$(winpath "$work/w-log")" >"$zip_x/bin/TESSARON.INI"
}
require "zip: unpacks to bin/, lib/, include/, .def, licence" zip_unpack

version_resource() {
  x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$work/version_resource.exe" \
    "$consumer_src/version_resource.c" -lversion
  wine_to "$work/resource.out" "$work/version_resource.exe" "$(winpath "$zip_x/bin/stowmaster.dll")"
  same "$(cat "$work/resource.out")" "FixedFileVersion=$version.0
FileVersion=$version
ProductVersion=$version
OriginalFilename=stowmaster.dll
ProductName=Stowmaster" "the DLL's version resource"
}
check "zip: stowmaster.dll carries a version resource of the project version" version_resource

zip_program() {
  wine_to "$work/version.out" "$zip_x/bin/stowmaster.exe" --version
  has "stowmaster $version" "$work/version.out"
  has "library $version (" "$work/version.out"
  has "stowmaster.dll)" "$work/version.out"
  # The zip's program on the zip's library and its TESSARON.INI.
  wine_to "$work/status.out" "$zip_x/bin/stowmaster.exe" status --json
  has "\"index_path\": \"$(winpath "$work/w-cache" | sed 's/\\/\\\\/g')\\\\Index.Dat\"" "$work/status.out"
  wine_to "$work/resource.out" "$work/version_resource.exe" "$(winpath "$zip_x/bin/stowmaster.exe")"
  has "OriginalFilename=stowmaster.exe" "$work/resource.out"
  has "FileVersion=$version" "$work/resource.out"
}
check "zip: bin/stowmaster.exe runs under Wine on the zip's library, with a version resource" \
  zip_program

# run_wine_consumer PROGRAM NAME: runs a Windows consumer under Wine with the
# zip's bin/ on its PATH, so that it loads the DLL from there.
run_wine_consumer() {
  run_consumer "$(winpath "$work/files/$2.img")" "$work/w-log" \
    "$(winpath "$work/w-cache")\\Index.Dat" env WINEPATH="$(winpath "$zip_x/bin")" wine "$1"
}

mingw_consumer() {
  x86_64-w64-mingw32-gcc -std=c99 -Wall -Wextra -pedantic -Werror -I"$zip_x/include" \
    -o "$work/consumer-gcc.exe" "$consumer_src/main.c" -L"$zip_x/lib" -lstowmaster
  run_wine_consumer "$work/consumer-gcc.exe" mingw-gcc
}
check "zip: MinGW consumer linked with the import library runs under Wine" mingw_consumer

cmake_consumer_zip() {
  cmake -S "$consumer_src" -B "$work/b-zip" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -Dstowmaster_DIR="$zip_x/lib/cmake/stowmaster" >/dev/null
  cmake --build "$work/b-zip"
  run_wine_consumer "$work/b-zip/consumer.exe" mingw-cmake
}
check "zip: MinGW CMake consumer (find_package) runs under Wine" cmake_consumer_zip

mingw_cxx_consumer() {
  local std defines
  for std in c++17 c++20; do
    defines=
    [ "$std" = c++17 ] || defines=-DSTOWMASTER_HPP_EXCEPTIONS
    x86_64-w64-mingw32-g++ -std="$std" $defines -Wall -Wextra -pedantic -Werror \
      -I"$zip_x/include" -static-libgcc -static-libstdc++ -o "$work/consumer-$std.exe" \
      "$consumer_src/main.cpp" -L"$zip_x/lib" -lstowmaster
    run_wine_consumer "$work/consumer-$std.exe" "mingw-$std"
  done
}
check "zip: MinGW C++ consumer (stowmaster.hpp) with C++17 and C++20 runs under Wine" \
  mingw_cxx_consumer

# The man pages as plain text: ASCII, without the escape sequences or
# overstriking of a terminal's rendering.
zip_man_texts() {
  local section text
  for section in 1 3; do
    text="$zip_x/doc/stowmaster.$section.txt"
    has "STOWMASTER($section)" "$text"
    has "NAME" "$text"
    ! LC_ALL=C grep -n '[^[:print:][:space:]]' "$text" >"$work/unprintable" ||
      fail "unprintable bytes in $text:$(echo; head -n 5 "$work/unprintable" | cat -v)"
  done
}
check "zip: the man pages as plain text in doc/" zip_man_texts

summary
[ "$failed" -eq 0 ]
