// An eviction pass that has real files to delete, against deleting the same
// files with nothing else around.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "config/settings.h"
#include "index/index_file.h"
#include "maintenance/delete_cached_file.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kDoomed = 20000;  // the oldest entries, real files
constexpr int32_t kKept = kBlockCount - kDoomed;
constexpr uint32_t kKeptSize = 1000;
constexpr uint32_t kDoomedSize = 4000;
constexpr int32_t kFilesPerFolder = 1000;
// Bytes in use: 80,000 x 1000 + 20,000 x 4000 = 160,000,000; once the 20,000
// oldest are gone, 80,000,000. With this limit the low mark is 80,002,000:
// above what remains, but within one doomed entry of it, so the pass stops
// after exactly 20,000 deletions. The high mark (120,003,000) is passed.
constexpr int64_t kLimit = 100002500;
constexpr int32_t kRegistered = 1700000000;
int64_t TenDaysLater() { return static_cast<int64_t>(kRegistered) + 10 * 86400; }

std::string DoomedPath(const std::string& folder, int32_t j) {
  char name[64];
  std::snprintf(name, sizeof(name), "/d%02d/f_%05d.bin", static_cast<int>(j / kFilesPerFolder),
                static_cast<int>(j));
  return folder + name;
}

// Creates the real files of the 20,000 oldest entries; false on failure.
bool CreateDoomedFiles(const std::string& folder, std::vector<std::string>* paths) {
  paths->clear();
  for (int32_t j = 0; j < kDoomed; ++j) {
    if (j % kFilesPerFolder == 0) {
      char sub[16];
      std::snprintf(sub, sizeof(sub), "/d%02d", static_cast<int>(j / kFilesPerFolder));
      ::mkdir((folder + sub).c_str(), 0755);
    }
    paths->push_back(DoomedPath(folder, j));
    if (!WriteFile(paths->back(), 64)) return false;
  }
  return true;
}

// range(0): 0 ShrinkCache deleting through DeleteCachedFile (the library's
// own deletion: log lines, emptied folders removed); 1 ShrinkCache with a
// callback that only unlinks; 2 unlink() of the same files, no index.
void BM_EvictionPass(benchmark::State& state) {
  const int64_t variant = state.range(0);
  TempDir dir;
  const std::string folder = dir.Join("cache");
  ::mkdir(folder.c_str(), 0755);
  // The library's log goes to this folder.
  const std::string ini = dir.Join("TESSARON.INI");
  if (!WriteSettingsFile(ini, folder, dir.path())) {
    state.SkipWithError("cannot write the settings file");
    return;
  }
  SetSettingsFileForTesting(ini);
  std::unique_ptr<IndexFile> index;
  if (variant != 2) {
    index = std::make_unique<IndexFile>(dir.Join("Index.Dat"), MakeSettings(kLimit, 20, 900));
    index->SetClockForTesting(&TenDaysLater);
  }
  state.SetLabel(variant == 0   ? "ShrinkCache + DeleteCachedFile"
                 : variant == 1 ? "ShrinkCache + unlink only"
                                : "unlink() alone");
  std::vector<std::string> paths;
  int64_t unlinked = 0;
  const RemoveFileFn unlink_only = [&](const char* path) {
    ++unlinked;
    return ::unlink(path) == 0;
  };

  for (auto _ : state) {
    if (!CreateDoomedFiles(folder, &paths)) {
      state.SkipWithError("cannot create the files");
      break;
    }
    if (index != nullptr) {
      FillIndex(*index, kBlockCount, BlockOrder::kFill, [&](int32_t pos, ImageFileBlock* b) {
        b->AccessTime = kRegistered;
        if (pos < kKept) {
          std::snprintf(b->ImageFileName, sizeof(b->ImageFileName), "%s/kept_%06d.bin",
                        folder.c_str(), static_cast<int>(pos));
          b->FileSize = kKeptSize;
        } else {
          // The tail is the oldest: the first to go.
          std::snprintf(b->ImageFileName, sizeof(b->ImageFileName), "%s",
                        DoomedPath(folder, kBlockCount - 1 - pos).c_str());
          b->FileSize = kDoomedSize;
        }
      });
      if (index->CheckAndRepair()) {
        state.SkipWithError("the filled index is not consistent");
        break;
      }
    }

    std::chrono::duration<double> elapsed{};
    {
      // The library echoes each log line's path to stdout.
      StdoutSilencer quiet;
      const auto start = Clock::now();
      if (variant == 0) {
        index->ShrinkCache(DeleteCachedFile);
      } else if (variant == 1) {
        index->ShrinkCache(unlink_only);
      } else {
        for (const std::string& p : paths) ::unlink(p.c_str());
      }
      elapsed = Clock::now() - start;
    }
    state.SetIterationTime(elapsed.count());

    bool ok =
        ::access(paths.front().c_str(), F_OK) != 0 && ::access(paths.back().c_str(), F_OK) != 0;
    if (index != nullptr) {
      ok = ok && index->header()->TotalFileCount == kKept &&
           index->header()->CacheSize == static_cast<int64_t>(kKept) * kKeptSize;
    }
    if (!ok) {
      state.SkipWithError("the pass did not delete exactly the 20,000 oldest files");
      break;
    }
  }
  if (variant == 1 && unlinked != kDoomed * state.iterations()) {
    state.SkipWithError("the pass visited other entries than the 20,000 oldest");
  }
  SetSettingsFileForTesting("");
  state.counters["deleted/s"] =
      benchmark::Counter(static_cast<double>(kDoomed) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EvictionPass)
    ->ArgName("variant")
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace stow
