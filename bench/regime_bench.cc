// The cost of one registration through the entry point in a process without
// a worker thread, where the eviction pass runs inline after every
// registration, by the state the cache is in:
//   regime 0: below the high mark, so that no pass runs;
//   regime 1: over the high mark with every entry younger than the minimum
//             age, so that a pass can delete nothing;
//   regime 2: over the high mark with every entry old enough but its file
//             outside the cache folders, which a root process refuses to
//             delete (one "Delete File Refused" log line each).
// Each case lists `entries` churned entries (100,000: the index is full),
// then registers a new file, or refreshes a listed file at a random place,
// again and again. A case stops after kRegistrations registrations or once
// they have taken the time budget (STOW_REGIME_BUDGET_S seconds, default
// 20), whichever comes first; measured_regs says how many were measured.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "bench_support.h"
#include "config/settings.h"
#include "index/index_file.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

enum Regime : int64_t { kBelowHighMark = 0, kNothingOldEnough = 1, kEveryDeletionRefused = 2 };

constexpr int kRegistrations = 500;
// Bytes listed in the index, shared evenly by the entries (the files on
// disk are smaller or empty: a pass goes by the sizes in the index).
constexpr int64_t kListedBytes = 70000000;
// CacheSize in MiB: 50 puts the marks at 60 and 40 MiB, below and above
// kListedBytes; 204800 (the largest allowed) keeps every case below.
constexpr int kOverLimitMiB = 50;
constexpr int kBelowLimitMiB = 204800;
// The settings file gives Delay in minutes: a minimum age of 3600 s.
constexpr int kMinimumAgeMinutes = 60;
// Registration time of old entries: a day and more before now.
constexpr int32_t kOldAgeSeconds = 100000;
constexpr size_t kNewFileSize = 4096;
// In every regime the files of this many of the oldest entries exist, so
// that a pass that does delete in regime 0 or 1 deletes real files.
constexpr int32_t kOldestOnDisk = 2 * kRegistrations;

double BudgetSeconds() {
  const char* text = std::getenv("STOW_REGIME_BUDGET_S");
  const double seconds = text != nullptr ? std::atof(text) : 0;
  return seconds > 0 ? seconds : 20;
}

// Bytes in the regular files of `folder` (the day's log, and the next
// day's should the run pass midnight).
int64_t FolderBytes(const std::string& folder) {
  int64_t total = 0;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  while (const dirent* e = ::readdir(dir)) {
    struct stat st;
    const std::string path = folder + "/" + e->d_name;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += st.st_size;
  }
  ::closedir(dir);
  return total;
}

// A case's folders and settings file: the cache (CacheDir), data/
// (FileFolders: new files, and the listed ones unless the regime wants them
// refused), outside/ (neither: listed files a root process may not delete)
// and the log folder, measured on its own.
struct Case {
  TempDir dir;
  std::string cache = dir.Join("cache");
  std::string data = dir.Join("data");
  std::string outside = dir.Join("outside");
  std::string logs = dir.Join("log");
  std::string index_path = cache + "/Index.Dat";
  CaseSettings settings;

  explicit Case(int limit_mib)
      : settings(dir, cache, data, limit_mib, kMinimumAgeMinutes, logs) {
    for (const std::string* folder : {&cache, &data, &outside, &logs}) {
      ::mkdir(folder->c_str(), 0755);
    }
  }
};

std::string EntryPath(const std::string& folder, int32_t pos) {
  char name[kFileNameSize];
  std::snprintf(name, sizeof(name), "%s/file_%06d.bin", folder.c_str(), static_cast<int>(pos));
  return name;
}

const char* RegimeLabel(int64_t regime) {
  switch (regime) {
    case kBelowHighMark:
      return "below the high mark";
    case kNothingOldEnough:
      return "over the high mark, nothing old enough";
    default:
      return "over the high mark, every deletion refused";
  }
}

