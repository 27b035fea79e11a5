#!/usr/bin/env bash
# Builds the release packages: the Debian packages from debian/ with
# dpkg-buildpackage and debhelper (libstowmaster1, libstowmaster-dev,
# stowmaster, python3-stowmaster and their -dbgsym), checked with lintian,
# and the zip from the Windows `windows-release` build (cross-built with
# MinGW-w64). Installs missing packages with apt-get.
#
# Prints lintian's findings, then the paths of the packages, one a line:
# the .deb files, and last the .zip. Exits non-zero when a build fails or
# lintian reports an error or a warning.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# groff renders the man pages as text for the zip; gzip compresses them for
# the .deb; debhelper, dh-python and lintian build and check the .debs.
bash scripts/install-deps.sh cmake make g++ libc6-dev dpkg-dev debhelper dh-python python3 \
  lintian g++-mingw-w64-x86-64 groff-base gzip

# ------------------------------------------------------------- Debian ----
# dpkg-buildpackage writes its packages into the folder above the tree it
# builds, so it builds a copy of the tree in build/debian/source, without
# this tree's own builds, and the packages land in build/debian.
echo "==== debian" >&2
debian_out="$root/build/debian"
rm -rf "$debian_out"
mkdir -p "$debian_out/source"
tar -C "$root" --exclude-vcs --exclude=./build --exclude=./python/build \
  --exclude='./python/*.egg-info' --exclude='__pycache__' -cf - . |
  tar -C "$debian_out/source" -xf -
(cd "$debian_out/source" &&
  DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} parallel=2" dpkg-buildpackage -b -us -uc \
    >"$debian_out/build.log" 2>&1) || {
  tail -n 80 "$debian_out/build.log" >&2
  echo "package: dpkg-buildpackage failed; its log: $debian_out/build.log" >&2
  exit 1
}
changes=$(ls "$debian_out"/stowmaster_*.changes)
# Every tag lintian knows, the pedantic and experimental ones included; an
# error or a warning fails the build. The rest are fixed or overridden with
# a reason in debian/*.lintian-overrides.
echo "==== lintian" >&2
lintian --display-info --pedantic --display-experimental --fail-on error,warning "$changes" >&2 || {
  echo "package: lintian reports errors or warnings" >&2
  exit 1
}

# ------------------------------------------------------------ Windows ----
echo "==== windows-release" >&2
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release -j2 >/dev/null
out=$(cd build/windows-release && cpack 2>&1) || { echo "$out" >&2; exit 1; }
zip=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$out")
if [ -z "$zip" ] || [ ! -f "$zip" ]; then
  echo "$out" >&2
  echo "package: cpack made no zip" >&2
  exit 1
fi

ls "$debian_out"/*.deb
echo "$zip"
