// The index on its own: formatting, registration against lists of various
// lengths and layouts, two processes registering at once, and the cost of
// the lock and of a pass that has nothing to do.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "index/index_file.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// 200 MiB, the default: the lists built here stay far below it.
const CacheSettings kSettings = MakeSettings(200LL << 20, 20, 900);
constexpr int32_t kAccessTime = 1700000000;

// An index of `n` plain entries in the cache folder of `dir`, checked
// consistent. Null after reporting an error on `state`.
std::unique_ptr<IndexFile> MakeFilledIndex(benchmark::State& state, const TempDir& dir, int32_t n,
                                           BlockOrder order, const DescribeEntry& describe) {
  auto index = std::make_unique<IndexFile>(dir.Join("Index.Dat"), kSettings);
  FillIndex(*index, n, order, describe);
  if (index->CheckAndRepair()) {
    state.SkipWithError("the filled index is not consistent");
    return nullptr;
  }
  return index;
}

// ------------------------------------------------------------ formatting ---

void BM_FormatNewIndex(benchmark::State& state) {
  TempDir dir;
  const std::string path = dir.Join("Index.Dat");
  for (auto _ : state) {
    const auto start = Clock::now();
    auto index = std::make_unique<IndexFile>(path, kSettings);
    const auto stop = Clock::now();
    state.SetIterationTime(Seconds(start, stop));
    if (index->header()->FirstInvalidBlock != 0) state.SkipWithError("not formatted");
    index.reset();
    ::unlink(path.c_str());
  }
}
BENCHMARK(BM_FormatNewIndex)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// ------------------------------------------------- registering a new file ---

// range(0): entries already listed. range(1): 0 fill order, 1 shuffled
// blocks, 2 fill order with every entry the new file's size (so that every
// block's path is compared too).
void BM_AddNewFile(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  const int64_t layout = state.range(1);
  TempDir dir;
  const std::string folder = dir.Join("cache");
  DescribeEntry describe = PlainEntries(folder, kAccessTime);
  uint32_t new_size = 1;  // no listed entry has this size
  if (layout == 2) {
    new_size = 4096;
    describe = [describe](int32_t pos, ImageFileBlock* b) {
      describe(pos, b);
      b->FileSize = 4096;
    };
  }
  auto index = MakeFilledIndex(state, dir, n,
                               layout == 1 ? BlockOrder::kShuffled : BlockOrder::kFill, describe);
  if (index == nullptr) return;
  state.SetLabel(layout == 0 ? "fill order" : layout == 1 ? "shuffled" : "fill order, same size");
  // The name sorts with the listed ones and shares their long prefix.
  const FileRecord record = MakeRecord(folder + "/file_new___.bin", new_size);

  for (auto _ : state) {
    const auto start = Clock::now();
    const bool added = index->AddFile(record, 0);
    const auto stop = Clock::now();
    state.SetIterationTime(Seconds(start, stop));
    if (!added || index->header()->TotalFileCount != n + 1) {
      state.SkipWithError("the file was not added");
      break;
    }
    PopHeadToFreeList(*index);
  }
  if (index->CheckAndRepair()) state.SkipWithError("the index was left inconsistent");
}
BENCHMARK(BM_AddNewFile)
    ->ArgNames({"entries", "layout"})
    ->Args({0, 0})
    ->UseManualTime()
    ->Iterations(100000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddNewFile)
    ->ArgNames({"entries", "layout"})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->UseManualTime()
    ->Iterations(3000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddNewFile)
    ->ArgNames({"entries", "layout"})
    ->Args({kBlockCount - 1, 0})
    ->Args({kBlockCount - 1, 1})
    ->Args({kBlockCount - 1, 2})
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);

// ------------------------------------------------- refreshing the newest ---

