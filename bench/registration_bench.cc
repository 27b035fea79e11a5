// A registration as a client sees it, on indexes whose valid list has been
// churned (block order shuffled, as refreshes and reused blocks leave it):
// through the entry point in a process with a worker thread (no inline
// pass), next to the plain list walk the lookup table replaces; four
// processes registering at once; and the wait of a registration while
// another process's pass deletes 20,000 files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "bench_support.h"
#include "config/settings.h"
#include "index/index_file.h"
#include "index/lookup.h"
#include "maintenance/delete_cached_file.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 2000;
// Registrations measured per case: as many new files as a 99,000-entry
// index still has room for.
constexpr int kNewFilesAt99000 = 990;

// A cache folder whose settings allow the largest cache (no pass deletes
// anything) unless `limit_mib` says otherwise, with the log beside it.
struct Setup {
  TempDir dir;
  std::string cache = dir.Join("cache");
  std::string data = dir.Join("data");
  std::string index_path = cache + "/Index.Dat";
  CaseSettings settings;
  explicit Setup(int limit_mib = 204800)
      : settings(dir, cache, data, limit_mib, 5, dir.path()) {
    ::mkdir(cache.c_str(), 0755);
    ::mkdir(data.c_str(), 0755);
  }
  // The index with `n` churned entries naming files in data/.
  void Fill(int32_t n) {
    IndexFile index(index_path, MakeSettings(204800LL << 20, 20, 300));
    FillIndex(index, n, BlockOrder::kShuffled,
              PlainEntries(data, static_cast<int32_t>(std::time(nullptr))));
  }
  // Writes both files back, as the system's writeback leaves an index at
  // rest within half a minute of its last change (and a sync within a
  // second): every page clean again, so that the next write to each page
  // faults, in every process that maps it, whichever release wrote it.
  void WriteBack() const {
    for (const char* name : {"/Index.Dat", "/Index.Lkp"}) {
      const int fd = ::open((cache + name).c_str(), O_RDWR);
      if (fd < 0) continue;
      (void)::fsync(fd);
      ::close(fd);
    }
  }
  // Creates the file of entry `pos` of the list (as PlainEntries names it).
  std::string EntryFile(int32_t pos) {
    char name[kFileNameSize];
    std::snprintf(name, sizeof(name), "%s/file_%06d.bin", data.c_str(), static_cast<int>(pos));
    WriteFile(name, 4096 + static_cast<size_t>(pos % 1000));
    return name;
  }
};

void Report(benchmark::State& state, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  if (us.empty()) return;
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["max_us"] = us.back();
}

// range(0): entries listed; range(1): 0 a new file, 1 a refresh of a listed
// file at a random place in the list.
void BM_ApiRegistration(benchmark::State& state) {
  const int32_t entries = static_cast<int32_t>(state.range(0));
  const bool refresh = state.range(1) == 1;
  Setup setup;
  setup.Fill(entries);
  std::vector<std::string> files;
  std::mt19937 random(7);
  // New files stop short of a full index (100,000 entries).
  const int calls = refresh ? kCalls : std::min(kCalls, kBlockCount - entries - 10);
  for (int k = 0; k < calls; ++k) {
    if (refresh) {
      files.push_back(setup.EntryFile(static_cast<int32_t>(random() % entries)));
    } else {
      files.push_back(setup.data + "/new_" + std::to_string(k) + ".bin");
      WriteFile(files.back(), 5000);
    }
  }
  std::vector<double> us;
  StdoutSilencer quiet;
  if (api::Initialize(1) != 1 || api::AddFileA(setup.EntryFile(0).c_str(), 0) != 1) {
    state.SkipWithError("setup failed");
  } else {
    // Measured on an index at rest: opened (a stale table rebuilt, which
    // may touch every page), then written back.
    setup.WriteBack();
    size_t k = 0;
    // Page faults of the measured registrations (all threads): a write to a
    // page of the index or table that the last sync left clean faults.
    struct rusage before;
    ::getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) {
      const auto start = Clock::now();
      const int32_t ok = api::AddFileA(files[k++ % files.size()].c_str(), 0);
      const auto stop = Clock::now();
      state.SetIterationTime(Micros(start, stop) / 1e6);
      us.push_back(Micros(start, stop));
      if (ok != 1) state.SkipWithError("registration failed");
    }
    struct rusage after;
    ::getrusage(RUSAGE_SELF, &after);
    if (!us.empty()) {
      state.counters["faults_per_reg"] =
          static_cast<double>(after.ru_minflt - before.ru_minflt) / static_cast<double>(us.size());
    }
  }
  api::UnInitialize();
  state.SetLabel(refresh ? "refresh" : "new file");
  Report(state, us);
}
BENCHMARK(BM_ApiRegistration)
    ->ArgNames({"entries", "refresh"})
    ->ArgsProduct({{1000, 10000, 99000}, {0, 1}})
    ->UseManualTime()
    ->Iterations(kNewFilesAt99000)
    ->Unit(benchmark::kMicrosecond);

