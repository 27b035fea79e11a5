#include "index/block_seal.h"

#include <cstring>

#include "platform/crc32c.h"

namespace stow {

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
  return platform::Crc32c(data, size, crc);
}

uint32_t BlockContentCrc(const ImageFileBlock& b) {
  // Name and FileSize are the first 264 bytes; Delay the last 8.
  static_assert(offsetof(ImageFileBlock, FileSize) + 4 == offsetof(ImageFileBlock, AccessTime),
                "name and size first");
  const uint32_t head = Crc32c(&b, offsetof(ImageFileBlock, AccessTime));
  return Crc32c(&b.Delay, sizeof(b.Delay), head);
}

SealState ReadSeal(uint32_t mark, const ImageFileBlock& b) {
  const uint32_t named = b.Reserved ^ BlockContentCrc(b);
  // The distance between two marks, either way round the 32-bit circle.
  const auto near = [mark](uint32_t m) {
    const uint32_t d = m - mark;
    return d <= kSealMarkWindow || -d <= kSealMarkWindow;
  };
  if (mark == 0) return SealState::kUnproven;
  if (near(named)) return SealState::kListed;
  if (near(named ^ kFreeSealBit)) return SealState::kFree;
  return SealState::kUnproven;
}

}  // namespace stow
