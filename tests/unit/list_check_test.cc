// The read-only list checker: each kind of damage is named, and a sound
// index passes with its counts.
#include "index/list_check.h"
#include "index/block_seal.h"
#include "platform/crc32c.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace stow {
namespace {

// A formatted index in memory with `valid` blocks 0, 1, 2... on the valid
// list (block 0 at the head), `size` bytes each.
struct Image {
  explicit Image(int32_t valid, uint32_t size = 10) : blocks(kBlockCount) {
    header = IndexFileHeader();
    header.ImageFileBlockOffset = kHeaderRegionSize;
    header.ImageFileBlockNum = kBlockCount;
    auto link = [&](int32_t from, int32_t to, int32_t* head, int32_t* tail) {
      *head = from < to ? from : kNoBlock;
      *tail = from < to ? to - 1 : kNoBlock;
      for (int32_t i = from; i < to; ++i) {
        blocks[i].LeftNode = i == from ? kNoBlock : i - 1;
        blocks[i].RightNode = i + 1 == to ? kNoBlock : i + 1;
      }
    };
    link(0, valid, &header.FirstValidBlock, &header.LastValidBlock);
    link(valid, kBlockCount, &header.FirstInvalidBlock, &header.LastInvalidBlock);
    for (int32_t i = 0; i < valid; ++i) blocks[i].FileSize = size;
    header.TotalFileCount = valid;
    header.CacheSize = static_cast<int64_t>(valid) * size;
  }
  std::string Problem() {
    ListReport report;
    const bool ok = CheckLists(header, blocks.data(), &report);
    EXPECT_EQ(ok, report.problem.empty());
    return report.problem;
  }
  IndexFileHeader header;
  std::vector<ImageFileBlock> blocks;
};

TEST(ListCheckTest, SoundIndexPassesWithItsCounts) {
  Image image(3, 7);
  ListReport report;
  EXPECT_TRUE(CheckLists(image.header, image.blocks.data(), &report));
  EXPECT_EQ(3, report.valid_count);
  EXPECT_EQ(21, report.valid_bytes);
  EXPECT_EQ(kBlockCount - 3, report.free_count);
  EXPECT_EQ("", report.problem);
  EXPECT_TRUE(CheckLists(Image(0).header, Image(0).blocks.data(), nullptr));
}

TEST(ListCheckTest, EachKindOfDamageIsNamed) {
  {
    Image image(3);
    image.blocks[1].RightNode = kBlockCount;  // out of range
    EXPECT_EQ("valid list: link to block 100000 outside 0..99999 after block 1", image.Problem());
  }
  {
    Image image(3);
    image.blocks[2].RightNode = 0;  // a loop back to the head
    EXPECT_EQ("valid list: block 0 is reached twice", image.Problem());
  }
  {
    Image image(3);
    image.blocks[2].LeftNode = 0;
    EXPECT_EQ("valid list: block 2 links back to 0 instead of 1", image.Problem());
  }
  {
    Image image(3);
    image.header.LastValidBlock = 1;
    EXPECT_EQ("valid list: ends at block 2 but the header names 1 as its tail", image.Problem());
  }
  {
    Image image(3);
    image.header.LastInvalidBlock = 5;
    EXPECT_EQ("free list: ends at block 99999 but the header names 5 as its tail", image.Problem());
  }
  {
    // Block 3 cut out of the free list: on neither list.
    Image image(3);
    image.header.FirstInvalidBlock = 4;
    image.blocks[4].LeftNode = kNoBlock;
    EXPECT_EQ("1 blocks are on neither list", image.Problem());
  }
  {
    Image image(3);
    image.header.TotalFileCount = 4;
    EXPECT_EQ("TotalFileCount is 4 but the valid list holds 3 blocks", image.Problem());
  }
  {
    Image image(3);
    image.header.CacheSize += 1;
    EXPECT_EQ("CacheSize is 31 but the valid list holds 30 bytes", image.Problem());
  }
  {
    Image image(3);
    image.header.ImageFileBlockNum = 5;
    EXPECT_EQ("ImageFileBlockNum is 5", image.Problem());
  }
  {
    // The same path twice on the valid list; empty names and a name without
    // a terminator name no path, and a free block's name does not count.
    Image image(4);
    for (int32_t i : {0, 2, 5}) std::strcpy(image.blocks[i].ImageFileName, "a");
    std::memset(image.blocks[1].ImageFileName, 'b', kFileNameSize);
    std::memset(image.blocks[3].ImageFileName, 'b', kFileNameSize);
    EXPECT_EQ("valid list: a path listed twice, by block 0 and again by block 2", image.Problem());
    std::strcpy(image.blocks[2].ImageFileName, "c");
    EXPECT_EQ("", image.Problem());
  }
  {
    // The pair named is the first a walk from the head meets, whatever the
    // blocks' order in the file: the list runs 5, 4, ... 0.
    Image image(6);
    for (int32_t i = 0; i < 6; ++i) {
      image.blocks[i].LeftNode = i == 5 ? kNoBlock : i + 1;
      image.blocks[i].RightNode = i == 0 ? kNoBlock : i - 1;
    }
    image.header.FirstValidBlock = 5;
    image.header.LastValidBlock = 0;
    for (int32_t i : {1, 4}) std::strcpy(image.blocks[i].ImageFileName, "a");
    for (int32_t i : {0, 3}) std::strcpy(image.blocks[i].ImageFileName, "x");
    EXPECT_EQ("valid list: a path listed twice, by block 4 and again by block 1", image.Problem());
  }
}

// A block on both lists: seen by the valid walk, met again by the free one.
TEST(ListCheckTest, BlockOnBothListsIsFound) {
  Image image(3);
  image.header.FirstInvalidBlock = 2;
  image.blocks[2].RightNode = kNoBlock;
  EXPECT_EQ("free list: block 2 is reached twice", image.Problem());
}

// The seal's CRC is CRC-32C as other implementations compute it (the
// standard check values), with the processor's instruction and with the
// portable table alike, in one call or continued at any cut, from any
// alignment; and a seal tells listed from free, and fails once any sealed
// byte changes.
TEST(ListCheckTest, SealsUseStandardCrc32cAndFailWhenAnyContentByteChanges) {
  using Crc = uint32_t (*)(const void*, size_t, uint32_t);
  std::vector<std::pair<const char*, Crc>> ways = {{"chosen", &platform::Crc32c},
                                                   {"portable", &platform::Crc32cPortable}};
  if (platform::HasCrc32cInstruction()) ways.emplace_back("instruction", &platform::Crc32cHardware);
  const std::vector<uint8_t> zeros(32, 0), ones(32, 0xFF);
  std::vector<uint8_t> bytes(300);
  std::mt19937 random(5);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  for (const auto& way : ways) {
    SCOPED_TRACE(way.first);
    const Crc crc = way.second;
    EXPECT_EQ(crc("123456789", 9, 0), 0xE3069283u);
    EXPECT_EQ(crc(zeros.data(), zeros.size(), 0), 0x8A9136AAu);
    EXPECT_EQ(crc(ones.data(), ones.size(), 0), 0x62A8AB43u);
    EXPECT_EQ(crc(bytes.data(), 0, 0x1234u), 0x1234u);
    for (size_t cut = 0; cut <= bytes.size(); cut += 7) {
      EXPECT_EQ(crc(bytes.data() + cut, bytes.size() - cut, crc(bytes.data(), cut, 0)),
                Crc32c(bytes.data(), bytes.size()))
          << cut;
    }
    // Every start (aligned or not) and length, the tail of 0 to 7 bytes
    // included, against the portable table.
    for (size_t at = 0; at < 9; ++at) {
      for (size_t n = 0; at + n <= 40; ++n) {
        EXPECT_EQ(crc(bytes.data() + at, n, 0xFFFF0000u),
                  platform::Crc32cPortable(bytes.data() + at, n, 0xFFFF0000u))
            << at << " " << n;
      }
    }
  }
  ImageFileBlock b;
  std::memset(&b, 0, sizeof(b));
  std::strcpy(b.ImageFileName, "C:\\cache\\a.img");
  b.FileSize = 1234;
  b.Delay = 60;
  const uint32_t mark = 77;
  b.Reserved = ListedSeal(mark, b);
  EXPECT_EQ(ReadSeal(mark, b), SealState::kListed);
  EXPECT_EQ(ReadSeal(mark + kSealMarkWindow, b), SealState::kListed);
  EXPECT_EQ(ReadSeal(mark + kSealMarkWindow + 1, b), SealState::kUnproven);
  // Neither the links nor the time are sealed.
  b.LeftNode = 5;
  b.AccessTime = 99;
  EXPECT_EQ(ReadSeal(mark, b), SealState::kListed);
  b.Reserved = FreeSeal(mark, b);
  EXPECT_EQ(ReadSeal(mark, b), SealState::kFree);
  for (size_t at : {size_t{0}, size_t{100}, size_t{259}, offsetof(ImageFileBlock, FileSize),
                    offsetof(ImageFileBlock, Delay) + 7}) {
    for (uint32_t seal : {ListedSeal(mark, b), FreeSeal(mark, b)}) {
      ImageFileBlock torn = b;
      torn.Reserved = seal;
      reinterpret_cast<uint8_t*>(&torn)[at] ^= 0x10;
      EXPECT_EQ(ReadSeal(mark, torn), SealState::kUnproven) << at;
    }
  }
}

}  // namespace
}  // namespace stow
