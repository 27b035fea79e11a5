// Who a pass deletes as, for the refusals that passes remember.
#pragma once

#include <cstdint>

namespace stow {

// A non-zero value that is the same for processes whose deletions the
// system and the library refuse alike: the same user, the same privilege,
// and for a privileged process the same folders it is confined to. A
// refusal remembered for one identity is not taken as a refusal by
// another, which tries the file itself.
uint32_t RefusalIdentity();

}  // namespace stow