void BM_RefreshHead(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  TempDir dir;
  auto index = MakeFilledIndex(state, dir, n, BlockOrder::kShuffled,
                               PlainEntries(dir.Join("cache"), kAccessTime));
  if (index == nullptr) return;
  const ImageFileBlock& head = index->blocks()[index->header()->FirstValidBlock];
  const FileRecord record = MakeRecord(head.ImageFileName, head.FileSize);
  for (auto _ : state) {
    if (!index->AddFile(record, 0)) state.SkipWithError("refresh failed");
  }
  if (index->header()->TotalFileCount != n) state.SkipWithError("refresh added an entry");
}
BENCHMARK(BM_RefreshHead)->Arg(kBlockCount - 1)->ArgName("entries")->Iterations(300000);

// ------------------------------------------- rebuilding the lookup table ---

// A registration that finds the lookup table stale (as another release or
// a holder that died leaves it) rebuilds it from the valid list first: the
// refresh of the head after the table was marked stale, at 99,000 shuffled
// entries.
void BM_TableRebuild(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  TempDir dir;
  auto index = MakeFilledIndex(state, dir, n, BlockOrder::kShuffled,
                               PlainEntries(dir.Join("cache"), kAccessTime));
  if (index == nullptr) return;
  LookupTable table(dir.Join(kLookupFileName));
  const ImageFileBlock& head = index->blocks()[index->header()->FirstValidBlock];
  const FileRecord record = MakeRecord(head.ImageFileName, head.FileSize);
  for (auto _ : state) {
    table.Begin();
    const auto start = Clock::now();
    const bool refreshed = index->AddFile(record, 0);
    const auto stop = Clock::now();
    state.SetIterationTime(Seconds(start, stop));
    if (!refreshed) state.SkipWithError("refresh failed");
  }
  if (index->header()->TotalFileCount != n) state.SkipWithError("refresh added an entry");
}
BENCHMARK(BM_TableRebuild)
    ->Arg(99000)
    ->ArgName("entries")
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMillisecond);

// Opening an index in use: the lists are checked once on open.
void BM_OpenFilledIndex(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  TempDir dir;
  auto index = MakeFilledIndex(state, dir, n, BlockOrder::kShuffled,
                               PlainEntries(dir.Join("cache"), kAccessTime));
  if (index == nullptr) return;
  for (auto _ : state) {
    const auto start = Clock::now();
    IndexFile second(dir.Join("Index.Dat"), kSettings);
    const auto stop = Clock::now();
    state.SetIterationTime(Seconds(start, stop));
  }
}
BENCHMARK(BM_OpenFilledIndex)
    ->Arg(99000)
    ->ArgName("entries")
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMillisecond);

// ------------------------------------------------------- two processes ---

// One process's share of the work. Workload 0: refresh this process's own
// file `adds` times. Workload 1: register `adds` new files, each scanning the
// whole (growing) list.
bool RunAddLoop(IndexFile& index, const std::string& folder, int process, int64_t workload,
                int64_t adds) {
  char name[kFileNameSize];
  for (int64_t k = 0; k < adds; ++k) {
    uint32_t size;
    if (workload == 0) {
      std::snprintf(name, sizeof(name), "%s/own_%d.bin", folder.c_str(), process);
      size = 1000000 + static_cast<uint32_t>(process);
    } else {
      std::snprintf(name, sizeof(name), "%s/p%d_new_%07lld.bin", folder.c_str(), process,
                    static_cast<long long>(k));
      // Distinct from every other size: the scan compares sizes only.
      size = 2000000 + static_cast<uint32_t>(process) * 1000000 + static_cast<uint32_t>(k);
    }
    FileRecord r = MakeRecord(name, size);
    if (!index.AddFile(r, 0)) return false;
  }
  return true;
}