// range(0): the regime; range(1): entries listed; range(2): 0 a new file
// each time, 1 a refresh of a listed file at a random place in the list.
void BM_RegistrationRegime(benchmark::State& state) {
  const int64_t regime = state.range(0);
  const int32_t entries = static_cast<int32_t>(state.range(1));
  const bool refresh = state.range(2) == 1;
  state.SetLabel(std::string(RegimeLabel(regime)) + (refresh ? ", refresh" : ", new file"));
  if (regime == kEveryDeletionRefused && ::geteuid() != 0) {
    state.SkipWithError(
        "needs root: only a root process refuses to delete outside the cache folders");
    return;
  }

  Case c(regime == kBelowHighMark ? kBelowLimitMiB : kOverLimitMiB);
  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  const uint32_t entry_size = static_cast<uint32_t>(kListedBytes / entries);
  const std::string& folder = regime == kEveryDeletionRefused ? c.outside : c.data;
  const int32_t registered = regime == kNothingOldEnough ? now : now - kOldAgeSeconds;
  try {
    IndexFile index(c.index_path, MakeSettings(static_cast<int64_t>(kOverLimitMiB) << 20, 20,
                                               kMinimumAgeMinutes * 60));
    FillIndex(index, entries, BlockOrder::kShuffled, [&](int32_t pos, ImageFileBlock* block) {
      std::snprintf(block->ImageFileName, sizeof(block->ImageFileName), "%s",
                    EntryPath(folder, pos).c_str());
      block->FileSize = entry_size;
      block->AccessTime = registered;
    });
    // Builds the shared lookup table, so that the first measured
    // registration does not (a refresh of the head, which stays in place).
    index.AddFile(MakeRecord(EntryPath(folder, 0), entry_size), 0);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const int32_t first_on_disk =
      regime == kEveryDeletionRefused ? 0 : std::max(0, entries - kOldestOnDisk);
  for (int32_t pos = first_on_disk; pos < entries; ++pos) {
    WriteFile(EntryPath(folder, pos), 0);
  }

  std::vector<std::string> files;
  std::mt19937 random(7);
  for (int k = 0; k < kRegistrations; ++k) {
    if (refresh) {
      // The listed size, so that refreshes leave the total where it is.
      files.push_back(EntryPath(folder, static_cast<int32_t>(random() % entries)));
      WriteFile(files.back(), entry_size);
    } else {
      files.push_back(c.data + "/new_" + std::to_string(k) + ".bin");
      WriteFile(files.back(), kNewFileSize);
    }
  }

  const double budget_us = BudgetSeconds() * 1e6;
  std::vector<double> us;
  int refused = 0;
  int64_t log_bytes = 0;
  {
    StdoutSilencer quiet;
    if (api::Initialize(0) != 1) {
      api::UnInitialize();
      state.SkipWithError("initialisation failed");
      return;
    }
    const int64_t log_before = FolderBytes(c.logs);
    for (auto _ : state) {
      double spent = 0;
      for (const std::string& file : files) {
        if (spent >= budget_us) break;
        const auto start = Clock::now();
        const int32_t ok = api::AddFileA(file.c_str(), 0);
        const auto stop = Clock::now();
        us.push_back(Micros(start, stop));
        spent += us.back();
        if (ok != 1) ++refused;
      }
      state.SetIterationTime(spent / 1e6);
    }
    log_bytes = FolderBytes(c.logs) - log_before;
    api::UnInitialize();
  }

  const Percentiles p = ComputePercentiles(us);
  state.counters["p50_us"] = p.p50;
  state.counters["p99_us"] = p.p99;
  state.counters["mean_us"] =
      us.empty() ? 0 : std::accumulate(us.begin(), us.end(), 0.0) / static_cast<double>(us.size());
  state.counters["max_us"] = us.empty() ? 0 : *std::max_element(us.begin(), us.end());
  state.counters["measured_regs"] = static_cast<double>(us.size());
  state.counters["refused_regs"] = refused;
  state.counters["log_bytes_per_reg"] =
      us.empty() ? 0 : static_cast<double>(log_bytes) / static_cast<double>(us.size());
}
BENCHMARK(BM_RegistrationRegime)
    ->ArgNames({"regime", "entries", "refresh"})
    ->ArgsProduct({{kBelowHighMark, kNothingOldEnough, kEveryDeletionRefused},
                   {1000, 10000, 99000, kBlockCount},
                   {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace stow
