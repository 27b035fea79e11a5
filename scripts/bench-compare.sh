#!/usr/bin/env bash
# Runs the registration benchmarks and, in the same run, the same
# registrations against the Python disk cache from the machine's packages;
# then prints the table of registration cost by cache regime
# (scripts/bench-regimes.sh; its refused regime needs root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh cmake make g++ libbenchmark-dev python3-diskcache
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target stow_bench
echo "==== stowmaster"
build/linux/bin/stow_bench \
  --benchmark_filter='BM_ApiRegistration|BM_PlainWalkLookup|BM_FourProcesses|BM_RegistrationDuringPass' \
  2>/dev/null | grep -E '^BM_|^Benchmark'
echo "==== python3-diskcache"
/usr/bin/python3 bench/diskcache_compare.py
echo "==== registration by cache regime"
bash scripts/bench-regimes.sh 2>/dev/null
