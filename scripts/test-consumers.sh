#!/usr/bin/env bash
# Checks the library as its users get it: builds the packages
# (scripts/package.sh), installs the Linux build into a temporary prefix,
# unpacks the Debian packages and the Windows zip into temporary folders, and
# builds and runs the consumer programs of tests/consumer against each: the
# C one with CMake's find_package and with pkg-config, the C++ one
# (stowmaster.hpp) with C++17 and C++20 (MinGW-w64 and Wine for the zip).
# It also checks the man pages, the bash completion and the Python module
# as installed, and the module installed with pip into a virtual
# environment. Each library gets its own TESSARON.INI beside it, naming a
# temporary cache and log.
#
# Nothing is installed into the system but the build tools. What must be
# installed into system folders to be checked (the Debian packages with apt,
# an upgrade from the earlier single package, `cmake --install --prefix
# /usr/local` with ldconfig) is installed in a sandbox: a private mount
# namespace whose / is an overlay on this machine's, thrown away afterwards.
#
# Prints one line per check and, last, "N passed, M failed"; exits non-zero
# when a check failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# python3-venv brings the setuptools a virtual environment starts with,
# python3-wheel-whl the wheel package it lacks to build without a network.
bash scripts/install-deps.sh cmake make g++ libc6-dev dpkg-dev pkgconf binutils file \
  g++-mingw-w64-x86-64 wine wine64 python3 python3-venv python3-wheel-whl man-db \
  bash-completion util-linux

version=$(cat python/VERSION)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
major=${version%%.*}
consumer_src="$root/tests/consumer"

