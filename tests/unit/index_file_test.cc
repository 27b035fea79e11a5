#include "index/index_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "index/report.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::FakeRemover;
using testing_support::IndexNow;
using testing_support::IndexTest;
using testing_support::kMiB;
using testing_support::kStartTime;
using Paths = std::vector<std::string>;

Paths Valid(IndexFile& index) { return testing_support::ValidPaths(index); }

TEST_F(IndexTest, NewIndexIsFormatted) {
  ASSERT_TRUE(index_->Flush());
  EXPECT_EQ(std::filesystem::file_size(index_path_), 28801000u);
  const std::string magic = "Tessaron Stowmaster Index File v2.0 (DO NOT MODIFY THIS FILE!)\n\n";
  const std::string disk = testing_support::ReadWholeFile(index_path_).substr(0, 512);
  EXPECT_EQ(disk, magic + std::string(512 - magic.size(), '\0'));
  const int64_t fields[] = {H().CacheSize,         H().TotalFileCount,  H().ImageFileBlockOffset,
                            H().ImageFileBlockNum, H().FirstValidBlock, H().LastValidBlock,
                            H().FirstInvalidBlock, H().LastInvalidBlock};
  EXPECT_EQ(std::vector<int64_t>(fields, fields + 8),
            (std::vector<int64_t>{0, 0, 1000, 100000, -1, -1, 0, 99999}));
  for (int32_t i = 0; i < kBlockCount; ++i) {
    ASSERT_EQ(B(i).LeftNode, i - 1) << i;
    ASSERT_EQ(B(i).RightNode, i == kBlockCount - 1 ? -1 : i + 1) << i;
  }
}

TEST_F(IndexTest, RefreshMovesToHeadAndKeepsFirstDelay) {
  ASSERT_TRUE(Add("a", 10, 600));
  IndexNow() += 1;
  ASSERT_TRUE(Add("b", 20));
  IndexNow() += 100;
  ASSERT_TRUE(Add("a", 10, 5));
  EXPECT_EQ(H().TotalFileCount, 2);
  EXPECT_EQ(H().CacheSize, 30);
  EXPECT_EQ(Valid(*index_), (Paths{"a", "b"}));
  EXPECT_EQ(B(0).Delay, 600);
  EXPECT_EQ(B(0).AccessTime, kStartTime + 101);
  EXPECT_EQ(B(1).AccessTime, kStartTime + 1);
  // Another size is the same file, rewritten: refreshed with the new size,
  // counted once. Another case is another file.
  ASSERT_TRUE(Add("b", 25));
  EXPECT_EQ(H().TotalFileCount, 2);
  EXPECT_EQ(H().CacheSize, 35);
  EXPECT_EQ(B(1).FileSize, 25u);
  EXPECT_EQ(Valid(*index_), (Paths{"b", "a"}));
  ASSERT_TRUE(Add("A", 10));
  EXPECT_EQ(H().TotalFileCount, 3);
  EXPECT_EQ(H().CacheSize, 45);
  EXPECT_EQ(Valid(*index_), (Paths{"A", "b", "a"}));
  EXPECT_FALSE(index_->CheckAndRepair());
}

TEST_F(IndexTest, RemoveAllFreesBlocksForReuseInOrderOfFreeing) {
  ASSERT_TRUE(Add("a", 1, 0xFFFFFFFFu));  // no delay protects from RemoveAll
  ASSERT_TRUE(Add("b", 2));
  ASSERT_TRUE(Add("c", 3));
  EXPECT_EQ(H().FirstValidBlock, 2);
  EXPECT_EQ(H().LastValidBlock, 0);
  FakeRemover remover;
  remover.refuse = {"c"};
  index_->RemoveAll(remover.Fn());
  EXPECT_EQ(remover.asked, (Paths{"c", "b", "a"}));
  EXPECT_EQ(Valid(*index_), (Paths{"c"}));
  EXPECT_EQ(H().CacheSize, 3);
  EXPECT_EQ(H().TotalFileCount, 1);
  // Blocks 1 and 0 joined the free list at its tail, behind 3..99999.
  EXPECT_EQ(H().FirstInvalidBlock, 3);
  EXPECT_EQ(H().LastInvalidBlock, 0);
  EXPECT_EQ(B(1).LeftNode, 99999);
  ASSERT_TRUE(Add("d", 4));
  EXPECT_STREQ(B(3).ImageFileName, "d");
  EXPECT_FALSE(index_->CheckAndRepair());
}

