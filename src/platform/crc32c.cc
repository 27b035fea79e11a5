#include "platform/crc32c.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <nmmintrin.h>
#define STOW_CRC32C_X86 1
#endif

namespace stow {
namespace platform {
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

#ifdef STOW_CRC32C_X86
// One instruction per 8 bytes; the loads are unaligned-safe (memcpy), and
// x86-64 is little-endian, as the CRC's byte order wants.
__attribute__((target("sse4.2"))) uint32_t Crc32cSse42(const uint8_t* p, size_t size,
                                                       uint32_t crc) {
  uint64_t c = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    c = _mm_crc32_u64(c, word);
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  for (; size > 0; --size, ++p) c32 = _mm_crc32_u8(c32, *p);
  return ~c32;
}

bool AskProcessor() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2") != 0;
}
#endif

}  // namespace

uint32_t Crc32cPortable(const void* data, size_t size, uint32_t crc) {
  const auto& t = Tables().t;
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

bool HasCrc32cInstruction() {
#ifdef STOW_CRC32C_X86
  static const bool has = AskProcessor();
  return has;
#else
  return false;
#endif
}

uint32_t Crc32cHardware(const void* data, size_t size, uint32_t crc) {
#ifdef STOW_CRC32C_X86
  return Crc32cSse42(static_cast<const uint8_t*>(data), size, crc);
#else
  return Crc32cPortable(data, size, crc);
#endif
}

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
  return HasCrc32cInstruction() ? Crc32cHardware(data, size, crc) : Crc32cPortable(data, size, crc);
}

}  // namespace platform
}  // namespace stow