// The plain walk from the head that the lookup table replaced, for the same
// questions, on the index alone (no entry point, no log line).
void BM_PlainWalkLookup(benchmark::State& state) {
  const int32_t entries = static_cast<int32_t>(state.range(0));
  const bool refresh = state.range(1) == 1;
  Setup setup;
  setup.Fill(entries);
  IndexFile index(setup.index_path, MakeSettings(204800LL << 20, 20, 300));
  std::mt19937 random(7);
  std::vector<double> us;
  for (auto _ : state) {
    char name[kFileNameSize];
    if (refresh) {
      std::snprintf(name, sizeof(name), "%s/file_%06d.bin", setup.data.c_str(),
                    static_cast<int>(random() % entries));
    } else {
      std::snprintf(name, sizeof(name), "%s/absent.bin", setup.data.c_str());
    }
    const FileRecord record = MakeRecord(name, 4096);
    bool damaged = false;
    const auto start = Clock::now();
    benchmark::DoNotOptimize(FindListed(*index.header(), index.blocks(), record, &damaged));
    const auto stop = Clock::now();
    state.SetIterationTime(Micros(start, stop) / 1e6);
    us.push_back(Micros(start, stop));
  }
  state.SetLabel(refresh ? "listed path" : "absent path");
  Report(state, us);
}
BENCHMARK(BM_PlainWalkLookup)
    ->ArgNames({"entries", "refresh"})
    ->ArgsProduct({{1000, 10000, 99000}, {0, 1}})
    ->UseManualTime()
    ->Iterations(500)
    ->Unit(benchmark::kMicrosecond);