TEST_F(IndexTest, FullIndexRefusesNewFilesButRefreshesListedOnes) {
  // Filled directly: registering 100,000 files one by one takes quadratic time.
  for (int32_t i = 0; i < kBlockCount; ++i) {
    std::snprintf(B(i).ImageFileName, kFileNameSize, "f%d", i);
    B(i).FileSize = 1;
    B(i).AccessTime = static_cast<int32_t>(kStartTime);
    B(i).LeftNode = i - 1;
    B(i).RightNode = i + 1 < kBlockCount ? i + 1 : -1;
  }
  H().FirstValidBlock = 0;
  H().LastValidBlock = kBlockCount - 1;
  H().FirstInvalidBlock = H().LastInvalidBlock = -1;
  H().TotalFileCount = kBlockCount;
  H().CacheSize = kBlockCount;
  ASSERT_FALSE(index_->CheckAndRepair());

  const IndexFileHeader before = H();
  EXPECT_FALSE(Add("new", 1));
  // The lookup table, stale after the direct fill, was rebuilt with a new
  // mark of the valid list; nothing else changed.
  IndexFileHeader after = H();
  after.ListedMark = before.ListedMark;
  EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
  IndexNow() += 50;
  EXPECT_TRUE(Add("f99999", 1));
  EXPECT_EQ(H().FirstValidBlock, 99999);
  EXPECT_EQ(H().LastValidBlock, 99998);
  EXPECT_EQ(B(99999).AccessTime, kStartTime + 50);
  EXPECT_FALSE(index_->CheckAndRepair());
}

