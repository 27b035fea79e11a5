#include "index/object_name.h"

#include "config/settings.h"
#include "platform/platform.h"

namespace stow {

const char kMappingPrefix[] = "Global\\FMO";
const char kMutexPrefix[] = "Global\\CIFM";
const char kSemaphorePrefix[] = "Global\\CMTS";

std::string MakeObjectName(const char* prefix, const char* index_path) {
  std::string path = index_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::string name = std::string(prefix) + "_" + path;
  if (name.size() >= kPathBufferSize) {
    throw OsError(platform::kErrorNameTooLong, "object name too long", name);
  }
  return name;
}

}  // namespace stow
