// Names of the Windows eviction slots. Other programs that take part in the
// eviction (the test client, for one) include this header rather than
// copying the rule.
#pragma once

#include <string>

namespace stow {
namespace platform {
namespace win32 {

constexpr int kSlotCount = 2;

// One named mutex per slot, named from the semaphore's name.
inline std::string SlotObjectName(const std::string& semaphore_name, int slot) {
  return semaphore_name + "_slot" + std::to_string(slot);
}

}  // namespace win32
}  // namespace platform
}  // namespace stow
