#include "index/intent_record.h"

#include <cstddef>
#include <cstring>

namespace stow {
namespace {

// True when `offset` (from the start of the file) names a word that a list
// operation may change, with that word's width: the totals and list ends
// of the header, or the size, time, links and delay of a block. A record
// written by anyone else cannot make the undo store anywhere else.
bool IsUndoableWord(uint32_t offset, uint32_t width) {
  if (offset < static_cast<uint32_t>(kHeaderRegionSize)) {
    if (offset == offsetof(IndexFileHeader, CacheSize)) return width == 8;
    return width == 4 &&
           (offset == offsetof(IndexFileHeader, TotalFileCount) ||
            (offset >= offsetof(IndexFileHeader, FirstValidBlock) &&
             offset <= offsetof(IndexFileHeader, LastInvalidBlock) && offset % 4 == 0));
  }
  const uint32_t rel = offset - static_cast<uint32_t>(kHeaderRegionSize);
  if (rel / kBlockSize >= static_cast<uint32_t>(kBlockCount)) return false;
  switch (rel % kBlockSize) {
    case offsetof(ImageFileBlock, FileSize):
    case offsetof(ImageFileBlock, AccessTime):
    case offsetof(ImageFileBlock, LeftNode):
    case offsetof(ImageFileBlock, RightNode):
    case offsetof(ImageFileBlock, Reserved):
      return width == 4;
    case offsetof(ImageFileBlock, Delay):
      return width == 8;
    default:
      return false;
  }
}

}  // namespace

IntentChange::IntentChange(IndexFileHeader& header, uint32_t kind, int32_t block)
    : header_(header), kind_(kind) {
  header_.IntentBlock = block;
}

IntentChange::~IntentChange() { ClearIntent(header_); }

void UndoIntent(IndexFileHeader& header) {
  uint8_t* base = reinterpret_cast<uint8_t*>(&header);
  const uint32_t count = header.IntentCount;
  const uint32_t capacity = sizeof(header.IntentEntries) / sizeof(header.IntentEntries[0]);
  // Newest first, so that a word saved twice ends with its oldest value.
  for (uint32_t k = count < capacity ? count : capacity; k-- > 0;) {
    const auto& entry = header.IntentEntries[k];
    if (!IsUndoableWord(entry.Offset, entry.Width)) continue;
    if (entry.Width == 8) {
      std::memcpy(base + entry.Offset, &entry.Value, 8);
    } else {
      const int32_t value = static_cast<int32_t>(entry.Value);
      std::memcpy(base + entry.Offset, &value, 4);
    }
  }
}

void ClearIntent(IndexFileHeader& header) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header.IntentKind = kIntentNone;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memset(header.IntentEntries, 0, sizeof(header.IntentEntries));
  header.IntentCount = 0;
  header.IntentBlock = 0;
}

}  // namespace stow
