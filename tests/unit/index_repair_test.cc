// Repair of lists damaged from outside: one wrong header field at a time,
// and a file cut short. The repair keeps what the links prove, never adopts
// freed blocks as entries, and the next pass deletes no live file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "index/block_seal.h"
#include "index/list_check.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::FakeRemover;
using testing_support::IndexNow;
using testing_support::ValidPaths;
using Paths = std::vector<std::string>;

// 40 live entries (files on disk, 100 to 139 bytes) and, on the free list
// behind the never-used blocks, 20 freed entries whose files are on disk
// again (their program wrote them anew and has not registered them yet): a
// repair that adopted a freed block would find its file and keep it.
class IndexRepairTest : public testing_support::IndexTest {
 protected:
  static constexpr int kLive = 40;
  static constexpr int kFreed = 20;

  void SetUp() override {
    IndexTest::SetUp();
    for (int i = 0; i < kLive + kFreed; ++i) {
      const std::string path = dir_.Sub("f" + std::to_string(i));
      testing_support::WriteWholeFile(path, std::string(Size(i), 'x'));
      ASSERT_TRUE(Add(path, Size(i)));
      IndexNow() += 1;
    }
    index_->RemoveAll([](const char* path) {
      const int i = std::stoi(std::filesystem::path(path).filename().string().substr(1));
      return i >= kLive;
    });
    // One freed path registered anew: its old block still names it.
    ASSERT_TRUE(Add(dir_.Sub("f" + std::to_string(kLive + 5)), Size(kLive + 5)));
    live_ = ValidPaths(*index_);
    ASSERT_EQ(live_.size(), static_cast<size_t>(kLive + 1));
    live_bytes_ = H().CacheSize;
    const uint8_t* base = reinterpret_cast<const uint8_t*>(&H());
    pristine_.assign(base, base + kIndexFileSize);
  }
  static int64_t Size(int i) { return 100 + i; }

  // Back to the state after SetUp, as if nothing had happened.
  void Restore() {
    std::memcpy(reinterpret_cast<uint8_t*>(&H()), pristine_.data(), kIndexFileSize);
  }

  // The repair after a holder died, then a pass: the valid list is the live
  // one, the totals exact, and nothing is deleted (the cache is far below
  // its marks).
  void ExpectRepaired(const std::string& what) {
    H().LockMarker = 1;
    index_->CheckAndRepair();
    EXPECT_FALSE(index_->CheckAndRepair()) << what;
    EXPECT_EQ(ValidPaths(*index_), live_) << what;
    EXPECT_EQ(H().TotalFileCount, kLive + 1) << what;
    EXPECT_EQ(H().CacheSize, live_bytes_) << what;
    FakeRemover remover;
    index_->ShrinkCache(remover.Fn());
    EXPECT_TRUE(remover.asked.empty()) << what;
  }

  Paths live_;
  int64_t live_bytes_ = 0;
  std::vector<uint8_t> pristine_;
};

TEST_F(IndexRepairTest, EachListEndSetWrongInTurn) {
  const IndexFileHeader good = H();
  const int32_t freed_block = good.LastInvalidBlock;  // a freed entry with its name
  const int32_t middle_live = B(good.FirstValidBlock).RightNode;
  const int32_t values[] = {kNoBlock,
                            freed_block,
                            good.FirstInvalidBlock,
                            good.LastInvalidBlock,
                            middle_live,
                            good.FirstValidBlock,
                            good.LastValidBlock,
                            0,
                            kBlockCount,
                            B(freed_block).LeftNode};
  int32_t IndexFileHeader::*fields[] = {
      &IndexFileHeader::FirstValidBlock, &IndexFileHeader::LastValidBlock,
      &IndexFileHeader::FirstInvalidBlock, &IndexFileHeader::LastInvalidBlock};
  for (auto field : fields) {
    for (int32_t value : values) {
      Restore();
      H().*field = value;
      ExpectRepaired("field at " +
                     std::to_string(reinterpret_cast<const char*>(&(H().*field)) -
                                    reinterpret_cast<const char*>(&H())) +
                     " set to " + std::to_string(value));
    }
  }
}

TEST_F(IndexRepairTest, TotalsAndLayoutFieldsSetWrong) {
  for (int64_t bytes : {int64_t{0}, int64_t{-1}, int64_t{1} << 40}) {
    Restore();
    H().CacheSize = bytes;
    ExpectRepaired("CacheSize " + std::to_string(bytes));
  }
  for (int32_t count : {0, -5, kBlockCount}) {
    Restore();
    H().TotalFileCount = count;
    ExpectRepaired("TotalFileCount " + std::to_string(count));
  }
  Restore();
  H().ImageFileBlockOffset = 0;
  H().ImageFileBlockNum = 5;
  ExpectRepaired("block offset and count");
}

