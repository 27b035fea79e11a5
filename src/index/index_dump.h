// The text picture of the index: the header block and the valid list, from
// the most recently registered file on.
//
// The text of a full index is over 20 MB and takes a good hundred
// milliseconds to make, too long to keep other processes from registering.
// So the dump is made in three steps: room for a copy is made beforehand,
// the copy of what the dump prints is taken under the index lock, and the
// text is made from the copy and written without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "index/layout.h"
#include "index/list_walk.h"

namespace stow {

// How much room a copy of the index needs.
struct DumpSize {
  int32_t entries = 0;
  size_t name_bytes = 0;
  // The copy will read the links of every block (a long list).
  bool every_block = false;
};

// The room for a copy of the index as it is now, with a margin for files
// registered before the copy is taken; names are sized from the longest of
// the most recent few. Looks at a few blocks only: meant for a short hold of
// the lock before the one that takes the copy.
DumpSize EstimateDumpSize(const IndexFileHeader& header, const ImageFileBlock* blocks);

// What the dump prints: the header fields and, for each block of the valid
// list, its number, name, size, delay and links.
class DumpCopy {
 public:
  // Allocates room for `size` and writes to all of it, so that the copy
  // taken under the lock is not slowed by the first touch of fresh pages.
  // A copy that outgrows the room still succeeds, only slower.
  void Reserve(const DumpSize& size);

  // Copies `header` and the valid list from its head. The walk stops at a
  // link outside the block range, a block that does not link back to the one
  // before, or after kBlockCount steps: false then (the copy holds the list
  // up to the damage).
  //
  // A walk from block to block of the index waits for memory at every step
  // (the blocks of a list lie anywhere in its 28.8 MB), about 10 ms for a
  // full list. So past its first few hundred steps the walk goes on over a
  // copy of every block's links, read in block order, which the processor
  // streams; the listed blocks' fields are copied after the walk, when
  // their places are known.
  bool Take(const IndexFileHeader& header, const ImageFileBlock* blocks);

  // The dump text of the copy, with "\n" line ends.
  std::string Format() const;

 private:
  struct Entry {
    int32_t block;
    int32_t left;
    int32_t right;
    uint32_t file_size;
    int64_t delay;
    uint32_t name_offset;  // in names_
    uint32_t name_length;  // without the terminator, at most kFileNameSize
  };
  // The printed header fields.
  int64_t cache_size_ = 0;
  int32_t total_file_count_ = 0;
  int32_t block_offset_ = 0;
  int32_t block_num_ = 0;
  int32_t first_valid_ = 0;
  int32_t last_valid_ = 0;
  int32_t first_invalid_ = 0;
  int32_t last_invalid_ = 0;
  std::vector<BlockLinks> links_;  // of every block, by block number, for long lists
  // For long lists: each block's place in entries_, -1 for none, so that the
  // listed blocks' fields are read in block order, as memory lies.
  std::vector<int32_t> places_;
  std::vector<Entry> entries_;
  std::vector<char> names_;  // the names one after another, unterminated
};

// The dump text of `header` and `blocks` made at once (Take and Format);
// `damaged` (when given) is set when the walk stopped at damage.
std::string FormatDump(const IndexFileHeader& header, const ImageFileBlock* blocks,
                       bool* damaged = nullptr);

}  // namespace stow
