// Paths that share one 32-bit FNV-1a hash, as anyone who can register
// paths can craft them against the lookup table (whose hash is unkeyed):
// multicollisions from chained pairs of short path pieces.
//
// From a hash state s, two different pieces a and b with Fnv1a(a, s) ==
// Fnv1a(b, s) are found by the birthday bound (about 2^16 random pieces of
// five characters). From that common state the next pair is found, and so
// on: k pairs give 2^k paths, each the prefix followed by one piece of
// every pair, all with the same hash.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/hash.h"

namespace stow {
namespace bench_support {

// `count` distinct paths, each `prefix` and then pieces of [a-z0-9], that
// all share one FNV-1a hash. `seed` picks the pieces.
inline std::vector<std::string> CollidingPaths(const std::string& prefix, size_t count,
                                               uint32_t seed = 1) {
  std::mt19937 random(seed);
  const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  uint32_t state = Fnv1a(prefix.data(), prefix.size());
  std::vector<std::pair<std::string, std::string>> pairs;
  for (size_t paths = 1; paths < count; paths *= 2) {
    std::unordered_map<uint32_t, std::string> seen;
    for (;;) {
      std::string piece(5, 'a');
      for (char& c : piece) c = alphabet[random() % 36];
      const uint32_t next = Fnv1a(piece.data(), piece.size(), state);
      const auto it = seen.emplace(next, piece).first;
      if (it->second != piece) {
        pairs.emplace_back(it->second, piece);
        state = next;
        break;
      }
    }
  }
  std::vector<std::string> out;
  out.reserve(count);
  for (size_t n = 0; n < count; ++n) {
    std::string path = prefix;
    for (size_t k = 0; k < pairs.size(); ++k) {
      path += (n >> k) & 1 ? pairs[k].second : pairs[k].first;
    }
    out.push_back(std::move(path));
  }
  return out;
}

}  // namespace bench_support
}  // namespace stow
