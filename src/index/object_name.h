// Names of the machine-wide objects that belong to one index.
#pragma once

#include <string>

namespace stow {

extern const char kMappingPrefix[];    // the file mapping
extern const char kMutexPrefix[];      // the index lock
extern const char kSemaphorePrefix[];  // the eviction slots

// "<prefix>_<index path>" with every backslash turned into a forward slash.
// Throws OsError when the name does not fit in 260 bytes.
std::string MakeObjectName(const char* prefix, const char* index_path);

}  // namespace stow
