#include "maintenance/refusal_identity.h"

#include <string>
#include <vector>

#include "config/settings.h"
#include "index/hash.h"
#include "platform/platform.h"

namespace stow {

uint32_t RefusalIdentity() {
  const platform::Privileges privileges = platform::env().ProcessPrivileges();
  const unsigned char confined = privileges.privileged() ? 1 : 0;
  uint32_t h = Fnv1a(&privileges.user, sizeof(privileges.user));
  h = Fnv1a(&confined, 1, h);
  if (confined) {
    // A privileged process deletes only below these folders.
    for (const std::string& folder : DeletionFolders()) {
      h = Fnv1a(folder.c_str(), folder.size() + 1, h);
    }
  }
  return h == 0 ? 1 : h;
}

}  // namespace stow
