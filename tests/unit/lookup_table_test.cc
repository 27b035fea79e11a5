// The lookup table against a model of the list, with a second holder that
// keeps no table (as a process of another version), and the eviction pass
// that lets go of the lock between batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fault_env.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::IndexNow;
using testing_support::kMiB;
using testing_support::MakeRecord;
using testing_support::ValidPaths;

class LookupTableTest : public testing_support::IndexTest {};

// Random registrations, refreshes, size changes and removals, made in turn
// by a holder that keeps the table and one that does not: after every step
// the list is exactly what the model says, so no lookup ever answered
// "absent" for a listed path (that would list it twice) or "listed" for a
// path that is not.
TEST_F(LookupTableTest, AgreesWithAModelWhileAnotherHolderLeavesItStale) {
  testing_support::FaultEnv env;  // outlives both holders, whose locks it made
  env.open_shared_file_error = platform::kErrorAccessDenied;
  env.open_shared_file_suffix = kLookupFileName;
  std::unique_ptr<IndexFile> other = Open();  // no table: like a process of another version
  env.open_shared_file_error = 0;
  std::mt19937 random(12345);
  std::list<std::pair<std::string, uint32_t>> model;  // head first
  int64_t bytes = 0;
  for (int step = 0; step < 3000; ++step) {
    IndexFile& by = random() % 3 == 0 ? *other : *index_;
    const std::string path = "p" + std::to_string(random() % 300);
    const auto it =
        std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == path; });
    if (random() % 4 == 0) {
      by.RemoveAll([&](const char* p) { return path == p; });
      if (it != model.end()) {
        bytes -= it->second;
        model.erase(it);
      }
    } else {
      const uint32_t size = 1 + random() % 5;
      ASSERT_TRUE(by.AddFile(MakeRecord(path, size), 0));
      if (it != model.end()) {
        bytes -= it->second;
        model.erase(it);
      }
      model.emplace_front(path, size);
      bytes += size;
    }
    std::vector<std::string> expected;
    for (const auto& e : model) expected.push_back(e.first);
    ASSERT_EQ(ValidPaths(*index_), expected) << "step " << step;
    ASSERT_EQ(H().TotalFileCount, static_cast<int32_t>(model.size()));
    ASSERT_EQ(H().CacheSize, bytes);
  }
  EXPECT_TRUE(LogHas("Lookup table rebuilt: "));
}

// A block renamed behind the table's back, with the header untouched: the
// table still names the block for the old path, but the block no longer
// holds it, so the lookup does not report the old path listed.
TEST_F(LookupTableTest, AnswerIsCheckedAgainstTheBlock) {
  ASSERT_TRUE(Add("a", 1));
  ASSERT_TRUE(Add("b", 1));
  std::snprintf(B(0).ImageFileName, kFileNameSize, "%s", "renamed");
  ASSERT_TRUE(Add("a", 1));
  EXPECT_EQ(ValidPaths(*index_), (std::vector<std::string>{"a", "b", "renamed"}));
  EXPECT_EQ(H().TotalFileCount, 3);
}

// Two holders run passes at once over 300 files of 1 MiB (marks at 240 and
// 160 MiB), each letting go of the lock between batches: together they
// delete exactly the 141 oldest, as one pass alone would, and the cache
// ends just under the low mark.
TEST_F(LookupTableTest, TwoYieldingPassesKeepTheOrderAndDoNotOverTrim) {
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(Add("f" + std::to_string(1000 + i), kMiB));
    IndexNow() += 1;
  }
  IndexNow() += 100000;
  std::unique_ptr<IndexFile> second = Open();
  struct Pass {
    IndexFile* index;
    std::atomic<int>* deleted;
    std::vector<std::string> paths;
  };
  std::atomic<int> deleted{0};
  Pass a{index_.get(), &deleted, {}};
  Pass b{second.get(), &deleted, {}};
  auto run = [](void* arg) {
    auto* pass = static_cast<Pass*>(arg);
    pass->index->ShrinkCache([pass](const char* path) {
      pass->paths.push_back(path);
      pass->deleted->fetch_add(1);
      platform::env().SleepMs(1);
      return true;
    });
  };
  auto thread_a = platform::env().StartThread(run, &a);
  auto thread_b = platform::env().StartThread(run, &b);
  thread_a->Join();
  thread_b->Join();
  EXPECT_GT(a.paths.size(), 0u);
  EXPECT_GT(b.paths.size(), 0u);  // both took part
  EXPECT_EQ(deleted.load(), 141);
  EXPECT_EQ(H().CacheSize, 159 * kMiB);
  std::vector<std::string> all = a.paths;
  all.insert(all.end(), b.paths.begin(), b.paths.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 141u);
  for (int i = 0; i < 141; ++i) EXPECT_EQ(all[i], "f" + std::to_string(1000 + i));
}

}  // namespace
}  // namespace stow
