#!/usr/bin/env bash
# Builds and runs every test: the Linux build, the Linux build under
# AddressSanitizer/UndefinedBehaviorSanitizer and ThreadSanitizer, and the
# Windows DLL cross-built with MinGW-w64 and tested under Wine. Installs
# missing packages with apt-get.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh cmake make g++ libc6-dev libgtest-dev googletest \
  libbenchmark-dev nlohmann-json3-dev g++-mingw-w64-x86-64 wine wine64 groff-base python3 \
  python3-prometheus-client mandoc

# The manual pages: mandoc's lint has nothing to say, not even of style.
echo "==== mandoc -Tlint"
mandoc -Tlint docs/*.[1-9]

# run_preset PRESET JOBS [CTEST ARGS...]
run_preset() {
  echo "==== $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j2
  ctest --preset "$1" -j"$2" "${@:3}"
}

run_preset linux 2
run_preset linux-asan 2
# The threaded parts: the worker thread and everything that shares the index
# between threads.
run_preset linux-tsan 2 -R 'WorkThread|ProcessState|Worker|Thread|Yielding'

# Windows: a private Wine prefix, kept running for the whole test run.
export WINEPREFIX="${STOW_WINEPREFIX:-$(mktemp -d /tmp/stow-wine.XXXXXX)}"
export WINEDEBUG=-all
# No .NET or HTML engine is needed; without them wineboot asks for neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; [ -n "${STOW_WINEPREFIX:-}" ] || rm -rf "$WINEPREFIX"' EXIT
# The server goes first and stays up (-p) until the end of the run, then
# wineboot starts Wine's own services on it with its output sent nowhere.
# Started the other way round, the server that wineboot started stops once
# it is idle, the first test starts it again together with those services,
# and they keep that test's output pipe open: ctest then waits for them.
wineserver -p
wineboot -i >/dev/null 2>&1 || true
# One test at a time. Two at a time (about 80 s against 160 s) passed in two
# of four full runs on a fresh machine: once Wine's desktop process took
# over 20 s to start for rundll32 (that test now waits longer), once a test
# program could not be started, for a reason the tests now print. Until
# that is understood, CI runs them one by one.
run_preset windows 1

# The index image and the settings reader under libFuzzer, a minute each.
bash scripts/fuzz.sh 60

# The library as its users get it: the packages, an installed prefix, and
# programs built against each.
bash scripts/test-consumers.sh

