#include "index/object_name.h"

#include "config/settings.h"
#include "platform/platform.h"

namespace stow {

std::string MakeObjectName(const char* prefix, const char* index_path) {
  std::string name = ObjectNameText(prefix, index_path);
  if (name.size() >= kPathBufferSize) {
    throw OsError(platform::kErrorNameTooLong, "object name too long", name);
  }
  return name;
}

}  // namespace stow
