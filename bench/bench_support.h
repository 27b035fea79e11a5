// Shared pieces of the benchmarks: a temporary folder per benchmark, an
// index filled directly through its records (registering 100,000 files one by
// one would scan the list 100,000 times), and a way to keep the library's
// stdout echo of every log line out of the results table.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "index/index_file.h"

namespace stow {
namespace bench {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

CacheSettings MakeSettings(int64_t cache_size, int32_t precision, int64_t delay);

// How the blocks of the valid list lie in memory when walked from the head.
enum class BlockOrder {
  kFill,      // n-1, n-2, ..., 0: what registering files 0..n-1 one by one leaves
  kShuffled,  // a random permutation of 0..n-1 (fixed seed)
};

// Describes the entry at `position` of the valid list (0 = most recent). The
// block's name is zeroed and its links set by the caller.
using DescribeEntry = std::function<void(int32_t position, ImageFileBlock* block)>;

// Rewrites the whole index: blocks 0..n-1 form the valid list in `order`,
// blocks n..kBlockCount-1 the free list in ascending order, and the header
// totals match. Works on an index in any state. Takes no lock: for an index
// only this process uses at the time.
void FillIndex(IndexFile& index, int32_t n, BlockOrder order, const DescribeEntry& describe);

// The usual entry: "<folder>/file_<position>.bin", 4096 + (position % 1000)
// bytes, registered at `access_time`, no delay of its own.
DescribeEntry PlainEntries(const std::string& folder, int32_t access_time);

// Undoes the registration of a new file: moves the head of the valid list to
// the front of the free list, so that the next registration takes the same
// block again. Takes no lock.
void PopHeadToFreeList(IndexFile& index);

// A record for AddFile.
FileRecord MakeRecord(const std::string& path, uint32_t size);

// Writes a settings file that puts the cache in `cache_folder` and the log in
// `log_folder`; the other values keep their defaults (CacheSize 200 MiB).
// False on failure.
// The settings file "TESSARON.INI" of one benchmark case, in `dir`, used by
// the library for as long as the object lives: the cache in `cache`, the
// folders a privileged process may delete in `file_folders`, the limit in
// MiB, the minimum age in minutes, the log in `log`.
class CaseSettings {
 public:
  CaseSettings(const TempDir& dir, const std::string& cache, const std::string& file_folders,
               int limit_mib, int delay_minutes, const std::string& log);
  ~CaseSettings();
  CaseSettings(const CaseSettings&) = delete;
  CaseSettings& operator=(const CaseSettings&) = delete;
};

// Microseconds between two readings of the steady clock.
inline double Micros(std::chrono::steady_clock::time_point a,
                     std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

bool WriteSettingsFile(const std::string& path, const std::string& cache_folder,
                       const std::string& log_folder);

// Creates (or truncates) a file of `size` bytes. False on failure.
bool WriteFile(const std::string& path, size_t size);

// Median and 99th percentile of per-call durations in nanoseconds.
struct Percentiles {
  double p50;
  double p99;
};
Percentiles ComputePercentiles(std::vector<double> samples);

// Sends fd 1 to /dev/null while it lives: the library prints the log path
// for every log line it writes, which would otherwise land in the middle of
// the results table.
class StdoutSilencer {
 public:
  StdoutSilencer();
  ~StdoutSilencer();
  StdoutSilencer(const StdoutSilencer&) = delete;
  StdoutSilencer& operator=(const StdoutSilencer&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace bench
}  // namespace stow
