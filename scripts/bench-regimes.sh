#!/usr/bin/env bash
# Builds stow_bench, runs BM_RegistrationRegime and prints its figures as one
# markdown table: registration cost by cache regime and number of entries,
# a new file and a refresh, the ratios of the p50, p99 and mean to those below the high
# mark (same entries, same run; the full index against 99,000 entries), and
# the log bytes each registration adds.
#
# Usage: scripts/bench-regimes.sh [--from FILE.json] [stow_bench flags...]
#   --from FILE.json  print the table of an earlier run instead of running
#   other flags       passed to stow_bench (a later --benchmark_filter wins)
# Each run's JSON is kept in build/linux/regime_bench.json. The time budget
# per case is STOW_REGIME_BUDGET_S seconds (default 20). Regime 2 needs root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

json=""
if [ "${1:-}" = "--from" ]; then
  json=${2:?"--from needs a file"}
  shift 2
fi

if [ -z "$json" ]; then
  bash scripts/install-deps.sh cmake make g++ libbenchmark-dev python3 >&2
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j2 --target stow_bench >&2
  json=build/linux/regime_bench.json
  # The console output goes to stderr as the run goes; the table is built
  # from the JSON file.
  build/linux/bin/stow_bench --benchmark_filter='^BM_RegistrationRegime/' \
    --benchmark_out="$json" --benchmark_out_format=json "$@" >&2
fi

/usr/bin/python3 - "$json" <<'EOF'
import json
import re
import sys

REGIMES = {
    0: "below the high mark",
    1: "over, nothing old enough",
    2: "over, every deletion refused",
}

with open(sys.argv[1]) as f:
    data = json.load(f)

runs = {}  # (regime, entries, refresh) -> run
for run in data.get("benchmarks", []):
    m = re.match(r"BM_RegistrationRegime/regime:(\d+)/entries:(\d+)/refresh:(\d+)", run["name"])
    if m:
        runs[tuple(int(x) for x in m.groups())] = run


def us(v):
    if v >= 1e6:
        return f"{v / 1e6:.1f} s"
    if v >= 1e3:
        return f"{v / 1e3:.1f} ms"
    return f"{v:.1f} µs"


def times(run):
    if run is None:
        return "–"
    if run.get("error_occurred"):
        return "skipped: " + run.get("error_message", "")
    return f"{us(run['p50_us'])} / {us(run['p99_us'])} / {us(run.get('mean_us', 0))}"


def ratio(run, base):
    if run is None or base is None or run.get("error_occurred") or base.get("error_occurred"):
        return "–"
    if base["p50_us"] <= 0 or base["p99_us"] <= 0:
        return "–"
    def x(r):
        return f"×{r:,.0f}" if r >= 100 else f"×{r:.1f}"
    text = f"{x(run['p50_us'] / base['p50_us'])}, {x(run['p99_us'] / base['p99_us'])}"
    if base.get("mean_us"):
        text += f", {x(run['mean_us'] / base['mean_us'])}"
    return text


def field(run, name, fmt):
    if run is None or run.get("error_occurred"):
        return "–"
    return fmt(run[name])


def measured(run):
    if run is None or run.get("error_occurred"):
        return "–"
    text = f"{run['measured_regs']:.0f}"
    if run["refused_regs"]:
        text += f" ({run['refused_regs']:.0f} refused)"
    return text


print("| regime | entries | new p50 / p99 / mean | refresh p50 / p99 / mean "
      "| ratio p50, p99, mean to below the high mark (new / refresh) "
      "| log bytes per registration (new / refresh) | measured (new / refresh) |")
print("|---|---:|---:|---:|---:|---:|---:|")
for regime, entries in sorted({(k[0], k[1]) for k in runs}):
    new, ref = runs.get((regime, entries, 0)), runs.get((regime, entries, 1))
    # The ceiling is compared with the cache below its high mark and not
    # full (99,000 entries): making room is part of its cost.
    base_entries = 99000 if entries == 100000 else entries
    base_new, base_ref = runs.get((0, base_entries, 0)), runs.get((0, base_entries, 1))
    log = lambda r: field(r, "log_bytes_per_reg", lambda v: f"{v:,.0f}")
    print(f"| {regime} {REGIMES.get(regime, '?')} | {entries:,} | {times(new)} | {times(ref)} "
          f"| {ratio(new, base_new)} / {ratio(ref, base_ref)} "
          f"| {log(new)} / {log(ref)} | {measured(new)} / {measured(ref)} |")
EOF
