#include "bench_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>

#include "index/block_seal.h"

namespace stow {
namespace bench {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/stow_bench.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  ::nftw(
      path_.c_str(),
      [](const char* p, const struct stat*, int type, struct FTW*) {
        return type == FTW_DP ? ::rmdir(p) : ::unlink(p);
      },
      16, FTW_DEPTH | FTW_PHYS);
}

CacheSettings MakeSettings(int64_t cache_size, int32_t precision, int64_t delay) {
  CacheSettings s;
  s.CacheSize = cache_size;
  s.Precision = precision;
  s.Delay = delay;
  return s;
}

void FillIndex(IndexFile& index, int32_t n, BlockOrder order, const DescribeEntry& describe) {
  IndexFileHeader* h = index.header();
  ImageFileBlock* b = index.blocks();
  std::vector<int32_t> list(static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) list[k] = n - 1 - k;
  if (order == BlockOrder::kShuffled) {
    std::mt19937 rng(12345);
    std::shuffle(list.begin(), list.end(), rng);
  }
  int64_t bytes = 0;
  for (int32_t pos = 0; pos < n; ++pos) {
    ImageFileBlock& block = b[list[pos]];
    std::memset(block.ImageFileName, 0, sizeof(block.ImageFileName));
    block.FileSize = 0;
    block.AccessTime = 0;
    block.Reserved = 0;
    block.Delay = 0;
    describe(pos, &block);
    bytes += block.FileSize;
    block.LeftNode = pos == 0 ? kNoBlock : list[pos - 1];
    block.RightNode = pos + 1 == n ? kNoBlock : list[pos + 1];
  }
  for (int32_t i = n; i < kBlockCount; ++i) {
    b[i].LeftNode = i == n ? kNoBlock : i - 1;
    b[i].RightNode = i + 1 == kBlockCount ? kNoBlock : i + 1;
  }
  h->FirstValidBlock = n == 0 ? kNoBlock : list.front();
  h->LastValidBlock = n == 0 ? kNoBlock : list.back();
  h->FirstInvalidBlock = n == kBlockCount ? kNoBlock : n;
  h->LastInvalidBlock = n == kBlockCount ? kNoBlock : kBlockCount - 1;
  h->CacheSize = bytes;
  h->TotalFileCount = n;
  // Sealed as this release's writers leave them, so that an opener that
  // rebuilds the lists from the seals keeps them.
  if (h->ListedMark == 0) h->ListedMark = 1;
  for (int32_t pos = 0; pos < n; ++pos) {
    b[list[pos]].Reserved = ListedSeal(h->ListedMark, b[list[pos]]);
  }
}

DescribeEntry PlainEntries(const std::string& folder, int32_t access_time) {
  return [folder, access_time](int32_t pos, ImageFileBlock* block) {
    std::snprintf(block->ImageFileName, sizeof(block->ImageFileName), "%s/file_%06d.bin",
                  folder.c_str(), static_cast<int>(pos));
    block->FileSize = 4096 + static_cast<uint32_t>(pos % 1000);
    block->AccessTime = access_time;
  };
}

void PopHeadToFreeList(IndexFile& index) {
  IndexFileHeader* h = index.header();
  ImageFileBlock* b = index.blocks();
  const int32_t i = h->FirstValidBlock;
  if (i == kNoBlock) return;
  const int32_t next = b[i].RightNode;
  h->FirstValidBlock = next;
  if (next == kNoBlock) {
    h->LastValidBlock = kNoBlock;
  } else {
    b[next].LeftNode = kNoBlock;
  }
  h->CacheSize -= b[i].FileSize;
  h->TotalFileCount -= 1;
  b[i].LeftNode = kNoBlock;
  b[i].RightNode = h->FirstInvalidBlock;
  if (h->FirstInvalidBlock == kNoBlock) {
    h->LastInvalidBlock = i;
  } else {
    b[h->FirstInvalidBlock].LeftNode = i;
  }
  h->FirstInvalidBlock = i;
}

FileRecord MakeRecord(const std::string& path, uint32_t size) {
  FileRecord r;
  std::memset(&r, 0, sizeof(r));
  std::snprintf(r.ImageFileName, sizeof(r.ImageFileName), "%s", path.c_str());
  r.FileSize = size;
  return r;
}

bool WriteSettingsFile(const std::string& path, const std::string& cache_folder,
                       const std::string& log_folder) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(f, "[Cache]\nCacheDir=%s\n[Log]\nLogPath=%s\n", cache_folder.c_str(),
               log_folder.c_str());
  return std::fclose(f) == 0;
}

CaseSettings::CaseSettings(const TempDir& dir, const std::string& cache,
                           const std::string& file_folders, int limit_mib, int delay_minutes,
                           const std::string& log) {
  const std::string path = dir.Join("TESSARON.INI");
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f != nullptr) {
    std::fprintf(f,
                 "[Cache]\nCacheDir=%s\nFileFolders=%s\nCacheSize=%d\nDelay=%d\n"
                 "[Log]\nLogPath=%s\n",
                 cache.c_str(), file_folders.c_str(), limit_mib, delay_minutes, log.c_str());
    std::fclose(f);
  }
  SetSettingsFileForTesting(path);
}

CaseSettings::~CaseSettings() { SetSettingsFileForTesting(""); }

bool WriteFile(const std::string& path, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<char> data(size, 'x');
  const bool ok = size == 0 || ::write(fd, data.data(), size) == static_cast<ssize_t>(size);
  return ::close(fd) == 0 && ok;
}

Percentiles ComputePercentiles(std::vector<double> samples) {
  if (samples.empty()) return {0, 0};
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    size_t k = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(k, samples.size() - 1)];
  };
  return {at(0.50), at(0.99)};
}

StdoutSilencer::StdoutSilencer() {
  std::fflush(stdout);
  saved_ = ::dup(STDOUT_FILENO);
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    ::dup2(null_fd, STDOUT_FILENO);
    ::close(null_fd);
  }
}

StdoutSilencer::~StdoutSilencer() {
  std::fflush(stdout);
  if (saved_ >= 0) {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
}

}  // namespace bench
}  // namespace stow
