// Names of the machine-wide objects that belong to one index. Other
// programs that take part in the locking (the test client, for one) include
// this header rather than copying the rules.
#pragma once

#include <string>

namespace stow {

constexpr char kMappingPrefix[] = "Global\\FMO";     // the file mapping
constexpr char kMutexPrefix[] = "Global\\CIFM";      // the index lock
constexpr char kSemaphorePrefix[] = "Global\\CMTS";  // the eviction slots

// "<prefix>_<index path>" with every backslash of the path turned into a
// forward slash.
inline std::string ObjectNameText(const char* prefix, const char* index_path) {
  std::string path = index_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return std::string(prefix) + "_" + path;
}

// The same, or OsError when the name does not fit in 260 bytes.
std::string MakeObjectName(const char* prefix, const char* index_path);

}  // namespace stow
