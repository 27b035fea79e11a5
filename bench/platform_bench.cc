// The system calls behind a registration and a deletion, one at a time, to
// tell where the time of the larger benchmarks goes.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "platform/platform.h"

namespace stow {
namespace bench {
namespace {

// The eviction slot an inline pass takes and gives back after every
// registration in a process without a worker thread.
void BM_SemaphoreSlot(benchmark::State& state) {
  TempDir dir;
  std::unique_ptr<platform::NamedSemaphore> semaphore;
  platform::env().OpenNamedSemaphore("bench", dir.Join("Index.Dat"), &semaphore).ThrowIfFailed();
  for (auto _ : state) {
    if (!semaphore->TryAcquire()) {
      state.SkipWithError("no slot");
      break;
    }
    semaphore->Release();
  }
}
BENCHMARK(BM_SemaphoreSlot)->Iterations(200000);

// The check after each deletion whether the file's folder is now empty, in a
// folder that still holds range(0) files.
void BM_FolderHasEntries(benchmark::State& state) {
  const int64_t files = state.range(0);
  TempDir dir;
  const std::string folder = dir.Join("cache");
  ::mkdir(folder.c_str(), 0755);
  char name[32];
  for (int64_t k = 0; k < files; ++k) {
    std::snprintf(name, sizeof(name), "/f_%06lld.bin", static_cast<long long>(k));
    if (!WriteFile(folder + name, 64)) {
      state.SkipWithError("cannot create the files");
      return;
    }
  }
  for (auto _ : state) {
    if (!platform::env().FolderHasEntries(folder.c_str()))
      state.SkipWithError("folder looks empty");
  }
}
BENCHMARK(BM_FolderHasEntries)
    ->ArgName("files")
    ->Arg(16)
    ->Arg(1000)
    ->Arg(4000)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench
}  // namespace stow