// Four processes refresh 2,000 listed files each, at random places in the
// list, at once through the entry point. Each process times its own
// registrations, from the start signal to its last one (not its
// initialisation nor its exit), and sends the span through a pipe; the
// time and the counter (registrations per second for all of them) are
// those of the slowest process's span.
void BM_FourProcesses(benchmark::State& state) {
  const int32_t entries = static_cast<int32_t>(state.range(0));
  constexpr int kProcesses = 4;
  Setup setup;
  setup.Fill(entries);
  std::mt19937 random(11);
  std::vector<std::vector<std::string>> files(kProcesses);
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kCalls; ++k) {
      files[p].push_back(setup.EntryFile(static_cast<int32_t>(random() % entries)));
    }
  }
  {
    // The lookup table is built once before the processes start.
    IndexFile index(setup.index_path, MakeSettings(204800LL << 20, 20, 300));
    index.AddFile(MakeRecord(files[0][0], 4096), 0);
  }
  double seconds = 0;
  for (auto _ : state) {
    int go[2];
    int spans[2];
    if (::pipe(go) != 0) break;
    if (::pipe(spans) != 0) {
      ::close(go[0]);
      ::close(go[1]);
      break;
    }
    std::fflush(stdout);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
      const pid_t child = ::fork();
      if (child == 0) {
        StdoutSilencer quiet;
        int code = api::Initialize(1) == 1 ? 0 : 1;
        char c;
        if (::read(go[0], &c, 1) != 1) code = 1;
        const auto start = Clock::now();
        for (int k = 0; k < kCalls && code == 0; ++k) {
          if (api::AddFileA(files[p][k].c_str(), 0) != 1) code = 1;
        }
        const double span = Micros(start, Clock::now()) / 1e6;
        if (::write(spans[1], &span, sizeof(span)) != sizeof(span)) code = 1;
        api::UnInitialize();
        ::_exit(code);
      }
      children.push_back(child);
    }
    ::usleep(300000);  // all initialised
    const char signal[kProcesses] = {'g', 'g', 'g', 'g'};
    if (::write(go[1], signal, kProcesses) != kProcesses) state.SkipWithError("no start");
    bool ok = true;
    for (pid_t child : children) {
      int status = 0;
      ok = ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           ok;
    }
    double slowest = 0;
    for (int p = 0; p < kProcesses && ok; ++p) {
      double span = 0;
      ok = ::read(spans[0], &span, sizeof(span)) == sizeof(span);
      slowest = std::max(slowest, span);
    }
    state.SetIterationTime(slowest);
    seconds += slowest;
    for (int fd : {go[0], go[1], spans[0], spans[1]}) ::close(fd);
    if (!ok) state.SkipWithError("a process failed");
  }
  if (seconds > 0) {
    state.counters["registrations/s"] =
        static_cast<double>(kProcesses * kCalls * state.iterations()) / seconds;
  }
}
BENCHMARK(BM_FourProcesses)
    ->ArgName("entries")
    ->Arg(10000)
    ->Arg(99000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Another process runs a pass that deletes 20,000 files while this one
// refreshes a file again and again through the entry point: the figures are
// this process's registration times while the pass runs.
void BM_RegistrationDuringPass(benchmark::State& state) {
  constexpr int32_t kOld = 20000;
  constexpr int32_t kYoung = 10;
  Setup setup(50);  // marks at 60 and 40 MiB
  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  {
    IndexFile index(setup.index_path, MakeSettings(50LL << 20, 20, 300));
    FillIndex(index, kYoung + kOld, BlockOrder::kShuffled, [&](int32_t pos, ImageFileBlock* block) {
      std::snprintf(block->ImageFileName, sizeof(block->ImageFileName), "%s/d%03d/file_%06d.bin",
                    setup.data.c_str(), pos % 500, static_cast<int>(pos));
      block->FileSize = 10000000;  // 10 MB each as counted
      block->AccessTime = pos < kYoung ? now : now - 100000;
      block->Delay = pos < kYoung ? 100000 : 0;
    });
  }
  for (int d = 0; d < 500; ++d) {
    char folder[kFileNameSize];
    std::snprintf(folder, sizeof(folder), "%s/d%03d", setup.data.c_str(), d);
    ::mkdir(folder, 0755);
  }
  for (int32_t pos = kYoung; pos < kYoung + kOld; ++pos) {
    char name[kFileNameSize];
    std::snprintf(name, sizeof(name), "%s/d%03d/file_%06d.bin", setup.data.c_str(), pos % 500,
                  static_cast<int>(pos));
    WriteFile(name, 1);
  }
  const std::string mine = setup.data + "/mine.bin";
  WriteFile(mine, 100);
  std::vector<double> us;
  double pass_ms = 0;
  StdoutSilencer quiet;
  if (api::Initialize(1) != 1 || api::AddFileA(mine.c_str(), 0) != 1) {
    state.SkipWithError("setup failed");
    api::UnInitialize();
    return;
  }
  for (auto _ : state) {
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
      IndexFile own(setup.index_path, MakeSettings(50LL << 20, 20, 300));
      own.ShrinkCache(DeleteCachedFile);
      ::_exit(own.header()->TotalFileCount == kYoung + 1 ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      const auto a = Clock::now();
      api::AddFileA(mine.c_str(), 0);
      us.push_back(Micros(a, Clock::now()));
    }
    pass_ms = Micros(start, Clock::now()) / 1000;
    state.SetIterationTime(pass_ms / 1000);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the pass failed");
  }
  api::UnInitialize();
  state.counters["pass_ms"] = pass_ms;
  state.counters["registrations"] = static_cast<double>(us.size());
  Report(state, us);
}
BENCHMARK(BM_RegistrationDuringPass)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace stow
