// An index file in memory: a copy read from disk, built and damaged on
// purpose and written back, or a view of a mapping; checked by walks of its
// own, independent of the library's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "index/layout.h"
#include "test_platform.h"

namespace stow {
namespace testing_support {

// The magic text a formatted index starts with.
constexpr char kIndexMagicText[] =
    "Tessaron Stowmaster Index File v2.0 (DO NOT MODIFY THIS FILE!)\n\n";

class IndexImage {
 public:
  // A freshly formatted index: no files, every block in the free list in
  // block order.
  static IndexImage Formatted() {
    IndexImage image;
    image.bytes_.assign(kIndexFileSize, 0);
    IndexFileHeader& h = image.header();
    std::memcpy(h.Magic, kIndexMagicText, sizeof(kIndexMagicText));
    h.ImageFileBlockOffset = kHeaderRegionSize;
    h.ImageFileBlockNum = kBlockCount;
    h.FirstValidBlock = h.LastValidBlock = kNoBlock;
    for (int32_t i = 0; i < kBlockCount; ++i) {
      image.block(i).LeftNode = i - 1;
      image.block(i).RightNode = i + 1 < kBlockCount ? i + 1 : kNoBlock;
    }
    h.FirstInvalidBlock = 0;
    h.LastInvalidBlock = kBlockCount - 1;
    return image;
  }

  // A view of the index at `data`, such as a mapping of the file.
  static IndexImage Of(void* data) {
    IndexImage image;
    image.view_ = static_cast<uint8_t*>(data);
    return image;
  }

  // Reads an index file. False unless it has exactly the index file's size.
  bool Load(const std::string& path) {
    const std::string content = ReadWholeFile(path);
    bytes_.assign(content.begin(), content.end());
    if (bytes_.size() != kIndexFileSize) bytes_.clear();
    return !bytes_.empty();
  }
  // Writes the index file and, when no lookup table file lies beside it,
  // the head of one that records this start of the machine as reconciled
  // with the disk (see MarkReconciled): the image stands for a cache in
  // use since the machine started, not one found after a restart.
  bool Save(const std::string& path) const {
    if (empty() ||
        !WriteWholeFile(path, std::string(reinterpret_cast<char*>(data()), kIndexFileSize))) {
      return false;
    }
    const std::string table = LookupPathBeside(path);
    return PathExists(table) || MarkReconciled(table, true);
  }

  // The lookup table file beside the index at `index_path`.
  static std::string LookupPathBeside(const std::string& index_path) {
    const size_t cut = index_path.find_last_of("/\\");
    return index_path.substr(0, cut == std::string::npos ? 0 : cut + 1) + "Index.Lkp";
  }
  // Where the lookup table's header keeps the start of the machine whose
  // reconciliation with the disk finished, and the claim of one under way.
  static constexpr size_t kReconciledBootOffset = 376;
  static constexpr size_t kReconcileClaimOffset = 368;
  // Writes into the lookup table file `table` (made, a header long, when
  // missing) this start of the machine as reconciled (`reconciled`) or
  // another one (a restart since).
  static bool MarkReconciled(const std::string& table, bool reconciled) {
    std::string bytes = ReadWholeFile(table);
    if (bytes.size() < 4096) bytes.resize(4096, '\0');
    uint8_t boot[16];
    if (!ThisBootId(boot)) return false;
    if (!reconciled) boot[15] ^= 0x5A;
    std::memcpy(&bytes[kReconciledBootOffset], boot, sizeof(boot));
    return WriteWholeFile(table, bytes);
  }

  IndexFileHeader& header() const { return *reinterpret_cast<IndexFileHeader*>(data()); }
  ImageFileBlock& block(int32_t i) const {
    return reinterpret_cast<ImageFileBlock*>(data() + kHeaderRegionSize)[i];
  }

  bool HasMagic() const {
    return !empty() && std::memcmp(header().Magic, kIndexMagicText, sizeof(kIndexMagicText)) == 0;
  }

  // Registers a file as the most recent entry, taking the head of the free
  // list, and updates the totals. The block index, or -1 when none is free.
  int32_t AddEntry(const std::string& name, uint32_t size, int32_t access_time, int64_t delay) {
    IndexFileHeader& h = header();
    const int32_t i = h.FirstInvalidBlock;
    if (i == kNoBlock) return kNoBlock;
    ImageFileBlock& b = block(i);
    h.FirstInvalidBlock = b.RightNode;
    (h.FirstInvalidBlock == kNoBlock ? h.LastInvalidBlock : block(b.RightNode).LeftNode) = kNoBlock;
    std::memset(b.ImageFileName, 0, sizeof(b.ImageFileName));
    std::snprintf(b.ImageFileName, sizeof(b.ImageFileName), "%s", name.c_str());
    b.FileSize = size;
    b.AccessTime = access_time;
    b.Delay = delay;
    b.LeftNode = kNoBlock;
    b.RightNode = h.FirstValidBlock;
    (h.FirstValidBlock == kNoBlock ? h.LastValidBlock : block(h.FirstValidBlock).LeftNode) = i;
    h.FirstValidBlock = i;
    h.TotalFileCount += 1;
    h.CacheSize += size;
    return i;
  }

