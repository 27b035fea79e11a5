// How long another process's registration waits while a process dumps,
// reads the status, checks, runs a pass, or runs the dry run or the pass by
// age over an index of 99,000 entries: this process
// refreshes one file again and again through the entry point while a child
// runs the operation, and the figures are this process's registration times
// meanwhile. The "under lock" cases replay what the operation did when it
// held the lock for all its work, for comparison in the same run. The
// child also times its own holds of the lock: wall time, and the thread's
// CPU time, which a busy machine's preemption of the holder does not
// stretch.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "api/extension.h"
#include "api/process_state.h"
#include "bench_support.h"
#include "hold_timing.h"
#include "config/settings.h"
#include "index/index_dump.h"
#include "index/index_file.h"
#include "index/inspect.h"
#include "index/list_check.h"
#include "maintenance/delete_cached_file.h"
#include "platform/platform.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kEntries = 99000;

enum Operation {
  kShutdownDump,     // Initialize, then UnInitialize, which writes Index.Dmp
  kApiDump,          // StowmasterDump to a file
  kStatus,           // StowmasterGetStatus
  kCheck,            // StowmasterCheck without repair
  kDumpUnderLock,    // the dump text made and written while the lock is held
  kStatusUnderLock,  // the status's list check and walks while the lock is held
  kCheckUnderLock,   // the check's list check while the lock is held
  kYoungPass,        // an eviction pass over the high mark, every entry too young
  kRefusingPass,     // an eviction pass over the high mark, every deletion refused
  kDryRunByAge,      // StowmasterShrinkWith dry run, older than an hour: 63,000 of the entries
  kPassByAge,        // the pass by age (older than 9000 s): deletes 9,000 entries, walks all
};
constexpr const char* kLabels[] = {
    "UnInitialize dump", "StowmasterDump",    "GetStatus",        "Check",
    "dump under lock",   "status under lock", "check under lock", "pass, all young",
    "pass, all refused", "dry run by age",    "pass by age",
};

// What the child sends back.
struct Outcome {
  double op_ms = -1;       // the runs of the operation in all
  double hold_ms = 0;      // its longest hold of the lock, wall time
  double hold_cpu_ms = 0;  // and the longest in CPU time
};

// A cache folder of 99,000 churned entries, settings that let no pass
// delete anything, the log beside it. With `spread`, the entry at place p
// of the list (0: the most recent) was registered p / 10 seconds ago, so
// that the passes by age find entries old enough.
struct Setup {
  TempDir dir;
  std::string cache = dir.Join("cache");
  std::string data = dir.Join("data");
  std::string index_path = cache + "/Index.Dat";
  CaseSettings settings{dir, cache, data, 204800, 5, dir.path()};
  explicit Setup(bool spread) {
    ::mkdir(cache.c_str(), 0755);
    ::mkdir(data.c_str(), 0755);
    IndexFile index(index_path, MakeSettings(204800LL << 20, 20, 300));
    const int32_t now = static_cast<int32_t>(std::time(nullptr));
    const DescribeEntry plain = PlainEntries(data, now);
    FillIndex(index, kEntries, BlockOrder::kShuffled, [&](int32_t pos, ImageFileBlock* block) {
      plain(pos, block);
      if (spread) block->AccessTime = now - pos / 10;
    });
  }
};

// The child's side: runs `op` (`repeats` times, 20 ms apart) once `ready`
// has been written, and returns how long the runs took in all.
double RunOperation(Operation op, const Setup& setup, int ready, HoldTimingEnv& holds) {
  if (op == kShutdownDump && api::Initialize(1) != 1) return -1;
  // The pass's own index, opened first: the list check at open is not
  // part of the pass. A limit of 1 MiB: every pass starts. The first walks
  // the whole list in batches; the later ones are known to find nothing.
  std::unique_ptr<IndexFile> index;
  if (op == kYoungPass || op == kRefusingPass || op == kPassByAge) {
    index.reset(new IndexFile(setup.index_path,
                              MakeSettings(1LL << 20, 20, op == kYoungPass ? 1000000000 : 0)));
  }
  // The pass by age deletes as the library does: a log line for each entry
  // (their files were never made).
  const RemoveFileFn remover = CachedFileRemover();
  if (::write(ready, "r", 1) != 1) return -1;
  ::usleep(20000);
  holds.Reset();  // the holds of the operation only
  const int repeats = op == kShutdownDump || op == kPassByAge ? 1 : 3;
  double ms = 0;
  for (int k = 0; k < repeats; ++k) {
    if (k > 0) ::usleep(20000);
    const auto start = Clock::now();
    bool ok = true;
    switch (op) {
      case kShutdownDump:
        api::UnInitialize();
        break;
      case kApiDump:
        ok = api::Dump(setup.dir.Join("api.dmp").c_str(), nullptr, 0, nullptr) == STOWMASTER_OK;
        break;
      case kStatus: {
        StowmasterStatus s;
        s.size = sizeof(s);
        ok = api::GetStatus(&s) == STOWMASTER_OK && s.entries >= kEntries;
        break;
      }
      case kCheck: {
        StowmasterCheckReport r;
        r.size = sizeof(r);
        ok = api::Check(0, &r) == STOWMASTER_OK;
        break;
      }
      case kYoungPass:
      case kRefusingPass: {
        index->ShrinkCache([](const char*) { return false; }, nullptr, 7);
        break;
      }
      case kDryRunByAge: {
        StowmasterShrinkOptions o = {};
        o.size = sizeof(o);
        o.dry_run = 1;
        o.older_than = 3600;
        StowmasterPassResult r = {};
        r.size = sizeof(r);
        ok = api::ShrinkWith(&o, &r, nullptr, nullptr) == STOWMASTER_OK && r.deleted_files > 60000;
        break;
      }
      case kPassByAge: {
        PassRequest request;
        request.older_than = 9000;
        // The first run of the case deletes 9,000 entries; the later ones
        // only those that came of age since. Each walks the whole list.
        ok = index->RunRequest(remover, request, 7).looked_at >= kEntries - 10000;
        break;
      }
      case kDumpUnderLock:
      case kStatusUnderLock:
      case kCheckUnderLock: {
        IndexInspection inspection(setup.index_path);
        ok = inspection.Read([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
          if (op == kDumpUnderLock) {
            const std::string text = FormatDump(h, blocks);
            std::FILE* f = std::fopen(setup.dir.Join("locked.dmp").c_str(), "w");
            if (f == nullptr) return false;
            const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
            return std::fclose(f) == 0 && written;
          }
          bool sound = CheckLists(h, blocks, nullptr);
          if (op == kStatusUnderLock) {
            // The walk from the head for the registration times.
            int64_t oldest = 0;
            int32_t i = h.FirstValidBlock;
            for (int32_t steps = 0; BlockInRange(i) && steps < kBlockCount; ++steps) {
              if (oldest == 0 || blocks[i].AccessTime < oldest) oldest = blocks[i].AccessTime;
              i = blocks[i].RightNode;
            }
            sound = sound && oldest != 0;
          }
          return sound;
        });
        break;
      }
    }
    ms += Micros(start, Clock::now()) / 1000;
    if (!ok) return -1;
  }
  return ms;
}

