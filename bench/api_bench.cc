// What a client waits for when it registers a file: the whole entry-point
// path in a process without a worker thread (path checks, the file's size,
// the index, the log line, the inline pass), against the index call alone.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "bench_support.h"
#include "config/log.h"
#include "config/settings.h"
#include "index/index_file.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCalls = 20000;

bool WriteSettings(const TempDir& dir, const std::string& log_folder) {
  return WriteSettingsFile(dir.Join("TESSARON.INI"), dir.Join("cache"), log_folder);
}

void ReportLatencies(benchmark::State& state, const std::vector<double>& ns) {
  const Percentiles p = ComputePercentiles(ns);
  state.counters["p50_ns"] = p.p50;
  state.counters["p99_ns"] = p.p99;
}

// range(0): 0 through stow::api, log in an existing folder; 1 through
// stow::api, log folder missing (the log file cannot be opened); 2
// IndexFile::AddFile alone; 3 through stow::api in a process with a worker
// thread, where a registration runs no pass at all (set against 0, the cost
// of the inline pass).
void BM_RegisterRefresh(benchmark::State& state) {
  const int64_t variant = state.range(0);
  TempDir dir;
  const std::string cache = dir.Join("cache");
  const std::string data = cache + "/data.bin";
  std::vector<double> ns;
  ns.reserve(kCalls);
  state.SetLabel(variant == 0   ? "api, log written"
                 : variant == 1 ? "api, log folder missing"
                 : variant == 2 ? "IndexFile::AddFile only"
                                : "api, log written, no inline pass (threaded)");

  if (variant == 2) {
    ::mkdir(cache.c_str(), 0755);
    IndexFile index(cache + "/Index.Dat", MakeSettings(200LL << 20, 20, 900));
    const FileRecord record = MakeRecord(data, 4096);
    if (!WriteFile(data, 4096) || !index.AddFile(record, 0)) {
      state.SkipWithError("setup failed");
      return;
    }
    for (auto _ : state) {
      const auto start = Clock::now();
      const bool ok = index.AddFile(record, 0);
      const auto stop = Clock::now();
      const std::chrono::duration<double> d = stop - start;
      state.SetIterationTime(d.count());
      ns.push_back(d.count() * 1e9);
      if (!ok) state.SkipWithError("refresh failed");
    }
    ReportLatencies(state, ns);
    return;
  }

  if (!WriteSettings(dir, variant == 1 ? dir.Join("no_such_folder") : dir.path())) {
    state.SkipWithError("cannot write the settings file");
    return;
  }
  SetSettingsFileForTesting(dir.Join("TESSARON.INI"));
  {
    // The library echoes each log line's path to stdout.
    StdoutSilencer quiet;
    if (api::Initialize(variant == 3 ? 1 : 0) != 1 || !WriteFile(data, 4096) ||
        api::AddFileA(data.c_str(), 0) != 1) {
      state.SkipWithError("setup failed");
    } else {
      for (auto _ : state) {
        const auto start = Clock::now();
        const int32_t ok = api::AddFileA(data.c_str(), 0);
        const auto stop = Clock::now();
        const std::chrono::duration<double> d = stop - start;
        state.SetIterationTime(d.count());
        ns.push_back(d.count() * 1e9);
        if (ok != 1) state.SkipWithError("registration failed");
      }
    }
    api::UnInitialize();
  }
  SetSettingsFileForTesting("");
  if (api::ReferenceCount() != 0) state.SkipWithError("the library was left initialised");
  ReportLatencies(state, ns);
}
BENCHMARK(BM_RegisterRefresh)
    ->ArgName("variant")
    ->DenseRange(0, 3)
    ->UseManualTime()
    ->Iterations(kCalls)
    ->Unit(benchmark::kMicrosecond);

// One log line alone, as a registration writes it: range(0) 0 into an
// existing folder, 1 with the log folder missing.
void BM_LogLine(benchmark::State& state) {
  const int64_t variant = state.range(0);
  TempDir dir;
  if (!WriteSettings(dir, variant == 0 ? dir.path() : dir.Join("no_such_folder"))) {
    state.SkipWithError("cannot write the settings file");
    return;
  }
  state.SetLabel(variant == 0 ? "log written" : "log folder missing");
  const std::string data = dir.Join("cache/data.bin");
  SetSettingsFileForTesting(dir.Join("TESSARON.INI"));
  {
    StdoutSilencer quiet;
    for (auto _ : state) WriteLogBufferToFile("New File To Cache: %s.\n", data.c_str());
  }
  SetSettingsFileForTesting("");
}
BENCHMARK(BM_LogLine)->ArgName("variant")->DenseRange(0, 1)->Iterations(kCalls);

// The settings file is read afresh for every value: what one read costs (each
// log line reads "LogPath" so).
void BM_ReadSetting(benchmark::State& state) {
  TempDir dir;
  if (!WriteSettings(dir, dir.path())) {
    state.SkipWithError("cannot write the settings file");
    return;
  }
  SetSettingsFileForTesting(dir.Join("TESSARON.INI"));
  char value[kPathBufferSize];
  for (auto _ : state) {
    GetConfigurationString("Log", "LogPath", kDefaultLogPath, value, sizeof(value));
    if (dir.path() != value) state.SkipWithError("wrong value read");
  }
  SetSettingsFileForTesting("");
}
BENCHMARK(BM_ReadSetting)->Iterations(kCalls);

}  // namespace
}  // namespace bench
}  // namespace stow
