// The lookup table against a flood of paths crafted to share one hash
// (colliding_paths.h), beside the same number of ordinary paths: the
// rebuild, a registration of a new path during the flood, and what a pass
// for size pays to prove that no path is listed twice.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "colliding_paths.h"
#include "index/index_file.h"
#include "index/lookup.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

const CacheSettings kSettings = MakeSettings(200LL << 20, 20, 900);
constexpr int32_t kAccessTime = 1700000000;
constexpr int32_t kEntries = 99000;

// The crafted paths, made once (about a second): kEntries + 1000 more for
// new registrations.
const std::vector<std::string>& Crafted(const std::string& folder) {
  static std::vector<std::string> paths;
  static std::string made_for;
  if (made_for != folder) {
    paths = bench_support::CollidingPaths(folder + "/", kEntries + 1000);
    made_for = folder;
  }
  return paths;
}

// Ordinary paths of the same length as the crafted ones, so that hashing
// and comparing them costs the same: random pieces of the same alphabet.
const std::vector<std::string>& Ordinary(const std::string& folder) {
  static std::vector<std::string> paths;
  if (paths.empty()) {
    std::mt19937 random(5);
    const std::string like = Crafted(folder).front();
    for (int32_t k = 0; k < kEntries + 1000; ++k) {
      std::string path = like;
      for (size_t i = folder.size() + 1; i < path.size(); ++i) {
        path[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
      }
      paths.push_back(std::move(path));
    }
  }
  return paths;
}

// The folder name is the same in every TempDir's place, so that the
// paths are made once.
std::string Folder() { return "/flood/cache"; }

const std::vector<std::string>& Paths(bool crafted) {
  return crafted ? Crafted(Folder()) : Ordinary(Folder());
}

// range(0): 0 ordinary paths, 1 crafted paths.
std::unique_ptr<IndexFile> MakeIndex(benchmark::State& state, const TempDir& dir, bool crafted) {
  auto index = std::make_unique<IndexFile>(dir.Join("Index.Dat"), kSettings);
  const DescribeEntry plain = PlainEntries(Folder(), kAccessTime);
  const std::vector<std::string>& paths = Paths(crafted);
  FillIndex(*index, kEntries, BlockOrder::kShuffled, [&](int32_t pos, ImageFileBlock* b) {
    plain(pos, b);
    std::snprintf(b->ImageFileName, kFileNameSize, "%s", paths[pos].c_str());
  });
  if (index->CheckAndRepair()) {
    state.SkipWithError("the filled index is not consistent");
    return nullptr;
  }
  state.SetLabel(crafted ? "crafted paths, one hash" : "ordinary paths, same length");
  return index;
}

// The rebuild a registration makes when it finds the table stale (clearing
// one word of the companion file forces it at will): the refresh of the
// head right after the table was marked stale, at 99,000 entries.
void BM_FloodRebuild(benchmark::State& state) {
  TempDir dir;
  auto index = MakeIndex(state, dir, state.range(0) == 1);
  if (index == nullptr) return;
  LookupTable table(dir.Join(kLookupFileName));
  const ImageFileBlock& head = index->blocks()[index->header()->FirstValidBlock];
  const FileRecord record = MakeRecord(head.ImageFileName, head.FileSize);
  for (auto _ : state) {
    table.Begin();
    const auto start = Clock::now();
    const bool refreshed = index->AddFile(record, 0);
    state.SetIterationTime(Micros(start, Clock::now()) / 1e6);
    if (!refreshed) state.SkipWithError("refresh failed");
  }
  if (index->header()->TotalFileCount != kEntries || index->CheckAndRepair()) {
    state.SkipWithError("the index was left wrong");
  }
  state.counters["crowded_homes"] = table.CrowdedHomes();
}
BENCHMARK(BM_FloodRebuild)
    ->ArgName("crafted")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// Registrations of new paths (of the same hash as the flood when crafted)
// by this process while another process forces a rebuild of the table every
// 20 ms, as an attacker who clears its fresh flag does. The figures are this
// process's registration times (the slowest waited for a rebuild); walk_us
// is one plain walk of the list for the same path just before, in the same run.
void BM_RegistrationDuringFlood(benchmark::State& state) {
  const bool crafted = state.range(0) == 1;
  TempDir dir;
  auto index = MakeIndex(state, dir, crafted);
  if (index == nullptr) return;
  const std::string path = dir.Join("Index.Dat");
  std::vector<double> us;
  std::vector<double> walk_us;
  for (auto _ : state) {
    int go[2];
    if (::pipe(go) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(go[1]);
      IndexFile own(path, kSettings);
      LookupTable table(dir.Join(kLookupFileName));
      const ImageFileBlock& last = own.blocks()[own.header()->LastValidBlock];
      const FileRecord record = MakeRecord(last.ImageFileName, last.FileSize);
      char c;
      if (::read(go[0], &c, 1) != 1) ::_exit(1);
      for (int k = 0; k < 20; ++k) {
        table.Begin();
        own.AddFile(record, 0);
        ::usleep(20000);
      }
      ::_exit(0);
    }
    ::close(go[0]);
    char c = 'g';
    if (child < 0 || ::write(go[1], &c, 1) != 1) {
      state.SkipWithError("the flooding process did not start");
      break;
    }
    int status = 0;
    // New paths only (each registration keeps the table in sync), at most
    // 1,000 of them.
    for (int k = 0; ::waitpid(child, &status, WNOHANG) == 0; ++k) {
      if (k == 1000) {
        ::waitpid(child, &status, 0);
        break;
      }
      const FileRecord record = MakeRecord(Paths(crafted)[kEntries + k], 1);
      bool damaged = false;
      const auto walk = Clock::now();
      benchmark::DoNotOptimize(FindListed(*index->header(), index->blocks(), record, &damaged));
      walk_us.push_back(Micros(walk, Clock::now()));
      const auto start = Clock::now();
      index->AddFile(record, 0);
      us.push_back(Micros(start, Clock::now()));
    }
    ::close(go[1]);
    state.SetIterationTime(1e-6 * std::max<size_t>(1, us.size()));
  }
  std::sort(us.begin(), us.end());
  std::sort(walk_us.begin(), walk_us.end());
  if (us.empty() || walk_us.empty()) return;
  state.counters["registrations"] = static_cast<double>(us.size());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p90_us"] = us[us.size() * 9 / 10];
  state.counters["max_us"] = us.back();
  state.counters["walk_us"] = walk_us[walk_us.size() / 2];
}
BENCHMARK(BM_RegistrationDuringFlood)
    ->ArgName("crafted")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// What a pass for size pays before its first deletion to prove that no
// path is listed twice (every slot line against its check, and the counts),
// beside a pass over the same 99,000 entries of 4 KiB that deletes down to
// the low mark (its removal routine deletes nothing on disk).
void BM_PassProof(benchmark::State& state) {
  TempDir dir;
  auto index = MakeIndex(state, dir, state.range(0) == 1);
  if (index == nullptr) return;
  LookupTable table(dir.Join(kLookupFileName));
  const ImageFileBlock& head = index->blocks()[index->header()->FirstValidBlock];
  index->AddFile(MakeRecord(head.ImageFileName, head.FileSize), 0);  // builds the table
  double proof_us = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool proved = table.ProvesEachPathOnce(*index->header());
    proof_us = Micros(start, Clock::now());
    state.SetIterationTime(proof_us / 1e6);
    if (!proved) state.SkipWithError("the table does not prove each path listed once");
  }
  // Marks at 60 and 40% of the bytes listed: the pass deletes three fifths.
  const int64_t used = index->header()->CacheSize;
  IndexFile pass_index(dir.Join("Index.Dat"), MakeSettings(used / 2, 20, 0));
  int32_t deleted = 0;
  const auto start = Clock::now();
  pass_index.ShrinkCache([&](const char*) { return ++deleted, true; });
  const double pass_us = Micros(start, Clock::now());
  state.counters["proof_us"] = proof_us;
  state.counters["pass_ms"] = pass_us / 1000;
  state.counters["deleted"] = deleted;
}
BENCHMARK(BM_PassProof)
    ->ArgName("crafted")
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench
}  // namespace stow