// A valid-list link that points into the free list, and two swapped links:
// the repair neither adopts the free list nor drops live entries.
TEST_F(IndexRepairTest, LinksIntoTheOtherListOrSwapped) {
  Restore();
  B(B(H().FirstValidBlock).RightNode).RightNode = H().FirstInvalidBlock;
  ExpectRepaired("a valid link into the free list");
  // The same with the free list's tail field lost too, so that the free
  // list proves its blocks only partly.
  Restore();
  B(B(H().FirstValidBlock).RightNode).RightNode = H().LastInvalidBlock;
  H().LastInvalidBlock = kNoBlock;
  ExpectRepaired("a valid link into a broken free list");
  Restore();
  const int32_t x = B(H().FirstValidBlock).RightNode;
  const int32_t y = B(B(x).RightNode).RightNode;
  std::swap(B(x).RightNode, B(y).RightNode);
  ExpectRepaired("two forward links swapped");
}

// A freed block cut off from both sides of the free list is a block no list
// proves: its file is on disk, but its path is listed already (registered
// anew in another block), so it is freed, not listed twice.
TEST_F(IndexRepairTest, UnprovenBlockOfAListedPathIsNotListedTwice) {
  const std::string again = dir_.Sub("f" + std::to_string(kLive + 5));
  int32_t old_block = kNoBlock;
  for (int32_t i = 0; i < kBlockCount && old_block == kNoBlock; ++i) {
    if (i != H().FirstValidBlock && again == B(i).ImageFileName) old_block = i;
  }
  ASSERT_NE(old_block, kNoBlock);
  B(B(old_block).LeftNode).RightNode = 777777;
  B(B(old_block).RightNode).LeftNode = 777777;
  ExpectRepaired("a freed block cut off");
}

// A path listed twice, as another writer of the index can leave it: a freed
// block of a listed path linked back in, at the tail or at the head, with
// the totals to match. The check reports it; the repair, or a rebuild of
// the lookup table that meets it, keeps the first entry from the head and
// frees the other without deleting the file.
TEST_F(IndexRepairTest, PathListedTwiceKeepsItsFirstEntry) {
  const std::string again = dir_.Sub("f" + std::to_string(kLive + 5));
  for (bool at_head : {false, true}) {
    for (bool by_lookup : {false, true}) {
      const std::string what = std::string(at_head ? "at the head" : "at the tail") +
                               (by_lookup ? ", met by a lookup" : ", met by the check");
      Restore();
      int32_t old_block = kNoBlock;
      for (int32_t i = 0; i < kBlockCount && old_block == kNoBlock; ++i) {
        if (i != H().FirstValidBlock && again == B(i).ImageFileName) old_block = i;
      }
      ASSERT_NE(old_block, kNoBlock);
      ImageFileBlock& b = B(old_block);
      ASSERT_NE(kNoBlock, b.LeftNode);  // in the middle of the free list
      ASSERT_NE(kNoBlock, b.RightNode);
      B(b.LeftNode).RightNode = b.RightNode;
      B(b.RightNode).LeftNode = b.LeftNode;
      if (at_head) {
        b.LeftNode = kNoBlock;
        b.RightNode = H().FirstValidBlock;
        B(H().FirstValidBlock).LeftNode = old_block;
        H().FirstValidBlock = old_block;
      } else {
        b.LeftNode = H().LastValidBlock;
        b.RightNode = kNoBlock;
        B(H().LastValidBlock).RightNode = old_block;
        H().LastValidBlock = old_block;
      }
      H().TotalFileCount += 1;
      H().CacheSize += b.FileSize;
      ListReport report;
      ASSERT_FALSE(CheckLists(H(), index_->blocks(), &report)) << what;
      EXPECT_NE(std::string::npos, report.problem.find("listed twice")) << report.problem;
      const std::string table_path = cache_dir_ + platform::kSeparator + kLookupFileName;
      const uint64_t dropped = LookupTable(table_path).Counters()[Counter::kRepairDropped];
      if (by_lookup) {
        // The registration of another path finds the table stale; its
        // rebuild meets the path listed twice.
        const std::string other = dir_.Sub("other");
        LookupTable(cache_dir_ + platform::kSeparator + kLookupFileName).Begin();
        ASSERT_TRUE(Add(other, 1));
        EXPECT_TRUE(CheckLists(H(), index_->blocks(), nullptr)) << what;
        index_->RemoveAll([&](const char* path) { return other == path; });
      } else {
        EXPECT_TRUE(index_->CheckAndRepair()) << what;
      }
      ExpectRepaired(what);
      EXPECT_TRUE(std::filesystem::exists(again)) << what;
      // The second listing is counted as dropped, once.
      EXPECT_EQ(dropped + 1, LookupTable(table_path).Counters()[Counter::kRepairDropped]) << what;
    }
  }
  EXPECT_TRUE(LogHas("Entries that listed a path a second time were freed, their files kept: 1."));
}