work=$(mktemp -d /tmp/stow-consumers.XXXXXX)
work=$(realpath "$work")
own_wineprefix=
cleanup() {
  if [ -n "$own_wineprefix" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  # A sandbox's overlay is gone with its mount namespace; its files stay.
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

# sandbox SCRIPT: runs the bash script SCRIPT as root in a copy of this
# machine: a private mount namespace in which / is an overlay on this
# machine's /, with its own /proc, /dev, /sys and /run and this run's $work
# shared, so that packages installed, ldconfig and /etc written there change
# nothing outside it, for other programs running meanwhile either. The
# script gets this script's helper functions and variables.
sandbox() {
  local s="$work/sandbox"
  rm -rf "$s"
  mkdir -p "$s/upper" "$s/overlay-work" "$s/root"
  {
    echo 'set -eE'
    echo 'trap '\''echo "sandbox: step failed (exit $?): $BASH_COMMAND"'\'' ERR'
    declare -f fail has same settings run_consumer
    declare -p work version multiarch consumer_src root
    echo "$1"
  } >"$s/script"
  unshare --mount --propagation private bash -c '
    set -e
    s=$1 work=$2
    mount -t overlay overlay -o "lowerdir=/,upperdir=$s/upper,workdir=$s/overlay-work" "$s/root"
    mount --rbind /proc "$s/root/proc"
    mount --rbind /dev "$s/root/dev"
    mount --rbind /sys "$s/root/sys"
    mount -t tmpfs tmpfs "$s/root/run"
    mount --bind "$work" "$s/root$work"
    exec chroot "$s/root" /bin/bash "$s/script"' _ "$s" "$work" ||
    fail "the sandboxed steps failed"
}

# --------------------------------------------------------------- packages ----
packages() {
  bash scripts/package.sh >"$work/package.out" 2>&1 ||
    fail "scripts/package.sh failed:$(echo; tail -n 60 "$work/package.out")"
  # Lines that are paths, not lintian's findings.
  sed -n '\|^/.*\.deb$|p' "$work/package.out" >"$work/debs"
  sed -n '/\.zip$/p' "$work/package.out" | tail -n 1 >"$work/zip.path"
  [ -s "$work/debs" ] && [ -s "$work/zip.path" ] || fail "$(cat "$work/package.out")"
  [ -f "$(cat "$work/zip.path")" ] || fail "no zip"
  local f
  while read -r f; do [ -f "$f" ] || fail "$f is missing"; done <"$work/debs"
}
require "scripts/package.sh builds the .debs (lintian clean) and the .zip" packages
zip=$(cat "$work/zip.path")
# deb NAME: the path of the package NAME.
deb() { grep "/$1_[^/]*\.deb$" "$work/debs"; }

# ------------------------------------------------- cmake --install prefix ----
# The README's steps: the release build, installed into a prefix.
release_build() {
  cmake --preset release >/dev/null
  cmake --build --preset release -j2 >/dev/null
}
require "the release build" release_build
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
  # The program's run path to the prefix's library, relative to itself.
  readelf -d "$prefix/bin/stowmaster" >"$work/dynamic"
  has "Library runpath: [\$ORIGIN/../$libdir]" "$work/dynamic"
  # stowmaster.pc names the prefix installed to, not the configured one.
  same "$(sed -n 's/^prefix=//p' "$lib/pkgconfig/stowmaster.pc")" "$prefix" "stowmaster.pc prefix"
}
check "installed layout: bin/, lib/, include/, packages, soname" prefix_layout

exported_names() {
  nm -D --defined-only "$lib/libstowmaster.so.1" | awk '{print $NF}' | sort | tr '\n' ' ' \
    >"$work/names"
  # Sorted here as the names above are, so that a new export goes at the end.
  same "$(cat "$work/names")" "$(printf '%s\n' AddFileToStowmasterA AddFileToStowmasterW \
DeleteAllFileInCache EmptyCache InitializeStowmaster StowmasterAdopt StowmasterCheck \
StowmasterCheckFiles StowmasterDump StowmasterEmpty StowmasterGetDiskUsage \
StowmasterGetSettings StowmasterGetStatus StowmasterLastError StowmasterListEntries \
StowmasterShrink StowmasterShrinkWith StowmasterVersion UnInitializeStowmaster \
StowmasterUseSettingsFile StowmasterListSettings StowmasterGetCounters StowmasterZeroCounters \
| sort | tr '\n' ' ')" "exported functions"
}
check "the library exports its twenty-three functions and nothing else" exported_names

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

# The README's other way for a private prefix: the consumer's own run path.
rpath_consumer_prefix() {
  export PKG_CONFIG_LIBDIR="$lib/pkgconfig"
  # shellcheck disable=SC2046
  cc -std=c99 -o "$work/rpath-prefix" "$consumer_src/main.c" \
    $(pkg-config --cflags --libs stowmaster) -Wl,-rpath,"$(pkg-config --variable=libdir stowmaster)"
  run_consumer "$work/files/rpath-prefix.img" "$work/p-log" "$work/p-cache/Index.Dat" \
    env -u LD_LIBRARY_PATH "$work/rpath-prefix"
}
check "prefix: pkg-config consumer linked with the prefix's run path runs" rpath_consumer_prefix

# The README's steps for a system folder, in a sandbox: installed into
# /usr/local, a consumer fails to start until ldconfig has run.
usr_local_ldconfig() {
  sandbox '
    cd "$root"
    cmake --install build/release --prefix /usr/local >/dev/null
    settings /usr/local/lib "$work/l-cache" "$work/l-log"
    cc -std=c99 -o "$work/pc-local" "$consumer_src/main.c" $(pkg-config --cflags --libs stowmaster)
    mkdir -p "$work/files"
    if "$work/pc-local" "$work/files/local-early.img" >"$work/local.out" 2>&1; then
      fail "the consumer started before ldconfig"
    fi
    has "libstowmaster.so.1: cannot open shared object file" "$work/local.out"
    ldconfig
    run_consumer "$work/files/pc-local.img" "$work/l-log" "$work/l-cache/Index.Dat" "$work/pc-local"
    rm "$work/files/pc-local.img"'
}
check "/usr/local (sandbox): a pkg-config consumer runs once ldconfig has run" usr_local_ldconfig

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

# The README's steps for pip without a network: a fresh virtual environment
# of the distribution's python3, the wheel package from Debian's
# python3-wheel-whl, then the module built with the setuptools the
# environment starts with, from a copy of python/ (pip builds in place).
pip_venv() {
  local venv="$work/venv" tree="$work/pip-tree"
  mkdir -p "$tree"
  cp -r "$root/python" "$tree/python"
  /usr/bin/python3 -m venv "$venv"
  "$venv/bin/pip" install --no-index /usr/share/python-wheels/wheel-*.whl >"$work/pip.out"
  (cd "$tree" && "$venv/bin/pip" install --no-index --no-build-isolation ./python) >>"$work/pip.out"
  # The module and its metadata come from the environment, the library as
  # the module's docstring says: STOWMASTER_LIBRARY, else the system's
  # loader (here told of the prefix's library by LD_LIBRARY_PATH).
  local py='
import importlib.metadata, stowmaster
print(stowmaster.__file__)
print(importlib.metadata.version("stowmaster"))
print(stowmaster.load().path)
print(stowmaster.status())'
  env -u LD_LIBRARY_PATH STOWMASTER_LIBRARY="$lib/libstowmaster.so.$version" \
    "$venv/bin/python" -c "$py" >"$work/venv.out" 2>&1 || fail "$(cat "$work/venv.out")"
  same "$(sed -n 1p "$work/venv.out")" \
    "$venv/lib/python$("$venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/site-packages/stowmaster/__init__.py" \
    "the module imported"
  same "$(sed -n 2p "$work/venv.out")" "$version" "the installed version"
  same "$(sed -n 3p "$work/venv.out")" "$lib/libstowmaster.so.$version" "the library by variable"
  has "Status(index_present=True" "$work/venv.out"
  env -u STOWMASTER_LIBRARY LD_LIBRARY_PATH="$lib" "$venv/bin/python" -c "$py" >"$work/venv.out" 2>&1 ||
    fail "$(cat "$work/venv.out")"
  same "$(sed -n 3p "$work/venv.out")" libstowmaster.so.1 "the library by the loader"
  has "Status(index_present=True" "$work/venv.out"
}
check "pip: pip install ./python into a fresh venv, offline; the module finds the library" pip_venv

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
  local f registered=(cmake-prefix pc-prefix rpath-prefix cxx-prefix-c++17 cxx-prefix-c++20)
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

# --------------------------------------------------------- Debian packages ----
# Each package's files, control fields and control files.
deb_contents() {
  local name f l="./usr/lib/$multiarch"
  declare -A files=(
    [libstowmaster1]="$l/libstowmaster.so.1 $l/libstowmaster.so.$version"
    [libstowmaster-dev]="$l/libstowmaster.so ./usr/include/stowmaster.h
      ./usr/include/stowmaster.hpp ./usr/include/stowmaster_version.h
      $l/pkgconfig/stowmaster.pc $l/cmake/stowmaster/stowmasterConfig.cmake
      $l/cmake/stowmaster/stowmasterConfigVersion.cmake $l/cmake/stowmaster/stowmasterTargets.cmake
      $l/cmake/stowmaster/stowmasterTargets-none.cmake
      ./usr/share/man/man3/stowmaster.3.gz"
    [stowmaster]="./usr/bin/stowmaster ./etc/stowmaster/TESSARON.INI
      ./usr/share/man/man1/stowmaster.1.gz ./usr/share/bash-completion/completions/stowmaster"
    [python3-stowmaster]="./usr/lib/python3/dist-packages/stowmaster/__init__.py")
  for name in "${!files[@]}"; do
    dpkg-deb --contents "$(deb "$name")" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/deb.list"
    # Exactly these files, the package's copyright, changelog and lintian
    # overrides besides.
    for f in ${files[$name]} "./usr/share/doc/$name/copyright" \
      "./usr/share/doc/$name/changelog.Debian.gz" "./usr/share/lintian/overrides/$name"; do
      echo "$f"
    done | sort >"$work/deb.expected"
    diff "$work/deb.expected" "$work/deb.list" >"$work/deb.diff" ||
      fail "$name: files missing (<) or not expected (>):$(echo; cat "$work/deb.diff")"
    # The upstream version is the project's, with a Debian revision.
    same "$(dpkg-deb -f "$(deb "$name")" Version | sed 's/-[^-]*$//')" "$version" "$name Version"
    dpkg-deb -f "$(deb "$name")" Maintainer >"$work/field"
    grep -qE '<[^@ ]+@[^> ]+>$' "$work/field" || fail "$name: Maintainer has no address"
  done
  field() { dpkg-deb -f "$(deb "$1")" "$2"; }
  local deb_version old
  deb_version=$(field stowmaster Version)
  # The earlier single package stowmaster, of version $version, is broken
  # and replaced by the packages that took its files over.
  old="stowmaster (<< $version-1~)"
  for name in libstowmaster1 libstowmaster-dev python3-stowmaster; do
    same "$(field "$name" Breaks)" "$old" "$name Breaks"
    same "$(field "$name" Replaces)" "$old" "$name Replaces"
  done
  same "$(field libstowmaster1 Multi-Arch)" same "libstowmaster1 Multi-Arch"
  same "$(field libstowmaster-dev Multi-Arch)" same "libstowmaster-dev Multi-Arch"
  field libstowmaster1 Depends >"$work/depends"
  has "libc6" "$work/depends"
  field libstowmaster-dev Depends >"$work/depends"
  has "libstowmaster1 (= $deb_version)" "$work/depends"
  # The program loads the library at run time: no shared-library dependency
  # finds it, so the package names it.
  field stowmaster Depends >"$work/depends"
  has "libstowmaster1 (= $deb_version)" "$work/depends"
  field python3-stowmaster Depends >"$work/depends"
  has "libstowmaster1 (>= $deb_version)" "$work/depends"
  grep -qE '(^|, )python3(:any)?(,|$| )' "$work/depends" || fail "no python3 in $(cat "$work/depends")"
  same "$(field python3-stowmaster Architecture)" all "python3-stowmaster Architecture"
  for name in libstowmaster1 stowmaster python3-stowmaster; do
    mkdir -p "$work/control/$name"
    dpkg-deb -e "$(deb "$name")" "$work/control/$name"
  done
  same "$(cat "$work/control/stowmaster/conffiles")" /etc/stowmaster/TESSARON.INI "conffiles"
  # ldconfig runs by trigger, not from the maintainer scripts.
  has "activate-noawait ldconfig" "$work/control/libstowmaster1/triggers"
  ! grep -q ldconfig "$work/control/libstowmaster1/postinst" || fail "the postinst calls ldconfig"
  has "libstowmaster.so.1 libstowmaster1 #MINVER#" "$work/control/libstowmaster1/symbols"
  has " StowmasterVersion@Base $version" "$work/control/libstowmaster1/symbols"
  # The module is byte-compiled where it is installed, as for every module
  # of the distribution's python3.
  has py3compile "$work/control/python3-stowmaster/postinst"
}
check "deb: four packages, their files, control fields, conffile, ldconfig trigger, symbols" \
  deb_contents

deb_x="$work/deb-root"
deb_lib="$deb_x/usr/lib/$multiarch"
deb_unpack() {
  local name
  for name in libstowmaster1 libstowmaster-dev stowmaster python3-stowmaster; do
    dpkg-deb -x "$(deb "$name")" "$deb_x"
  done
  settings "$deb_lib" "$work/d-cache" "$work/d-log"
  same "$(sed -n 's/^prefix=//p' "$deb_lib/pkgconfig/stowmaster.pc")" /usr "stowmaster.pc prefix"
  same "$(sed -n 's/^libdir=//p' "$deb_lib/pkgconfig/stowmaster.pc")" "\${prefix}/lib/$multiarch" \
    "stowmaster.pc libdir"
  # The licence, in the machine-readable form, in each package.
  sed -n '/^Permission/,$p' LICENSE >"$work/licence"
  for name in libstowmaster1 libstowmaster-dev stowmaster python3-stowmaster; do
    sed -n '/^ Permission/,$p' "$deb_x/usr/share/doc/$name/copyright" |
      sed 's/^ //; s/^\.$//' >"$work/copyright.licence"
    cmp "$work/licence" "$work/copyright.licence" || fail "$name: the licence differs from LICENSE"
  done
}
require "deb: the packages unpack with dpkg-deb -x; stowmaster.pc names /usr" deb_unpack

# Binaries stripped, their debugging symbols in the -dbgsym packages (under
# each binary's build ID), no run path, all the hardening flags.
deb_binaries() {
  local name bin id
  for name in libstowmaster1:usr/lib/$multiarch/libstowmaster.so.$version stowmaster:usr/bin/stowmaster; do
    bin="$deb_x/${name#*:}"
    name=${name%%:*}
    file -L "$bin" >"$work/file.out"
    has ", stripped" "$work/file.out"
    id=$(readelf -n "$bin" | sed -n 's/.*Build ID: \([0-9a-f]*\)/\1/p')
    [ -n "$id" ] || fail "$bin has no build ID"
    dpkg-deb --contents "$(deb "$name-dbgsym")" >"$work/dbgsym.list"
    has "./usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" "$work/dbgsym.list"
    readelf -d "$bin" >"$work/dynamic"
    ! grep -qE 'R(UN)?PATH' "$work/dynamic" || fail "$bin has a run path:$(echo; cat "$work/dynamic")"
    has "BIND_NOW" "$work/dynamic"
    readelf -W --dyn-syms "$bin" >"$work/symbols"
    grep -q "__[a-z0-9]*_chk@" "$work/symbols" || fail "$bin uses no fortified function"
  done
  readelf -h "$deb_x/usr/bin/stowmaster" | grep -q "DYN (Position-Independent Executable" ||
    fail "usr/bin/stowmaster is not a position-independent executable"
}
check "deb: binaries stripped, debug symbols in -dbgsym, no run path, hardened" deb_binaries

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
[Cache]AdoptFileFolders=0
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

# The earlier single package, as far as an upgrade sees it: the library
# in /usr/lib, the program, a header, the Python module and the example
# settings as a conffile, all in one package named stowmaster.
old_package() {
  local old="$work/old-stowmaster"
  mkdir -p "$old/DEBIAN" "$old/usr/lib" "$old/usr/bin" "$old/usr/include" \
    "$old/usr/lib/python3/dist-packages/stowmaster" "$old/etc/stowmaster"
  cp -a "$lib"/libstowmaster.so* "$old/usr/lib/"
  cp "$prefix/bin/stowmaster" "$old/usr/bin/"
  cp "$prefix/include/stowmaster.h" "$old/usr/include/"
  cp "$prefix/lib/python3/dist-packages/stowmaster/__init__.py" \
    "$old/usr/lib/python3/dist-packages/stowmaster/"
  cp "$deb_x/etc/stowmaster/TESSARON.INI" "$old/etc/stowmaster/"
  echo /etc/stowmaster/TESSARON.INI >"$old/DEBIAN/conffiles"
  printf '%s\n' "Package: stowmaster" "Version: $version" "Architecture: $(dpkg --print-architecture)" \
    "Maintainer: The Stowmaster developers" "Description: the earlier single package" \
    >"$old/DEBIAN/control"
  dpkg-deb --root-owner-group --build "$old" "$work/old-stowmaster.deb" >/dev/null
}

# deb_upgrade ORDER: in a sandbox, the earlier single package installed,
# with an administrator's settings beside its library and an edit to the
# example, then the packages installed with apt as a user would. ORDER
# "apt": apt installs all four, and upgrades stowmaster first. ORDER
# "dpkg": `dpkg -i --auto-deconfigure` installs the three new packages
# first, which take their files over from the earlier package still
# installed, then `dpkg -i` upgrades stowmaster. The settings move beside the
# library, the edit stays, the loader knows the library, and the consumers
# build and run against the system's files with nothing telling them where;
# purged, the packages leave no settings behind.
deb_upgrade() {
  [ -f "$work/old-stowmaster.deb" ] || old_package
  # shellcheck disable=SC2046
  cp $(grep -v -- -dbgsym_ "$work/debs") "$work/"
  sandbox "order=$1"'
    dpkg -i "$work/old-stowmaster.deb" >/dev/null
    settings /usr/lib "$work/u-cache" "$work/u-log"
    chmod 600 /usr/lib/TESSARON.INI
    echo "; edited by the administrator" >>/etc/stowmaster/TESSARON.INI
    stowmaster status --json >"$work/u-status.json"
    has "\"settings_file\": \"/usr/lib/TESSARON.INI\"" "$work/u-status.json"

    if [ "$order" = dpkg ]; then
      # dpkg leaves the earlier stowmaster, which they break, deconfigured
      # and says so with its exit status; the upgrade of stowmaster follows.
      dpkg -i --auto-deconfigure "$work"/libstowmaster1_*.deb "$work"/libstowmaster-dev_*.deb \
        "$work"/python3-stowmaster_*.deb >"$work/install.out" 2>&1 || true
      for p in libstowmaster1 libstowmaster-dev python3-stowmaster; do
        [ "$(dpkg-query -W -f "\${Status}" "$p")" = "install ok installed" ] ||
          fail "dpkg did not install $p:$(echo; cat "$work/install.out")"
      done
      dpkg -i "$work"/stowmaster_*.deb >>"$work/install.out" 2>&1 || fail "$(cat "$work/install.out")"
    else
      DEBIAN_FRONTEND=noninteractive apt-get install -y \
        "$work"/libstowmaster1_*.deb "$work"/libstowmaster-dev_*.deb "$work"/stowmaster_*.deb \
        "$work"/python3-stowmaster_*.deb >"$work/install.out" 2>&1 || fail "$(cat "$work/install.out")"
    fi
    has "moved the settings file /usr/lib/TESSARON.INI to /usr/lib/$multiarch/TESSARON.INI" \
      "$work/install.out"
    [ ! -e /usr/lib/libstowmaster.so.1 ] || fail "the earlier library is still in /usr/lib"
    [ ! -e /usr/lib/TESSARON.INI ] || fail "/usr/lib/TESSARON.INI is still there"
    ini=/usr/lib/$multiarch/TESSARON.INI
    same "$(head -n 1 "$ini")" "; Moved here from /usr/lib/TESSARON.INI when the library moved to this folder." \
      "the moved file'\''s first line"
    same "$(stat -c "%U %a" "$ini")" "root 600" "the moved file'\''s owner and mode"
    has "; edited by the administrator" /etc/stowmaster/TESSARON.INI
    stowmaster status --json >"$work/u-status.json"
    has "\"settings_file\": \"$ini\"" "$work/u-status.json"
    has "\"index_path\": \"$work/u-cache/Index.Dat\"" "$work/u-status.json"

    ldconfig -p >"$work/ldconfig.out"
    # (/lib is /usr/lib on a merged-/usr system.)
    grep -qE "libstowmaster\.so\.1 \(.*\) => (/usr)?/lib/$multiarch/libstowmaster\.so\.1\$" \
      "$work/ldconfig.out" || fail "ldconfig does not know the library"
    cc -std=c99 -o "$work/pc-sys" "$consumer_src/main.c" $(pkg-config --cflags --libs stowmaster)
    run_consumer "$work/files/pc-sys.img" "$work/u-log" "$work/u-cache/Index.Dat" "$work/pc-sys"
    cmake -S "$consumer_src" -B "$work/b-sys" >/dev/null
    has "stowmaster_DIR:PATH=/usr/lib/$multiarch/cmake/stowmaster" "$work/b-sys/CMakeCache.txt"
    cmake --build "$work/b-sys" >/dev/null
    run_consumer "$work/files/cmake-sys.img" "$work/u-log" "$work/u-cache/Index.Dat" \
      "$work/b-sys/consumer"
    same "$(/usr/bin/python3 -c "import stowmaster; print(stowmaster.load().path)")" \
      "/usr/lib/$multiarch/libstowmaster.so.1" "the library the Python module loaded"
    same "$(man -w 1 stowmaster) $(man -w 3 stowmaster)" \
      "/usr/share/man/man1/stowmaster.1.gz /usr/share/man/man3/stowmaster.3.gz" "man -w"

    apt-get purge -y libstowmaster1 libstowmaster-dev stowmaster python3-stowmaster \
      >"$work/apt.out" 2>&1 || fail "$(cat "$work/apt.out")"
    [ ! -e /etc/stowmaster/TESSARON.INI ] || fail "the purge left /etc/stowmaster/TESSARON.INI"
    ! ldconfig -p | grep -q libstowmaster || fail "the loader still knows the library"'
}
check "deb (sandbox): apt upgrades the earlier package, moves its settings, consumers run; purged" \
  deb_upgrade apt
check "deb (sandbox): the same with the new packages taking the earlier one's files over first" \
  deb_upgrade dpkg

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
    doc/stowmaster.3.txt bin/TESSARON.INI.example; do
    [ -f "$zip_x/$f" ] || fail "$f is not in the zip"
  done
  # The example takes no effect: no settings file of that name ships.
  [ ! -e "$zip_x/bin/TESSARON.INI" ] || fail "the zip ships a bin/TESSARON.INI"
  # Taken as a settings file, the library finds no problem in it.
  wine_to "$work/example.out" "$zip_x/bin/stowmaster.exe" \
    --settings "$(winpath "$zip_x/bin/TESSARON.INI.example")" config --json
  has '"problems": []' "$work/example.out"
  has '"value": "C:\\ProgramData\\Stowmaster\\Cache"' "$work/example.out"
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
