// A read-only check of the two block lists and the header totals, for
// inspection: it looks at the index and changes nothing. Every walk is
// bounded by the block range and by kBlockCount steps, so a damaged or
// hostile index can neither send it outside the blocks nor keep it looping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "index/layout.h"

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
// path is listed twice (see ListedPath). True when everything holds.
// `report` may be null.
bool CheckLists(const IndexFileHeader& header, const ImageFileBlock* blocks, ListReport* report);

// The path of block `b` as lookups compare it: the bytes before its
// terminator. False for a name that is empty or has no terminator, which
// no registration gives and no lookup finds; such blocks are never "the
// same path" as another.
bool ListedPath(const ImageFileBlock& b, std::string_view* path);

}  // namespace stow
