// What deleting a cached file costs: the steps of one deletion timed one by
// one, and a whole pass of 20,000 deletions against the floor of the disk
// (one unlink and one log line per file), with and without another process
// registering through the entry point meanwhile.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "bench_support.h"
#include "config/log.h"
#include "config/settings.h"
#include "index/index_file.h"
#include "maintenance/delete_cached_file.h"
#include "platform/platform.h"

namespace stow {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kOld = 20000;  // the files a pass deletes
constexpr int32_t kYoung = 10;   // entries too young to go: the pass walks to the head
constexpr int kLimitMib = 50;    // marks at 60 and 40 MiB
constexpr uint32_t kCountedSize = 10000000;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// 20,000 files in data/, `per_folder` to a folder, deleted in the order the
// folders were filled (the way a client fills one folder after another);
// the settings put the cache in cache/, allow deletion in data/ and send the
// log to the temporary folder.
class Layout {
 public:
  explicit Layout(int per_folder) : per_folder_(per_folder) {
    ::mkdir(cache_.c_str(), 0755);
    ::mkdir(data_.c_str(), 0755);
  }
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;

  const std::string& data() const { return data_; }
  std::string index_path() const { return cache_ + "/Index.Dat"; }
  std::string Folder(int32_t j) const {
    char name[32];
    std::snprintf(name, sizeof(name), "/d%04d", static_cast<int>(j / per_folder_));
    return data_ + name;
  }
  std::string File(int32_t j) const {
    char name[32];
    std::snprintf(name, sizeof(name), "/f_%05d.bin", static_cast<int>(j));
    return Folder(j) + name;
  }
  // True when file `j` is the last of its folder.
  bool LastInFolder(int32_t j) const { return (j + 1) % per_folder_ == 0 || j + 1 == kOld; }

  // Creates the folders and the 20,000 files; with `write_out`, writes them
  // to the disk, as files cached long ago are (their deletion then frees
  // blocks on the disk, which costs far more than the library's own work).
  // False on failure.
  bool CreateFiles(bool write_out = false) const {
    for (int32_t j = 0; j < kOld; ++j) {
      if (j % per_folder_ == 0) ::mkdir(Folder(j).c_str(), 0755);
      if (!WriteFile(File(j), 1)) return false;
    }
    if (write_out) ::sync();
    return true;
  }
  bool AnyLeft() const {
    return ::access(File(0).c_str(), F_OK) == 0 || ::access(File(kOld - 1).c_str(), F_OK) == 0 ||
           ::access(Folder(0).c_str(), F_OK) == 0;
  }

  // Writes the index: kYoung entries too young to delete at the head, the
  // 20,000 files behind them, the first to delete at the tail.
  void FillIndex() const {
    const int32_t now = static_cast<int32_t>(std::time(nullptr));
    IndexFile index(index_path(), MakeSettings(static_cast<int64_t>(kLimitMib) << 20, 20, 300));
    bench::FillIndex(index, kYoung + kOld, BlockOrder::kFill,
                     [&](int32_t pos, ImageFileBlock* block) {
                       block->FileSize = kCountedSize;
                       if (pos < kYoung) {
                         std::snprintf(block->ImageFileName, sizeof(block->ImageFileName),
                                       "%s/young_%d.bin", data_.c_str(), static_cast<int>(pos));
                         block->AccessTime = now;
                         block->Delay = 100000;
                       } else {
                         std::snprintf(block->ImageFileName, sizeof(block->ImageFileName), "%s",
                                       File(kYoung + kOld - 1 - pos).c_str());
                         block->AccessTime = now - 100000;
                       }
                     });
  }

