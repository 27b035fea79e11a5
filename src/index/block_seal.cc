#include "index/block_seal.h"

#include <cstring>

namespace stow {
namespace {

// Slicing by 8: table k gives the CRC of a byte followed by k zero bytes.
struct Crc32cTables {
  uint32_t t[8][256];
  Crc32cTables() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
      for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    }
  }
};

const Crc32cTables& Tables() {
  static const Crc32cTables tables;
  return tables;
}

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
  const Crc32cTables& tab = Tables();
  const auto& t = tab.t;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    const uint32_t lo = LoadLe32(p) ^ c;
    const uint32_t hi = LoadLe32(p + 4);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; size > 0; --size, ++p) c = (c >> 8) ^ t[0][(c ^ *p) & 0xFF];
  return ~c;
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
