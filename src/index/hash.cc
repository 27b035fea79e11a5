#include "index/hash.h"

#include <chrono>
#include <cstdint>
#include <random>

namespace stow {
namespace {

// The key, chosen once per process: never written anywhere, so paths
// cannot be crafted against it.
struct ProcessKey {
  uint64_t k0;
  uint64_t k1;
};

const ProcessKey& Key() {
  static const ProcessKey key = [] {
    const uint64_t t =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    int local = 0;
    const uint64_t where = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local));
    ProcessKey k{t, where * 0x9E3779B97F4A7C15ull};
    try {
      std::random_device device;
      const auto draw = [&device] { return (uint64_t{device()} << 32) ^ device(); };
      k.k0 ^= draw();
      k.k1 ^= draw();
    } catch (...) {
      // No source of randomness: the clock and the stack's place stay.
    }
    return k;
  }();
  return key;
}

}  // namespace

uint64_t ProcessKeyedHash(std::string_view bytes) {
  const ProcessKey& key = Key();
  return SipHash13(key.k0, key.k1, bytes.data(), bytes.size());
}

}  // namespace stow
