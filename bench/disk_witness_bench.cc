// The disk as a second witness: how long the check of the listed files and
// the disk usage take on a large index, and the longest hold of the index
// lock meanwhile (what a registration of another process may wait).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "api/extension.h"
#include "bench_support.h"
#include "hold_timing.h"
#include "platform/platform.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// A file of `size` bytes that takes no room: a hole.
bool SparseFile(const std::string& path, off_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::ftruncate(fd, size) == 0;
  return ::close(fd) == 0 && ok;
}

// range(0): entries listed. range(1): 0 the check of the files, every file
// as listed; 1 the check with repair, every file missing (each entry is
// dropped; the index is filled again before each run); 2 the disk usage of
// the cache folder holding every listed file.
void BM_DiskWitness(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  const int64_t variant = state.range(1);
  state.SetLabel(variant == 0 ? "check files" : variant == 1 ? "check files, repair all" : "usage");
  TempDir dir;
  const std::string cache = dir.Join("cache");
  const std::string files = cache + "/files";
  ::mkdir(cache.c_str(), 0755);
  ::mkdir(files.c_str(), 0755);
  CaseSettings settings(dir, cache, files, 200, 15, dir.path());
  StdoutSilencer quiet;
  HoldTimingEnv hold;
  const int32_t now = static_cast<int32_t>(platform::env().NowSeconds());
  std::unique_ptr<IndexFile> index(
      new IndexFile(cache + "/Index.Dat", MakeSettings(200LL << 20, 20, 900)));
  // Filled behind its back, the lookup table is stale: rebuilt here, as the
  // first registration after such a change would, so that the walks go on
  // between batches as they do in a cache in use.
  const auto fill = [&] {
    FillIndex(*index, n, BlockOrder::kFill, PlainEntries(files, now));
    index->RepairEntries(nullptr, 0);
    index->Flush();
  };
  if (variant != 1) {
    fill();
    for (int32_t i = 0; i < n; ++i) {
      const std::string path = files + "/file_" + std::to_string(i) + ".bin";
      if (!SparseFile(path, 4096 + (i % 1000))) {
        state.SkipWithError("cannot make the files");
        return;
      }
    }
  }
  double longest = 0;
  for (auto _ : state) {
    if (variant == 1) {
      state.PauseTiming();
      fill();
      state.ResumeTiming();
    }
    hold.Reset();
    const auto start = Clock::now();
    int32_t rc = 0;
    if (variant == 2) {
      StowmasterDiskUsage u = {};
      u.size = sizeof(u);
      rc = api::GetDiskUsage(&u);
      // Every listed file, Index.Dat and Index.Lkp.
      if (u.files != n + 2) state.SkipWithError("usage miscounted");
    } else {
      StowmasterFilesReport r = {};
      r.size = sizeof(r);
      rc = api::CheckFiles(variant == 1 ? 1 : 0, &r, nullptr, nullptr);
      if (r.checked != n || r.repaired != (variant == 1 ? n : 0)) {
        state.SkipWithError("check miscounted");
        break;
      }
    }
    const std::chrono::duration<double> d = Clock::now() - start;
    state.SetIterationTime(d.count());
    longest = std::max(longest, hold.wall_ms());
    if (rc != STOWMASTER_OK && rc != STOWMASTER_FILES_DIFFER) state.SkipWithError("failed");
  }
  state.counters["longest_hold_ms"] = longest;
}

BENCHMARK(BM_DiskWitness)
    ->ArgNames({"entries", "op"})
    ->ArgsProduct({{5000, 99000}, {0, 1, 2}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace stow
