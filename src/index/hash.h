// The hashes of short byte strings the library uses: FNV-1a, which the
// shared files keep, and a keyed hash for sets held in one process only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

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

// SipHash-1-3 of the `size` bytes at `data` under the 128-bit key
// `k0`, `k1`. FNV-1a is unkeyed and anyone can craft paths that share its
// value; without the key, which never leaves the process, nobody can craft
// paths that share this one.
inline uint64_t SipHash13(uint64_t k0, uint64_t k1, const void* data, size_t size) {
  uint64_t v0 = k0 ^ 0x736f6d6570736575ull;
  uint64_t v1 = k1 ^ 0x646f72616e646f6dull;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ull;
  uint64_t v3 = k1 ^ 0x7465646279746573ull;
  const auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  const auto sip_round = [&] {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  };
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const size_t whole = size - size % 8;
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (int b = 7; b >= 0; --b) m = (m << 8) | p[i + static_cast<size_t>(b)];
    v3 ^= m;
    sip_round();
    v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(size & 0xff) << 56;
  for (size_t i = whole; i < size; ++i) last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
  v3 ^= last;
  sip_round();
  v0 ^= last;
  v2 ^= 0xff;
  sip_round();
  sip_round();
  sip_round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// SipHash-1-3 of `bytes` under a key chosen at random once per process:
// for the sets of paths that compare what a shared file lists, so that
// paths crafted to collide cannot make them quadratic.
uint64_t ProcessKeyedHash(std::string_view bytes);

// The same, as the hasher of an unordered container of paths.
struct ProcessKeyedPathHash {
  size_t operator()(std::string_view path) const {
    return static_cast<size_t>(ProcessKeyedHash(path));
  }
};

}  // namespace stow
