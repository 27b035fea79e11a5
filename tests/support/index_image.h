// A copy of an index file in memory: read from disk, checked, or built and
// damaged on purpose and written back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../../src/index/layout.h"

namespace stow_test {

// The magic text a formatted index starts with.
extern const char kIndexMagicText[];

class IndexImage {
 public:
  // A freshly formatted index: no files, every block in the free list in
  // block order.
  static IndexImage Formatted();

  // Reads an index file. False unless it has exactly the index file's size.
  bool Load(const std::string& path);
  bool Save(const std::string& path) const;

  stow::IndexFileHeader& header();
  const stow::IndexFileHeader& header() const;
  stow::ImageFileBlock& block(int32_t i);
  const stow::ImageFileBlock& block(int32_t i) const;

  bool HasMagic() const;

  // Registers a file as the most recent entry, taking the head of the free
  // list, and updates the totals. The block index, or -1 when none is free.
  int32_t AddEntry(const std::string& name, uint32_t size, int32_t access_time, int64_t delay);

  // Both lists walked with bounds. Empty when they are consistent: every
  // link in range, no block visited twice, back links matching, each list
  // ending at its recorded tail, every block in exactly one list, and the
  // header totals equal to the valid list's count and bytes. Otherwise the
  // first problem found.
  std::string CheckLists() const;

  // Block indexes of the valid list from the head (most recent), at most
  // kBlockCount of them; stops at a link out of range.
  std::vector<int32_t> ValidBlocks() const;
  // Length of the free list, walked with bounds; -1 when a link leaves the
  // block range or the walk passes kBlockCount blocks.
  int32_t FreeCount() const;
  // Stored names of the valid list, from the head.
  std::vector<std::string> ValidNames() const;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace stow_test