// A repair drops an entry only while the proof read with its copy holds.
// The clock stands still: a registration again is of the same second and
// size, so only the change stamp tells it apart. "c" is at the head.
TEST_F(IndexTest, RepairHoldsOnlyWhileTheProofReadWithTheCopyHolds) {
  struct Case {
    const char* what;
    std::function<void()> before_copy, after_copy;
    const char* kept;  // the entries the repair must leave, from the head
  };
  const auto nothing = [] {};
  const auto stale = [this] { H().ListedMark += 1; };  // the table no longer in sync
  const auto again = [this](const char* p) { return [this, p] { Add(p, 10); }; };
  const std::string table_path = cache_dir_ + platform::kSeparator + kLookupFileName;
  // The table file found blank (as a user may leave it), and every entry
  // registered again in the same second: the new table counts its epochs
  // and stamps from the start again, to the very numbers of the proofs.
  const auto blank_table_then_all_again = [this, &table_path] {
    const std::vector<char> zeros(static_cast<size_t>(std::filesystem::file_size(table_path)));
    std::FILE* f = std::fopen(table_path.c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(zeros.size(), std::fwrite(zeros.data(), 1, zeros.size(), f));
    std::fclose(f);
    for (const char* p : {"a", "b", "c"}) Add(p, 10);
  };
  const Case cases[] = {
      {"unchanged", nothing, nothing, ""},
      {"head registered again", nothing, again("c"), "c"},
      {"middle registered again", nothing, again("b"), "b"},
      {"table stale at the copy", stale, nothing, "c b a"},
      {"table rebuilt since the copy", nothing, stale, "c b a"},
      {"table file blank since the copy, all registered again", nothing, blank_table_then_all_again,
       "c b a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    index_.reset();
    std::filesystem::remove(index_path_);
    std::filesystem::remove(table_path);
    index_ = Open();
    for (const char* p : {"a", "b", "c"}) ASSERT_TRUE(Add(p, 10));
    c.before_copy();
    std::vector<IndexFile::EntryRepair> repairs;
    int32_t reported = 0;
    ListIndex(
        index_path_, CacheSettings{200 * kMiB, 20, 900}, 0, 64,
        [&](const ListedEntry& e) {
          repairs.emplace_back();
          IndexFile::EntryRepair& r = repairs.back();
          r.block = e.block;
          std::memcpy(r.path, e.path, sizeof(r.path));
          r.file_size = e.file_size;
          r.access_time = e.registered;
          r.proof = e.proof;
          r.drop = true;
          return true;
        },
        &reported);
    ASSERT_EQ(3u, repairs.size());
    c.after_copy();
    ASSERT_TRUE(index_->RepairEntries(repairs.data(), repairs.size()));
    std::string kept;
    for (const std::string& p : Valid(*index_)) kept += (kept.empty() ? "" : " ") + p;
    EXPECT_EQ(c.kept, kept);
    EXPECT_TRUE(testing_support::ListsConsistentInSecondMapping(index_path_));
  }
}

TEST_F(IndexTest, SecondHandleSharesTheIndex) {
  ASSERT_TRUE(Add("a", 1));
  ASSERT_TRUE(Add("b", 2));
  auto other = Open();
  EXPECT_EQ(Valid(*other), (Paths{"b", "a"}));
  ASSERT_TRUE(other->AddFile(testing_support::MakeRecord("c", 4), 0));
  EXPECT_EQ(Valid(*index_), (Paths{"c", "b", "a"}));
  EXPECT_EQ(H().CacheSize, 7);
}

// The index path must name a regular file: a folder, or on POSIX a link that
// could point the library at some other file, is refused.
TEST_F(IndexTest, IndexPathThatIsNoRegularFileIsRefused) {
  index_.reset();
  const std::string folder = dir_.Sub("folder");
  std::filesystem::create_directory(folder);
  EXPECT_THROW(IndexFile(folder, CacheSettings{200 * kMiB, 20, 900}), OsError);
#ifndef _WIN32
  const std::string target = dir_.Sub("target");
  testing_support::WriteWholeFile(target, "keep");
  const std::string link = dir_.Sub("link");
  std::filesystem::create_symlink(target, link);
  EXPECT_THROW(IndexFile(link, CacheSettings{200 * kMiB, 20, 900}), OsError);
  EXPECT_EQ(testing_support::ReadWholeFile(target), "keep");
#endif
}

TEST_F(IndexTest, IndexWithoutMagicIsReformatted) {
  ASSERT_TRUE(Add("a", 1));
  H().Magic[0] = 'X';
  index_ = nullptr;
  index_ = Open();
  EXPECT_EQ(std::memcmp(H().Magic, kIndexMagic, std::strlen(kIndexMagic) + 1), 0);
  EXPECT_EQ(H().TotalFileCount, 0);
  EXPECT_EQ(H().FirstValidBlock, -1);
  EXPECT_EQ(H().FirstInvalidBlock, 0);
  EXPECT_EQ(H().LastInvalidBlock, 99999);
  EXPECT_FALSE(index_->CheckAndRepair());
}

// A large list in scattered block order, as refreshes and reuse leave it:
// lookups past the first few thousand entries scan the block array, and
// freed blocks that still carry a path must not pass for listed ones.
class LargeIndexTest : public IndexTest {
 protected:
  static constexpr int32_t kListed = 60000;
  void SetUp() override {
    IndexTest::SetUp();
    std::vector<int32_t> order(kBlockCount);
    for (int32_t i = 0; i < kBlockCount; ++i) order[i] = (i * 7919) % kBlockCount;  // a permutation
    auto link = [&](int32_t from, int32_t to, int32_t* head, int32_t* tail, const char* prefix) {
      for (int32_t k = from; k < to; ++k) {
        ImageFileBlock& b = B(order[k]);
        std::snprintf(b.ImageFileName, kFileNameSize, "%s%d", prefix, k);
        b.FileSize = 1;
        b.LeftNode = k == from ? -1 : order[k - 1];
        b.RightNode = k + 1 == to ? -1 : order[k + 1];
      }
      *head = order[from];
      *tail = order[to - 1];
    };
    link(0, kListed, &H().FirstValidBlock, &H().LastValidBlock, "f");
    link(kListed, kBlockCount, &H().FirstInvalidBlock, &H().LastInvalidBlock, "stale");
    H().TotalFileCount = kListed;
    H().CacheSize = kListed;
    ASSERT_FALSE(index_->CheckAndRepair());
  }
  int32_t BlockOf(int32_t k) { return (k * 7919) % kBlockCount; }
};

TEST_F(LargeIndexTest, DeepEntryIsRefreshedNotDuplicated) {
  EXPECT_TRUE(Add("f50000", 1));
  EXPECT_EQ(H().TotalFileCount, kListed);
  EXPECT_EQ(H().FirstValidBlock, BlockOf(50000));
  // The same path with another size is the same file, rewritten.
  EXPECT_TRUE(Add("f40000", 2));
  EXPECT_EQ(H().TotalFileCount, kListed);
  EXPECT_EQ(H().FirstValidBlock, BlockOf(40000));
  EXPECT_EQ(H().CacheSize, kListed + 1);
  EXPECT_FALSE(index_->CheckAndRepair());
}

TEST_F(LargeIndexTest, FreedBlockWithTheSamePathIsNotListed) {
  const int32_t stale = BlockOf(kBlockCount - 1);  // tail of the free list
  EXPECT_TRUE(Add("stale99999", 1));
  EXPECT_EQ(H().TotalFileCount, kListed + 1);
  EXPECT_NE(H().FirstValidBlock, stale);
  EXPECT_EQ(H().LastInvalidBlock, stale);  // still free, still in place
  // A freed copy of a listed path does not hide the listed one either.
  std::strcpy(B(stale).ImageFileName, "f45000");
  EXPECT_TRUE(Add("f45000", 1));
  EXPECT_EQ(H().FirstValidBlock, BlockOf(45000));
  EXPECT_EQ(H().TotalFileCount, kListed + 1);
  EXPECT_FALSE(index_->CheckAndRepair());
}

TEST_F(LargeIndexTest, DuplicateEntriesRefreshTheFirstInListOrder) {
  // Only a damaged or foreign index lists a path twice: the first one in the
  // list wins, whatever the order of their blocks, and the lookup that met
  // the second has it freed, totals and all.
  ASSERT_GT(BlockOf(52000), BlockOf(51000));
  std::strcpy(B(BlockOf(52000)).ImageFileName, "f51000");
  EXPECT_TRUE(Add("f51000", 1));
  EXPECT_EQ(H().FirstValidBlock, BlockOf(51000));
  EXPECT_EQ(H().TotalFileCount, kListed - 1);
  EXPECT_EQ(H().CacheSize, kListed - 1);
  EXPECT_EQ(H().LastInvalidBlock, BlockOf(52000));
  EXPECT_FALSE(index_->CheckAndRepair());
}

// ------------------------------------------------------ damaged lists ---

// Three entries whose files exist with the registered sizes, so that a
// repair can tell them from stale names.
class DamagedIndexTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    for (const char* name : {"a", "b", "c"}) {
      testing_support::WriteWholeFile(P(name), std::string(Size(name), 'x'));
      ASSERT_TRUE(Add(P(name), Size(name)));  // blocks 0 (tail), 1, 2 (head)
    }
  }
  std::string P(const std::string& name) const { return dir_.Sub(name); }
  static int64_t Size(const std::string& name) { return name == "a" ? 1 : name == "b" ? 2 : 4; }

  // Every operation must neither crash nor hang on the damaged index and
  // leave consistent lists behind; `found_by_walk` says whether a walk of
  // the list meets the damage (and repairs it before it lets go of the
  // lock) or only a check does. A registration looks its path up in the
  // lookup table and does not walk.
  void Exercise(bool found_by_walk, Paths expected = {"new", "c", "b", "a"}) {
    IndexNow() += 100000;
    EXPECT_TRUE(Add(P("new"), 8));
    FakeRemover refuse_all;
    for (const char* name : {"a", "b", "c", "new"}) refuse_all.refuse.push_back(P(name));
    index_->RemoveAll(refuse_all.Fn());
    // Repaired before the lock was let go, not at the next lock.
    if (found_by_walk) {
      EXPECT_TRUE(testing_support::ListsConsistentInSecondMapping(index_path_));
    }
    // Each file was asked for once: the walk did not come round again.
    EXPECT_LE(refuse_all.asked.size(), 4u);
    index_->ShrinkCache(refuse_all.Fn());
    EXPECT_EQ(index_->CheckAndRepair(), !found_by_walk);
    EXPECT_FALSE(index_->CheckAndRepair());
    Paths full;
    int64_t bytes = 0;
    for (const std::string& name : expected) {
      full.push_back(P(name));
      bytes += name == "new" ? 8 : Size(name);
    }
    EXPECT_EQ(Valid(*index_), full);
    EXPECT_EQ(H().TotalFileCount, static_cast<int32_t>(expected.size()));
    EXPECT_EQ(H().CacheSize, bytes);
  }
};

