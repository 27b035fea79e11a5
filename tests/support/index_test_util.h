// An index of its own in the test's folder, with an injected clock.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "index/index_file.h"
#include "index_image.h"
#include "temp_dir.h"

namespace stow {
namespace testing_support {

constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kStartTime = 1700000000;

inline int64_t& IndexNow() {
  static int64_t now = kStartTime;
  return now;
}
inline int64_t IndexClock() { return IndexNow(); }

inline FileRecord MakeRecord(const std::string& path, uint32_t size) {
  FileRecord r;
  std::memset(&r, 0, sizeof(r));
  std::strncpy(r.ImageFileName, path.c_str(), sizeof(r.ImageFileName) - 1);
  r.FileSize = size;
  return r;
}

// The valid list from head to tail, bounded so that a damaged list cannot
// hang the test, and "<out of range>" after a link out of range.
inline std::vector<std::string> ValidPaths(IndexFile& index) {
  const IndexImage image = IndexImage::Of(index.header());
  std::vector<std::string> paths = image.ValidNames();
  int32_t end = kNoBlock;
  image.Walk(image.header().FirstValidBlock, &end);
  if (end != kNoBlock && !BlockInRange(end)) paths.push_back("<out of range>");
  return paths;
}

// Checks both lists and the totals as another process sees them at this
// moment: through a mapping of its own, without taking the lock (and so
// without the repair that taking it may start).
inline bool ListsConsistentInSecondMapping(const std::string& index_path) {
  std::unique_ptr<platform::SharedFile> view;
  platform::DefaultEnv().OpenSharedFile(index_path, "", kIndexFileSize, "", &view).ThrowIfFailed();
  return IndexImage::Of(view->data()).CheckLists().empty();
}

// A stand-in for the file deletion: records each path it is asked for and
// refuses those in `refuse`.
struct FakeRemover {
  std::vector<std::string> asked;
  std::vector<std::string> refuse;
  RemoveFileFn Fn() {
    return [this](const char* path) {
      asked.push_back(path);
      for (const std::string& r : refuse) {
        if (r == path) return false;
      }
      return true;
    };
  }
};

// Limit 200 MiB, precision 20 (marks at 240 and 160 MiB), delay 15 minutes.
class IndexTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    IndexNow() = kStartTime;
    ASSERT_TRUE(EnsureDirectory(cache_dir_.c_str()));
    index_path_ = cache_dir_ + platform::kSeparator + kIndexFileName;
    index_ = Open();
  }
  void TearDown() override {
    index_.reset();
    TempDirTest::TearDown();
  }
  std::unique_ptr<IndexFile> Open(CacheSettings settings = {200 * kMiB, 20, 900}) {
    auto index = std::make_unique<IndexFile>(index_path_, settings);
    index->SetClockForTesting(&IndexClock);
    return index;
  }
  bool Add(const std::string& path, int64_t size, uint32_t delay = 0) {
    return index_->AddFile(MakeRecord(path, static_cast<uint32_t>(size)), delay);
  }
  IndexFileHeader& H() { return *index_->header(); }
  ImageFileBlock& B(int32_t i) { return index_->blocks()[i]; }

  std::string index_path_;
  std::unique_ptr<IndexFile> index_;
};

}  // namespace testing_support
}  // namespace stow