// range(0): processes (1 or 2). range(1): workload as above. Both cases do
// the same total work: the adds are split between the processes.
void BM_ConcurrentAdd(benchmark::State& state) {
  const int processes = static_cast<int>(state.range(0));
  const int64_t workload = state.range(1);
  const int64_t total_adds = workload == 0 ? 200000 : 4000;
  const int64_t share = total_adds / processes;
  constexpr int32_t kBase = 10000;
  TempDir dir;
  const std::string path = dir.Join("Index.Dat");
  const std::string folder = dir.Join("cache");
  auto index = std::make_unique<IndexFile>(path, kSettings);
  state.SetLabel(workload == 0 ? "refresh own file, 10000 listed" : "new files, 10000+ listed");

  for (auto _ : state) {
    FillIndex(*index, kBase, BlockOrder::kFill, PlainEntries(folder, kAccessTime));
    if (workload == 0) {
      for (int p = 0; p < processes; ++p) RunAddLoop(*index, folder, p, 0, 1);
    }
    int ready[2], go[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = -1;
    if (processes == 2) {
      child = ::fork();
      if (child == 0) {
        // The child opens the index itself: the parent's descriptor carries
        // the parent's lock.
        int code = 1;
        try {
          IndexFile own(path, kSettings);
          char c = 'r';
          if (::write(ready[1], &c, 1) == 1 && ::read(go[0], &c, 1) == 1) {
            code = RunAddLoop(own, folder, 1, workload, share) ? 0 : 1;
          }
        } catch (...) {
        }
        ::_exit(code);
      }
      char c;
      if (child < 0 || ::read(ready[0], &c, 1) != 1) {
        state.SkipWithError("the second process did not start");
        break;
      }
    }
    const auto start = Clock::now();
    if (child > 0) {
      char c = 'g';
      if (::write(go[1], &c, 1) != 1) state.SkipWithError("could not start the second process");
    }
    bool ok = RunAddLoop(*index, folder, 0, workload, share);
    if (child > 0) {
      int status = 0;
      ok = ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           ok;
    }
    const auto stop = Clock::now();
    state.SetIterationTime(Seconds(start, stop));
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
    const int32_t expected = kBase + (workload == 0 ? processes : static_cast<int32_t>(total_adds));
    if (!ok || index->header()->TotalFileCount != expected || index->CheckAndRepair()) {
      state.SkipWithError("the registrations did not all land");
      break;
    }
  }
  state.counters["adds/s"] = benchmark::Counter(
      static_cast<double>(total_adds * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConcurrentAdd)
    ->ArgNames({"procs", "workload"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1})
    ->Args({2, 1})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// ------------------------------------------- the lock, an idle pass, flush ---

void BM_ShrinkUnderHighMark(benchmark::State& state) {
  TempDir dir;
  auto index = MakeFilledIndex(state, dir, 10000, BlockOrder::kFill,
                               PlainEntries(dir.Join("cache"), kAccessTime));
  if (index == nullptr) return;
  int64_t removed = 0;
  for (auto _ : state) {
    index->ShrinkCache([&](const char*) {
      ++removed;
      return true;
    });
  }
  if (removed != 0) state.SkipWithError("a pass under the high mark removed files");
}
BENCHMARK(BM_ShrinkUnderHighMark)->Iterations(300000);

void BM_LockUnlock(benchmark::State& state) {
  TempDir dir;
  auto index = MakeFilledIndex(state, dir, 10000, BlockOrder::kFill,
                               PlainEntries(dir.Join("cache"), kAccessTime));
  if (index == nullptr) return;
  for (auto _ : state) {
    index->Lock();
    index->Unlock();
  }
}
BENCHMARK(BM_LockUnlock)->Iterations(300000);

// What one sync of the index and its lookup table costs, waiting for the
// disk, once a registration changed a few pages: the registration that
// finds the last sync of the cache a second old pays it, after it let go of
// the lock.
void BM_Flush(benchmark::State& state) {
  TempDir dir;
  auto index = MakeFilledIndex(state, dir, 10000, BlockOrder::kFill,
                               PlainEntries(dir.Join("cache"), kAccessTime));
  if (index == nullptr) return;
  const FileRecord record = MakeRecord(dir.Join("cache/file_000000.bin"), 4096);
  for (auto _ : state) {
    // Dirty a page first, as a registration does.
    index->AddFile(record, 0);
    const auto start = Clock::now();
    const bool flushed = index->Flush();
    const auto stop = Clock::now();
    state.SetIterationTime(Seconds(start, stop));
    if (!flushed) state.SkipWithError("flush failed");
  }
}
BENCHMARK(BM_Flush)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench
}  // namespace stow
