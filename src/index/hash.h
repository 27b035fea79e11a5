// The one hash of short byte strings the library keeps in shared files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stow {

constexpr uint32_t kFnvStart = 2166136261u;

// FNV-1a, 32 bits: `h` carried on over the `size` bytes at `data`.
inline uint32_t Fnv1a(const void* data, size_t size, uint32_t h = kFnvStart) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    h ^= p[i];
    h *= 16777619u;
  }
  return h;
}

}  // namespace stow
