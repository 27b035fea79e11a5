#!/usr/bin/env bash
# Builds the Linux library and runs the example client: a few files are
# registered in a temporary cache folder whose settings file lies beside a
# copy of the library, then the log lines, the index dump and the cache's
# status are shown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" cmake make g++ libc6-dev
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lib" "$work/cache" "$work/log" "$work/files/1.2.3"
cp "$root/build/release/bin/libstowmaster.so.1" "$work/lib/libstowmaster.so"
cat > "$work/lib/TESSARON.INI" <<INI
[Cache]
CacheDir=$work/cache/
FileFolders=$work/files
CacheSize=50
Precision=20
Delay=5
[Log]
LogPath=$work/log
INI
head -c 1000 /dev/urandom > "$work/files/a.img"
head -c 20000 /dev/urandom > "$work/files/1.2.3/b.img"
head -c 300000 /dev/urandom > "$work/files/1.2.3/c.img"

echo "== settings file $work/lib/TESSARON.INI"
cat "$work/lib/TESSARON.INI"
echo "== client run"
(cd "$work/files" && "$root/build/release/bin/example_client" "$work/lib/libstowmaster.so" \
  a.img 1.2.3/b.img "$work/files/1.2.3/c.img" a.img missing.img)
echo
echo "== log"
cat "$work"/log/*.LOG
echo "== index dump $work/cache/Index.Dmp"
cat "$work/cache/Index.Dmp"
echo "== stowmaster status"
"$root/build/release/bin/stowmaster" --library "$work/lib/libstowmaster.so" status
