// A read-only check of the index lists: both lists walk cleanly from head to
// tail with back links that agree, together hold every block exactly once,
// and the header's totals are the sums over the valid list.
#pragma once

#include <cstdint>

#include "index/layout.h"

namespace stow {

struct ListReport {
  int32_t valid_count = 0;  // blocks walked in the valid list
  int64_t valid_bytes = 0;  // their sizes added up
  int32_t free_count = 0;   // blocks walked in the free list
  // Null when the lists are consistent, else what is wrong first.
  const char* problem = nullptr;
};

// Walks both lists (each walk bounded by the block count) and fills
// `report`. True when the lists and the totals are consistent.
bool CheckLists(const IndexFileHeader& header, const ImageFileBlock* blocks, ListReport* report);

}  // namespace stow
