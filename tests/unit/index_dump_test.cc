#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "index/index_dump.h"
#include "index/index_file.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::ReadWholeFile;
using testing_support::TextModeBytes;

using IndexDumpTest = testing_support::IndexTest;

// The dump as text-mode output would hold it before line-end translation.
// clang-format off
std::string HeaderText(const std::string& size, const std::string& count, const std::string& first,
                       const std::string& last, const std::string& first_free) {
  return "\nDump Index File Header (v2.0)...\n\n"
         "\t\tIndex File Header...\t\t\t\n"
         "\t\tCahceSize:              " + size + ",\t\n"
         "\t\tTotalFileCount          " + count + ",\t\t\n"
         "\t\tImageFileBlockOffset:   1000,\t\t\n"
         "\t\tImageFileBlockNum:      100000,\t\t\n"
         "\t\tFirstValidBlock:        " + first + ",\t\t\n"
         "\t\tLastValidBlock:         " + last + ",\t\t\n"
         "\t\tFirstInvalidBlock:      " + first_free + ",\t\t\n"
         "\t\tLastInvalidBlock:       99999,\t\t\n"
         "\t\t--------------------------------------------\n"
         "\nDump Image File Blocks...\n\n";
}

std::string BlockText(const std::string& num, const std::string& name, const std::string& size,
                      const std::string& left, const std::string& right) {
  return "\t\t\tNum:            " + num + ",\t\t\n"
         "\t\t\tImageFileName:  " + name + ",\t\t\n"
         "\t\t\tFileSize:       " + size + ",\t\t\n"
         "\t\t\tDelay:          600,\t\n"
         "\t\t\tLeftNode:       " + left + ",\t\t\n"
         "\t\t\tRightNode:      " + right + ",\t\t\n"
         "\t\t\t------------------------------------\n";
}
// clang-format on

TEST_F(IndexDumpTest, EmptyIndex) {
  const std::string path = dir_.Sub("Index.Dmp");
  index_->DumpToFile(path.c_str());
  EXPECT_EQ(ReadWholeFile(path), TextModeBytes(HeaderText("0", "0", "-1", "-1", "0")));
}

TEST_F(IndexDumpTest, FilesFromMostRecentWithTheirLinks) {
  ASSERT_TRUE(Add("a", 100, 600));
  ASSERT_TRUE(Add("b", 2000000, 600));
  ASSERT_TRUE(Add("c", 3, 600));
  const std::string path = dir_.Sub("Index.Dmp");
  testing_support::WriteWholeFile(path, std::string(5000, '#'));  // replaced, not appended to
  index_->DumpToFile(path.c_str());
  EXPECT_EQ(ReadWholeFile(path), TextModeBytes(HeaderText("2000103", "3", "2", "0", "3") +
                                               BlockText("2", "c", "3", "-1", "1") +
                                               BlockText("1", "b", "2000000", "2", "0") +
                                               BlockText("0", "a", "100", "1", "-1")));
}

// The dump as it was made straight from the mapped index, before the copy
// taken under the lock: the dump must stay the same byte for byte.
std::string DirectDump(const IndexFileHeader& h, const ImageFileBlock* blocks, bool* damaged) {
  std::string text = "\nDump Index File Header (v2.0)...\n\n";
  char buffer[1024];
  std::snprintf(buffer, sizeof(buffer),
                "\t\tIndex File Header...\t\t\t\n\t\tCahceSize:              %" PRId64
                ",\t\n\t\tTotalFileCount          %d,\t\t\n\t\tImageFileBlockOffset:   %d,\t\t\n"
                "\t\tImageFileBlockNum:      %d,\t\t\n\t\tFirstValidBlock:        %d,\t\t\n"
                "\t\tLastValidBlock:         %d,\t\t\n\t\tFirstInvalidBlock:      %d,\t\t\n"
                "\t\tLastInvalidBlock:       %d,\t\t\n"
                "\t\t--------------------------------------------\n",
                h.CacheSize, h.TotalFileCount, h.ImageFileBlockOffset, h.ImageFileBlockNum,
                h.FirstValidBlock, h.LastValidBlock, h.FirstInvalidBlock, h.LastInvalidBlock);
  text += buffer;
  text += "\nDump Image File Blocks...\n\n";
  int32_t i = h.FirstValidBlock;
  for (int32_t steps = 0, prev = kNoBlock; i != kNoBlock; ++steps) {
    if (steps >= kBlockCount || !BlockInRange(i) || blocks[i].LeftNode != prev) {
      *damaged = true;
      break;
    }
    const ImageFileBlock& b = blocks[i];
    std::snprintf(buffer, sizeof(buffer),
                  "\t\t\tNum:            %d,\t\t\n\t\t\tImageFileName:  %.*s,\t\t\n"
                  "\t\t\tFileSize:       %d,\t\t\n\t\t\tDelay:          %" PRId64
                  ",\t\n\t\t\tLeftNode:       %d,\t\t\n\t\t\tRightNode:      %d,\t\t\n"
                  "\t\t\t------------------------------------\n",
                  i, static_cast<int>(kFileNameSize), b.ImageFileName,
                  static_cast<int32_t>(b.FileSize), b.Delay, b.LeftNode, b.RightNode);
    text += buffer;
    prev = i;
    i = b.RightNode;
  }
  return text;
}

