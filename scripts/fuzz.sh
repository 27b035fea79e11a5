#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time from its seed
# corpus. A crash, a sanitizer report or a broken invariant fails the run.
# Usage: fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
bash scripts/install-deps.sh cmake make clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target index_image_fuzzer settings_fuzzer
work=$(mktemp -d /tmp/stow-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Every artifact the fuzzer writes (a crash, a leak, a time-out, an input
# that ran out of memory or ran slowly) lands in build/fuzz/findings, never
# in the checkout.
findings="$root/build/fuzz/findings"
mkdir -p "$findings"
for target in index_image settings; do
  mkdir -p "$work/$target"
  cp fuzz/corpus/$target/* "$work/$target/"
  echo "==== fuzz $target for ${seconds}s"
  # libFuzzer reports on standard error, kept in the log; the harnesses
  # print nothing on standard output.
  (cd "$work" && "$root/build/fuzz/bin/${target}_fuzzer" -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work/$target" >/dev/null) \
    2>"$work/$target.log" || {
    tail -40 "$work/$target.log"
    echo "fuzz $target: FAILED (the input is in build/fuzz/findings)"
    exit 1
  }
  grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec|^Done" "$work/$target.log" || true
done
