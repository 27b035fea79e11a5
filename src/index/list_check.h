// A read-only check of the two block lists and the header totals, for
// inspection: it looks at the index and changes nothing. Every walk is
// bounded by the block range and by kBlockCount steps, so a damaged or
// hostile index can neither send it outside the blocks nor keep it looping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "index/layout.h"
#include "index/list_walk.h"  // ListedPath

namespace stow {

// What a check saw. The counts are those of the lists as far as they could
// be followed.
struct ListReport {
  int32_t valid_count = 0;  // blocks on the valid list
  int64_t valid_bytes = 0;  // their FileSize total
  int32_t free_count = 0;   // blocks on the free list
  // The first problem found, in words ("valid list: block 7 ..."); empty
  // when the lists and totals are consistent.
  std::string problem;
};

// Checks that the valid list and the free list run from their heads to
// their tails over in-range blocks whose back links match, that together
// they hold every block exactly once, that TotalFileCount, CacheSize,
// ImageFileBlockOffset and ImageFileBlockNum agree with them, and that no
// path is listed twice (see ListedPath in list_walk.h). True when
// everything holds.
// `report` may be null.
bool CheckLists(const IndexFileHeader& header, const ImageFileBlock* blocks, ListReport* report);

}  // namespace stow