// Each case changes an index of 300 entries, a list longer than the walk
// follows on the index itself (block 20 lies past that stretch, block 120
// within it). The most recent 64, from which the copy's room is sized, have
// short names, the rest long ones, more than that room holds. The copied
// dump, made at once or through the file, must match the direct one.
TEST_F(IndexDumpTest, SameBytesAsTheDumpMadeStraightFromTheIndex) {
  struct Case {
    const char* what;
    std::function<void(IndexFileHeader&, ImageFileBlock*)> change;
    bool damaged;
  };
  const std::vector<Case> cases = {
      {"as registered", [](IndexFileHeader&, ImageFileBlock*) {}, false},
      {"names filling their field, sizes and delays at their limits",
       [](IndexFileHeader& h, ImageFileBlock* b) {
         std::memset(b[h.FirstValidBlock].ImageFileName, 'n', kFileNameSize);
         std::memset(b[h.LastValidBlock].ImageFileName, 0, kFileNameSize);
         b[h.LastValidBlock].FileSize = 0xFFFFFFFFu;
         b[h.LastValidBlock].Delay = INT64_MIN;
         b[150].Delay = -1;
         h.TotalFileCount = -3;
         h.CacheSize = INT64_MAX;
       },
       false},
      {"a link outside the blocks",
       [](IndexFileHeader&, ImageFileBlock* b) { b[20].RightNode = kBlockCount; }, true},
      {"a block that does not link back",
       [](IndexFileHeader&, ImageFileBlock* b) { b[b[120].RightNode].LeftNode = 7; }, true},
      {"a loop back to the head",
       [](IndexFileHeader& h, ImageFileBlock* b) {
         b[h.LastValidBlock].RightNode = h.FirstValidBlock;
       },
       true},
      {"the head outside the blocks",
       [](IndexFileHeader& h, ImageFileBlock*) { h.FirstValidBlock = -2; }, true},
  };
  const std::string path = dir_.Sub("Index.Dmp");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    index_.reset();
    platform::DeleteResult deleted;
    ASSERT_TRUE(platform::env().DeleteFile(index_path_.c_str(), &deleted).ok());
    index_ = Open();
    for (int k = 0; k < 300; ++k) {
      const std::string name =
          k < 236 ? std::string(200, 'a' + k % 26) + std::to_string(k) : "s" + std::to_string(k);
      ASSERT_TRUE(Add(name, 1000 * k + 1, static_cast<uint32_t>(k % 7)));
    }
    c.change(H(), &B(0));
    bool direct_damaged = false;
    const std::string expected = DirectDump(H(), &B(0), &direct_damaged);
    ASSERT_EQ(c.damaged, direct_damaged);
    bool damaged = false;
    EXPECT_EQ(expected, FormatDump(H(), &B(0), &damaged));
    EXPECT_EQ(c.damaged, damaged);
    index_->DumpToFile(path.c_str());
    EXPECT_EQ(TextModeBytes(expected), ReadWholeFile(path));
  }
}

}  // namespace
}  // namespace stow