// Lists whose every link and total agree, but that a cut stitched from
// pages of different ages, as an unclean stop leaves them: membership comes
// from the seals alone. And blocks written by a process that keeps no
// seals: kept by a repair while the links prove them, sealed again by the
// next rebuild of the lookup table, including a block it freed that kept
// its listed seal.
TEST_F(IndexRepairTest, SealsDecideAfterAnUncleanStopAndEarlierReleasesLoseNothing) {
  const auto stale_table = [this] {
    LookupTable(cache_dir_ + platform::kSeparator + kLookupFileName).Begin();
  };
  // The free list taken for the valid list, and the other way round, with
  // totals to match: the library's check calls both sound.
  Restore();
  std::swap(H().FirstValidBlock, H().FirstInvalidBlock);
  std::swap(H().LastValidBlock, H().LastInvalidBlock);
  H().TotalFileCount = kBlockCount - (kLive + 1);
  int64_t free_bytes = 0;
  for (int32_t b : testing_support::IndexImage::Of(&H()).ValidBlocks()) {
    free_bytes += B(b).FileSize;
  }
  H().CacheSize = free_bytes;
  ASSERT_TRUE(CheckLists(H(), index_->blocks(), nullptr));
  ASSERT_TRUE(index_->RebuildAfterUncleanStop());
  ExpectRepaired("the two lists swapped");

  // Every live block unsealed, as a writer that keeps no seals leaves what
  // it registered, and a list end lost: the links keep them all.
  Restore();
  for (int32_t b : testing_support::IndexImage::Of(&H()).ValidBlocks()) B(b).Reserved = 0;
  H().LastInvalidBlock = kNoBlock;
  ExpectRepaired("unsealed entries, a list end lost");
  // After an unclean stop the same blocks could be cut ones: freed, files
  // kept. Sealed again by the table's rebuild first, they stay.
  Restore();
  for (int32_t b : testing_support::IndexImage::Of(&H()).ValidBlocks()) B(b).Reserved = 0;
  ASSERT_TRUE(index_->RebuildAfterUncleanStop());
  EXPECT_TRUE(ValidPaths(*index_).empty());
  EXPECT_TRUE(std::filesystem::exists(live_.front()));
  Restore();
  for (int32_t b : testing_support::IndexImage::Of(&H()).ValidBlocks()) B(b).Reserved = 0;
  stale_table();
  ASSERT_TRUE(Add(live_.front(), Size(kLive + 5)));  // a refresh: the table is rebuilt first
  ASSERT_TRUE(index_->RebuildAfterUncleanStop());
  ExpectRepaired("unsealed entries sealed by the table's rebuild");

  // A freed entry that kept its listed seal, as a writer that keeps no
  // seals frees it: the table's rebuild seals it free, so an unclean stop
  // does not bring it back.
  Restore();
  const int32_t freed = H().LastInvalidBlock;
  ASSERT_NE(B(freed).ImageFileName[0], '\0');
  B(freed).Reserved = ListedSeal(H().ListedMark, B(freed));
  stale_table();
  ASSERT_TRUE(Add(live_.front(), Size(kLive + 5)));
  ASSERT_TRUE(index_->RebuildAfterUncleanStop());
  ExpectRepaired("a freed block with a listed seal");
}

// A file cut to 1,000 bytes keeps its header but no block: nothing is
// invented from the zero blocks it is extended with.
TEST_F(IndexRepairTest, FileCutToItsHeaderEndsWithEmptyLists) {
  index_.reset();
  std::filesystem::resize_file(index_path_, 1000);
  index_ = Open();
  EXPECT_FALSE(index_->CheckAndRepair());
  EXPECT_TRUE(ValidPaths(*index_).empty());
  EXPECT_EQ(H().TotalFileCount, 0);
  EXPECT_EQ(H().CacheSize, 0);
  EXPECT_TRUE(LogHas("rebuilt from the blocks' seals: 0 files, 0 bytes"));
}

// A file cut to 20 MB keeps the entries its intact blocks prove (all of
// them here: they lie in the first blocks); the free list, cut through, is
// made whole again.
TEST_F(IndexRepairTest, FileCutShortKeepsWhatItsIntactBlocksProve) {
  index_.reset();
  std::filesystem::resize_file(index_path_, 20000000);
  index_ = Open();
  EXPECT_FALSE(index_->CheckAndRepair());
  EXPECT_EQ(ValidPaths(*index_), live_);
  EXPECT_EQ(H().TotalFileCount, kLive + 1);
  EXPECT_EQ(H().CacheSize, live_bytes_);
  EXPECT_TRUE(LogHas("Index lists were rebuilt from the blocks' seals: 41 files"));
}

}  // namespace
}  // namespace stow
