#include "maintenance/refusal_identity.h"

#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/platform.h"

namespace stow {
namespace {

void Mix(uint32_t* h, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    *h ^= p[i];
    *h *= 16777619u;
  }
}

}  // namespace

uint32_t RefusalIdentity() {
  const platform::Privileges privileges = platform::env().ProcessPrivileges();
  uint32_t h = 2166136261u;  // FNV-1a
  Mix(&h, &privileges.user, sizeof(privileges.user));
  const unsigned char elevated = privileges.elevated ? 1 : 0;
  Mix(&h, &elevated, 1);
  if (privileges.elevated) {
    // A privileged process deletes only below these folders.
    for (const std::string& folder : DeletionFolders()) Mix(&h, folder.c_str(), folder.size() + 1);
  }
  return h == 0 ? 1 : h;
}

}  // namespace stow