// The entry cut off behind a broken link is proven by no agreeing link: it
// is kept because its seal says it is listed and whole, and the repair does
// not look at its file (a pass deals with a file gone).
TEST_F(DamagedIndexTest, LinkOutOfRange) {
  B(1).RightNode = 777777;
  Exercise(true);
}

TEST_F(DamagedIndexTest, LinkOutOfRangeKeepsASealedEntryWhoseFileIsGone) {
  B(1).RightNode = 777777;
  std::filesystem::remove(P("a"));
  Exercise(true);
}

// Unsealed (as a process that keeps no seals leaves a block it wrote) and
// cut off from the links, an entry is proven by nothing: it is freed, its
// file left on disk.
TEST_F(DamagedIndexTest, LinkOutOfRangeFreesAnUnsealedEntryNoLinkProves) {
  B(1).RightNode = 777777;
  B(0).Reserved = 0;
  Exercise(true, {"new", "c", "b"});
  EXPECT_TRUE(std::filesystem::exists(P("a")));
}

TEST_F(DamagedIndexTest, CycleInValidList) {
  B(0).RightNode = 2;  // the tail links back to the head
  Exercise(true);
}

TEST_F(DamagedIndexTest, BlockInNeitherList) {
  B(4).RightNode = 6;  // block 5 drops out of the free list
  B(6).LeftNode = 4;
  Open();  // opening checks the lists and repairs them
  EXPECT_FALSE(index_->CheckAndRepair());
  B(10).RightNode = 12;
  B(12).LeftNode = 10;
  H().LockMarker = 1;  // as a holder that died mid-change leaves it
  Exercise(true);      // the next holder checks the lists
}