 private:
  TempDir dir_;
  std::string cache_ = dir_.Join("cache");
  std::string data_ = dir_.Join("data");
  // Deletion is allowed in data/; Delay=300 minutes.
  CaseSettings settings_{dir_, cache_, data_, kLimitMib, 300, dir_.path()};
  int per_folder_;
};

// Seconds per file of the floor: one unlink in the layout and one log line
// as WriteLogBufferToFile writes it without anything held open. Deletes the
// files it is given.
double FloorSecondsPerFile(const Layout& layout) {
  const auto start = Clock::now();
  for (int32_t j = 0; j < kOld; ++j) {
    const std::string path = layout.File(j);
    ::unlink(path.c_str());
    WriteLogBufferToFile("Delete File Successfully: %s.\n", path.c_str());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count() / kOld;
  for (int32_t j = 0; j < kOld; j += 1) {
    if (layout.LastInFolder(j)) ::rmdir(layout.Folder(j).c_str());
  }
  return seconds;
}

// The steps of one deletion, each timed over the 20,000 files: per file,
// what it costs on average (an emptied folder's removal: per folder).
// range(0): files per folder.
void BM_DeletionSteps(benchmark::State& state) {
  const int per_folder = static_cast<int>(state.range(0));
  Layout layout(per_folder);
  const bool confined = platform::env().ProcessPrivileges().elevated;
  Clock::duration below{}, plain{}, line{}, path_and_time{}, local_time{}, append{},
      has_entries{}, removal{}, setup{}, held_line{}, trial_below{}, trial{};
  int32_t folders = 0;
  platform::DeleteResult deleted;
  platform::FolderRemoval removed;
  StdoutSilencer quiet;
  for (auto _ : state) {
    // The privileged path, step by step, as a pass did it with a search of
    // the folder and a log file opened for every line.
    if (!layout.CreateFiles()) {
      state.SkipWithError("cannot create the files");
      break;
    }
    const auto start = Clock::now();
    for (int32_t j = 0; j < kOld; ++j) {
      const std::string path = layout.File(j);
      const std::string folder = layout.Folder(j);
      const auto t0 = Clock::now();
      (void)platform::env().DeleteFileBelow(layout.data().c_str(), path.c_str(), &deleted);
      const auto t1 = Clock::now();
      WriteLogBufferToFile("Delete File Successfully: %s.\n", path.c_str());
      const auto t2 = Clock::now();
      const bool stays = platform::env().FolderHasEntries(folder.c_str());
      const auto t3 = Clock::now();
      if (!stays) {
        WriteLogBufferToFile("Remove Directory %s.\n", folder.c_str());
        (void)platform::env().RemoveFolderIfEmptyBelow(layout.data().c_str(), folder.c_str(), &removed);
        removal += Clock::now() - t3;
        ++folders;
      }
      below += t1 - t0;
      line += t2 - t1;
      has_entries += t3 - t2;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());

    // The parts of a log line, and the plain unlink of an unprivileged process.
    if (!layout.CreateFiles()) break;
    const std::string log = LogFilePath();
    for (int32_t j = 0; j < kOld; ++j) {
      const std::string path = layout.File(j);
      const auto t0 = Clock::now();
      (void)platform::env().DeleteFile(path.c_str(), &deleted);
      const auto t1 = Clock::now();
      benchmark::DoNotOptimize(LogFilePath());
      const auto t2 = Clock::now();
      const std::string text = "Time:0:0:0, Msg:  Delete File Successfully: " + path + ".\n";
      const auto t3 = Clock::now();
      (void)platform::env().AppendToFile(log.c_str(), text.data(), text.size());
      const auto t4 = Clock::now();
      benchmark::DoNotOptimize(platform::env().ToLocalTime(platform::env().NowSeconds()));
      const auto t5 = Clock::now();
      (void)platform::env().RemoveFolderIfEmpty(layout.Folder(j).c_str(), &removed);
      const auto t6 = Clock::now();
      plain += t1 - t0;
      path_and_time += t2 - t1;
      append += t4 - t3;
      local_time += t5 - t4;
      if (!layout.LastInFolder(j)) trial += t6 - t5;
    }

    // The privileged path as a pass does it now: the log file held, the
    // folder removal tried at once.
    if (!layout.CreateFiles()) break;
    {
      LogHold hold;
      for (int32_t j = 0; j < kOld; ++j) {
        const std::string path = layout.File(j);
        const std::string folder = layout.Folder(j);
          (void)platform::env().DeleteFileBelow(layout.data().c_str(), path.c_str(), &deleted);
        const auto t0 = Clock::now();
        WriteLogBufferToFile("Delete File Successfully: %s.\n", path.c_str());
        const auto t1 = Clock::now();
        (void)platform::env().RemoveFolderIfEmptyBelow(layout.data().c_str(), folder.c_str(), &removed);
        const auto t2 = Clock::now();
        held_line += t1 - t0;
        if (!layout.LastInFolder(j)) trial_below += t2 - t1;
      }
    }

    // What a pass pays once before its first deletion.
    const auto s0 = Clock::now();
    for (int k = 0; k < 100; ++k) benchmark::DoNotOptimize(CachedFileRemover());
    setup += (Clock::now() - s0) / 100;
  }
  const double n = static_cast<double>(kOld) * static_cast<double>(state.iterations());
  state.counters["unlink_below_us"] = Micros(below) / n;
  state.counters["unlink_us"] = Micros(plain) / n;
  state.counters["log_line_us"] = Micros(line) / n;
  state.counters["log_path_time_us"] = Micros(path_and_time) / n;
  state.counters["log_append_us"] = Micros(append) / n;
  state.counters["local_time_us"] = Micros(local_time) / n;
  state.counters["held_log_line_us"] = Micros(held_line) / n;
  // Per file that leaves its folder with entries.
  const double stays = n - static_cast<double>(folders);
  state.counters["trial_removal_us"] = Micros(trial) / stays;
  state.counters["trial_removal_below_us"] = Micros(trial_below) / stays;
  state.counters["has_entries_us"] = Micros(has_entries) / n;
  state.counters["folder_removal_us"] =
      folders > 0 ? Micros(removal) / static_cast<double>(folders) : 0;
  state.counters["remover_setup_us"] = Micros(setup) / static_cast<double>(state.iterations());
  state.SetLabel(confined ? "privileged" : "unprivileged");
}
BENCHMARK(BM_DeletionSteps)
    ->ArgName("per_folder")
    ->Arg(40)
    ->Arg(1000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Registers one file again and again through the entry point, in a process
// with a worker thread, from `ready` until `stop` is closed; then writes the
// times (microseconds) to `out`. Runs in a child process.
[[noreturn]] void RegisterUntilStopped(const std::string& file, int ready, int stop, int out) {
  StdoutSilencer quiet;
  std::vector<double> us;
  us.reserve(1 << 20);
  int code = api::Initialize(1) == 1 && api::AddFileA(file.c_str(), 0) == 1 ? 0 : 1;
  const char c = 'r';
  if (::write(ready, &c, 1) != 1) code = 1;
  struct pollfd p = {stop, POLLIN, 0};
  while (code == 0 && ::poll(&p, 1, 0) == 0) {
    const auto a = Clock::now();
    if (api::AddFileA(file.c_str(), 0) != 1) code = 1;
    us.push_back(Micros(Clock::now() - a));
  }
  const size_t n = us.size();
  if (::write(out, &n, sizeof(n)) != static_cast<ssize_t>(sizeof(n))) code = 1;
  for (size_t at = 0; at < n;) {
    const ssize_t w = ::write(out, us.data() + at, (n - at) * sizeof(double));
    if (w <= 0) break;
    at += static_cast<size_t>(w) / sizeof(double);
  }
  api::UnInitialize();
  ::_exit(code);
}

bool ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A pass (ShrinkCache with CachedFileRemover) deleting 20,000 files, against
// the floor measured in the same run. range(0): files per folder; range(1):
// 1 when another process registers through the entry point meanwhile (its
// registration times are reported); range(2): 1 when the files were written
// to the disk before (the pass and the floor then free disk blocks).
void BM_PassDeletionRate(benchmark::State& state) {
  const int per_folder = static_cast<int>(state.range(0));
  const bool registrar = state.range(1) == 1;
  const bool written_out = state.range(2) == 1;
  Layout layout(per_folder);
  const std::string mine = layout.data() + "/mine.bin";
  WriteFile(mine, 100);
  double pass_seconds = 0, floor_seconds = 0;
  std::vector<double> us;
  StdoutSilencer quiet;
  for (auto _ : state) {
    if (!layout.CreateFiles(written_out)) {
      state.SkipWithError("cannot create the files");
      break;
    }
    layout.FillIndex();
    {
      // The filled index on the disk: its writeback is no part of the pass.
      const int fd = ::open(layout.index_path().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) ::fsync(fd);
      if (fd >= 0) ::close(fd);
    }
    int ready[2], stop[2], out[2];
    pid_t child = -1;
    if (registrar) {
      if (::pipe(ready) != 0 || ::pipe(stop) != 0 || ::pipe(out) != 0) break;
      std::fflush(stdout);
      child = ::fork();
      if (child == 0) {
        // Only the parent's close of its write end may end the loop.
        for (int fd : {ready[0], stop[1], out[0]}) ::close(fd);
        RegisterUntilStopped(mine, ready[1], stop[0], out[1]);
      }
      for (int fd : {ready[1], stop[0], out[1]}) ::close(fd);
      char c;
      if (!ReadAll(ready[0], &c, 1)) state.SkipWithError("the registering process failed");
    }
    bool ok = true;
    {
      IndexFile index(layout.index_path(),
                      MakeSettings(static_cast<int64_t>(kLimitMib) << 20, 20, 300));
      const auto start = Clock::now();
      const PassOutcome outcome = index.ShrinkCache(CachedFileRemover());
      pass_seconds = std::chrono::duration<double>(Clock::now() - start).count();
      ok = outcome.freed == kOld && !layout.AnyLeft();
    }
    if (registrar) {
      ::close(stop[1]);
      size_t n = 0;
      if (ReadAll(out[0], &n, sizeof(n))) {
        us.resize(n);
        if (!ReadAll(out[0], us.data(), n * sizeof(double))) us.clear();
      }
      int status = 0;
      ::waitpid(child, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 && !us.empty();
      for (int fd : {ready[0], out[0]}) ::close(fd);
    }
    state.SetIterationTime(pass_seconds);
    if (!ok) {
      state.SkipWithError("the pass did not delete exactly the 20,000 files");
      break;
    }
    if (!layout.CreateFiles(written_out)) break;
    floor_seconds = FloorSecondsPerFile(layout);
  }
  const double pass_rate = kOld / pass_seconds;
  state.counters["pass_files/s"] = pass_rate;
  state.counters["pass_us/file"] = pass_seconds * 1e6 / kOld;
  state.counters["floor_us/file"] = floor_seconds * 1e6;
  state.counters["rate/floor"] = pass_rate * floor_seconds;
  if (!us.empty()) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) {
      return us[std::min(us.size() - 1, static_cast<size_t>(q * static_cast<double>(us.size())))];
    };
    state.counters["reg_p50_us"] = at(0.50);
    state.counters["reg_p99_us"] = at(0.99);
    state.counters["reg_p999_us"] = at(0.999);
    state.counters["reg_max_us"] = us.back();
    state.counters["registrations"] = static_cast<double>(us.size());
  }
  state.SetLabel(platform::env().ProcessPrivileges().elevated ? "privileged" : "unprivileged");
}
BENCHMARK(BM_PassDeletionRate)
    ->ArgNames({"per_folder", "registrar", "written_out"})
    ->ArgsProduct({{40, 1000}, {0, 1}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
}  // namespace stow
