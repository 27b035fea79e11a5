#!/usr/bin/env bash
# Builds the two release packages: the Debian package from the Linux
# `release` build and the zip from the Windows `windows-release` build
# (cross-built with MinGW-w64). Installs missing packages with apt-get.
# The last two lines printed are the paths of the .deb and the .zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# groff renders the man pages as text for the zip; gzip compresses them for
# the .deb.
bash scripts/install-deps.sh cmake make g++ libc6-dev dpkg-dev g++-mingw-w64-x86-64 groff-base \
  gzip

# Builds a preset and packages it; sets `package` to the file cpack made.
build_package() {
  echo "==== $1" >&2
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j2 >/dev/null
  local out
  out=$(cd "build/$1" && cpack 2>&1) || { echo "$out" >&2; return 1; }
  package=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$out")
  if [ -z "$package" ] || [ ! -f "$package" ]; then
    echo "$out" >&2
    echo "package: cpack made no package for $1" >&2
    return 1
  fi
}

build_package release
deb=$package
build_package windows-release
zip=$package
echo "$deb"
echo "$zip"
