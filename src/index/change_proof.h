// What proves, in a later hold of the index lock, that a listed block still
// holds the registration that was copied from it in an earlier hold.
#pragma once

#include <cstdint>

namespace stow {

// Read under the lock together with the copy of the entry. Every
// registration of a listed path, every unlink and every size repair gives
// the block a new change stamp (LookupTable::Touch); a rebuild of the table
// gives it a new epoch, and a table file made afresh (its epochs and
// stamps start again) gives the index a new ListedMark. So a proof whose
// three numbers are all unchanged says that nothing has registered, moved
// or freed the block since the copy.
struct ChangeProof {
  bool known = false;  // false: the lookup table was stale or absent, nothing is proved
  uint32_t listed_mark = 0;
  uint32_t epoch = 0;
  uint32_t stamp = 0;
};

}  // namespace stow
