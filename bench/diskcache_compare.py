#!/usr/bin/python3
"""The same registrations against the Python disk cache from the machine's
packages (python3-diskcache), for comparison with stow_bench's
BM_ApiRegistration: a cache holding 1,000, 10,000 or 99,000 keys (file
paths), then new keys and refreshes of keys at random places, one call at
a time. Prints the median and 99th percentile of one call in microseconds."""
import random
import shutil
import tempfile
import time

import diskcache

CALLS = 990


def measure(cache, keys):
    times = []
    for key in keys:
        start = time.perf_counter()
        cache.set(key, 4096)
        times.append((time.perf_counter() - start) * 1e6)
    times.sort()
    return times[len(times) // 2], times[len(times) * 99 // 100]


def main():
    rng = random.Random(7)
    print(f"{'entries':>8} {'case':>9} {'p50 us':>8} {'p99 us':>8}")
    for entries in (1000, 10000, 99000):
        folder = tempfile.mkdtemp(prefix="diskcache_bench_")
        try:
            with diskcache.Cache(folder, size_limit=2**40) as cache:
                with cache.transact():
                    for pos in range(entries):
                        cache.set(f"/var/cache/app/data/file_{pos:06d}.bin", 4096 + pos % 1000)
                new = [f"/var/cache/app/data/new_{k}.bin" for k in range(CALLS)]
                listed = [f"/var/cache/app/data/file_{rng.randrange(entries):06d}.bin"
                          for _ in range(CALLS)]
                for case, keys in (("new file", new), ("refresh", listed)):
                    p50, p99 = measure(cache, keys)
                    print(f"{entries:>8} {case:>9} {p50:>8.1f} {p99:>8.1f}")
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