  // Both lists walked with bounds. Empty when they are consistent: every
  // link in range, no block visited twice, back links matching, each list
  // ending at its recorded tail, every block in exactly one list, and the
  // header totals equal to the valid list's count and bytes. Otherwise the
  // first problem found.
  std::string CheckLists() const {
    if (empty()) return "no index loaded";
    const IndexFileHeader& h = header();
    std::vector<uint8_t> seen(kBlockCount, 0);
    int32_t counts[2] = {0, 0};
    int64_t valid_bytes = 0;
    const char* names[2] = {"valid", "free"};
    const int32_t heads[2] = {h.FirstValidBlock, h.FirstInvalidBlock};
    const int32_t tails[2] = {h.LastValidBlock, h.LastInvalidBlock};
    char text[160];
    for (int list = 0; list < 2; ++list) {
      int32_t prev = kNoBlock, end = kNoBlock;
      const char* problem = nullptr;
      for (int32_t i : Walk(heads[list], &end)) {
        problem = seen[i]                     ? "block met twice"
                  : block(i).LeftNode != prev ? "bad back link"
                                              : nullptr;
        if (problem != nullptr) {
          prev = i;
          break;
        }
        seen[i] = 1;
        counts[list] += 1;
        if (list == 0) valid_bytes += block(i).FileSize;
        prev = i;
      }
      if (problem == nullptr && end != kNoBlock) problem = "link out of range";
      if (problem == nullptr && tails[list] != prev) problem = "list does not end at its tail";
      if (problem != nullptr) {
        std::snprintf(text, sizeof(text), "%s list: %s at block %d", names[list], problem, prev);
        return text;
      }
    }
    if (counts[0] + counts[1] != kBlockCount) {
      std::snprintf(text, sizeof(text), "%d valid + %d free blocks, not %d", counts[0], counts[1],
                    kBlockCount);
    } else if (h.TotalFileCount != counts[0] || h.CacheSize != valid_bytes) {
      std::snprintf(text, sizeof(text), "header says %d files / %lld bytes, list has %d / %lld",
                    h.TotalFileCount, static_cast<long long>(h.CacheSize), counts[0],
                    static_cast<long long>(valid_bytes));
    } else if (h.ImageFileBlockOffset != kHeaderRegionSize || h.ImageFileBlockNum != kBlockCount) {
      return "header block offset or count changed";
    } else {
      return std::string();
    }
    return text;
  }

  // The blocks of the list from `head` in link order, at most kBlockCount
  // of them; `end` gets the link that ended the walk: kNoBlock at the end of
  // the list, else one out of range or the one after kBlockCount blocks.
  std::vector<int32_t> Walk(int32_t head, int32_t* end = nullptr) const {
    std::vector<int32_t> out;
    int32_t i = head;
    for (; BlockInRange(i) && out.size() < static_cast<size_t>(kBlockCount);
         i = block(i).RightNode) {
      out.push_back(i);
    }
    if (end != nullptr) *end = i;
    return out;
  }
  // The valid list from the head (most recent).
  std::vector<int32_t> ValidBlocks() const {
    return empty() ? std::vector<int32_t>() : Walk(header().FirstValidBlock);
  }
  // Length of the free list; -1 when it does not end within kBlockCount
  // blocks at an in-range link.
  int32_t FreeCount() const {
    int32_t end = -2;
    const size_t count = empty() ? 0 : Walk(header().FirstInvalidBlock, &end).size();
    return end == kNoBlock ? static_cast<int32_t>(count) : -1;
  }
  // Stored names of the valid list, from the head.
  std::vector<std::string> ValidNames() const {
    std::vector<std::string> out;
    for (int32_t i : ValidBlocks()) {
      const char* name = block(i).ImageFileName;
      out.emplace_back(name, strnlen(name, sizeof(block(i).ImageFileName)));
    }
    return out;
  }

 private:
  bool empty() const { return data() == nullptr; }
  uint8_t* data() const { return view_ != nullptr || bytes_.empty() ? view_ : &bytes_[0]; }

  mutable std::vector<uint8_t> bytes_;
  uint8_t* view_ = nullptr;
};

}  // namespace testing_support
}  // namespace stow