// range(0): the Operation the child runs.
void BM_RegistrationWaitDuring(benchmark::State& state) {
  const Operation op = static_cast<Operation>(state.range(0));
  Setup setup(op == kDryRunByAge || op == kPassByAge);
  const std::string mine = setup.data + "/mine.bin";
  WriteFile(mine, 100);
  std::vector<double> us;
  Outcome worst;
  for (auto _ : state) {
    int go[2];
    int ready[2];
    int result[2];
    if (::pipe(go) != 0 || ::pipe(ready) != 0 || ::pipe(result) != 0) {
      state.SkipWithError("no pipe");
      break;
    }
    std::fflush(stdout);
    // Forked before this process initialises, so that the child's own
    // Initialize and UnInitialize are those of a process of its own.
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(go[1]);
      ::close(ready[0]);
      ::close(result[0]);
      StdoutSilencer quiet;
      HoldTimingEnv holds;
      char c;
      Outcome out;
      if (::read(go[0], &c, 1) == 1) out.op_ms = RunOperation(op, setup, ready[1], holds);
      out.hold_ms = holds.wall_ms();
      out.hold_cpu_ms = holds.cpu_ms();
      const bool sent = ::write(result[1], &out, sizeof(out)) == sizeof(out);
      ::_exit(out.op_ms >= 0 && sent ? 0 : 1);
    }
    ::close(go[0]);
    ::close(ready[1]);
    ::close(result[1]);
    bool ok = false;
    {
      StdoutSilencer quiet;
      if (api::Initialize(1) == 1 && api::AddFileA(mine.c_str(), 0) == 1 &&
          ::write(go[1], "g", 1) == 1) {
        char c;
        ok = ::read(ready[0], &c, 1) == 1;
      }
      int status = 0;
      const auto start = Clock::now();
      while (ok && ::waitpid(child, &status, WNOHANG) == 0) {
        const auto a = Clock::now();
        ok = api::AddFileA(mine.c_str(), 0) == 1;
        us.push_back(Micros(a, Clock::now()));
      }
      ::close(go[1]);  // a child still waiting for the start ends
      if (!ok) ::waitpid(child, &status, 0);
      state.SetIterationTime(Micros(start, Clock::now()) / 1e6);
      api::UnInitialize();
      Outcome out;
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           ::read(result[0], &out, sizeof(out)) == sizeof(out);
      worst.op_ms = std::max(worst.op_ms, out.op_ms);
      worst.hold_ms = std::max(worst.hold_ms, out.hold_ms);
      worst.hold_cpu_ms = std::max(worst.hold_cpu_ms, out.hold_cpu_ms);
    }
    ::close(ready[0]);
    ::close(result[0]);
    if (!ok) {
      state.SkipWithError("the operation or a registration failed");
      break;
    }
  }
  std::sort(us.begin(), us.end());
  state.SetLabel(kLabels[op]);
  if (us.empty()) return;
  state.counters["registrations"] = static_cast<double>(us.size());
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["max_us"] = us.back();
  state.counters["op_ms"] = worst.op_ms;
  state.counters["hold_ms"] = worst.hold_ms;
  state.counters["hold_cpu_ms"] = worst.hold_cpu_ms;
}
BENCHMARK(BM_RegistrationWaitDuring)
    ->ArgName("op")
    ->DenseRange(kShutdownDump, kPassByAge)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace stow