TEST_F(DamagedIndexTest, WrongTotals) {
  H().TotalFileCount = 7;
  H().CacheSize = 1LL << 40;
  Exercise(false);
}

// ------------------------------------------------------------ eviction ---
// Limit 200 MiB, precision 20: high mark 240 MiB, low mark 160 MiB.

using ShrinkCacheTest = IndexTest;

TEST_F(ShrinkCacheTest, BetweenTheMarks) {
  ASSERT_TRUE(Add("one", 1));
  for (int k = 1; k <= 23; ++k) ASSERT_TRUE(Add("f" + std::to_string(k), 10 * kMiB));
  ASSERT_TRUE(Add("last", 10 * kMiB - 1));
  ASSERT_EQ(H().CacheSize, 240 * kMiB);
  IndexNow() += 1000;
  FakeRemover remover;
  index_->ShrinkCache(remover.Fn());
  EXPECT_TRUE(remover.asked.empty());

  ASSERT_TRUE(Add("extra", 1));
  index_->ShrinkCache(remover.Fn());
  // "one" brings it to 240 MiB, f1..f8 to exactly 160 MiB, which is not yet
  // below the low mark: f9 goes too.
  EXPECT_EQ(remover.asked, (Paths{"one", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9"}));
  EXPECT_EQ(H().CacheSize, 150 * kMiB);
  EXPECT_EQ(H().TotalFileCount, 16);
  EXPECT_EQ(Valid(*index_).back(), "f10");
}

TEST_F(ShrinkCacheTest, RespectsBothDelays) {
  ASSERT_TRUE(Add("young", 241 * kMiB));
  FakeRemover remover;
  IndexNow() = kStartTime - 10;  // a clock set back: the age is negative, not huge
  index_->ShrinkCache(remover.Fn());
  IndexNow() = kStartTime + 600;  // 10 minutes old, setting 15 minutes
  index_->ShrinkCache(remover.Fn());
  EXPECT_TRUE(remover.asked.empty());
  IndexNow() = kStartTime + 900;
  index_->ShrinkCache(remover.Fn());
  EXPECT_EQ(remover.asked, (Paths{"young"}));

  index_ = Open({200 * kMiB, 20, 300});
  ASSERT_TRUE(Add("own", 241 * kMiB, 3600));
  IndexNow() += 600;  // past the setting, not past its own delay
  index_->ShrinkCache(remover.Fn());
  EXPECT_EQ(remover.asked.size(), 1u);
  IndexNow() += 3000;
  index_->ShrinkCache(remover.Fn());
  EXPECT_EQ(remover.asked, (Paths{"young", "own"}));
}

TEST_F(ShrinkCacheTest, PassesOverProtectedAndRefusedFiles) {
  index_ = Open({200 * kMiB, 20, 300});
  ASSERT_TRUE(Add("protected", 100 * kMiB, 3600));
  ASSERT_TRUE(Add("refused", 100 * kMiB));
  ASSERT_TRUE(Add("plain", 50 * kMiB));
  IndexNow() += 600;
  FakeRemover remover;
  remover.refuse = {"refused"};
  index_->ShrinkCache(remover.Fn());
  EXPECT_EQ(remover.asked, (Paths{"refused", "plain"}));
  EXPECT_EQ(Valid(*index_), (Paths{"refused", "protected"}));
  EXPECT_EQ(H().CacheSize, 200 * kMiB);
}

TEST_F(ShrinkCacheTest, OwnDelayOf2To31IsNeverReached) {
  ASSERT_TRUE(Add("forever", 130 * kMiB, 0x80000000u));
  ASSERT_TRUE(Add("max", 130 * kMiB, 0xFFFFFFFFu));
  ASSERT_TRUE(Add("long", 130 * kMiB, 0x7FFFFFFFu));
  IndexNow() = kStartTime + 0x7FFFFFFF;  // the largest age 32-bit times can tell
  FakeRemover remover;
  index_->ShrinkCache(remover.Fn());
  EXPECT_EQ(remover.asked, (Paths{"long"}));
}

}  // namespace
}  // namespace stow
