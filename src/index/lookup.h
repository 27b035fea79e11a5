// Finding the listed block of a path.
//
// Invariants the lookup relies on, and keeps:
//  - The answer is the first block of the valid list, in list order from
//    the head, whose path matches (the size plays no part); -1 when none
//    does. A block that
//    matches but lies on the free list is never the answer.
//  - Nothing in the index is trusted: every link is checked against the
//    block range before it is followed, and every walk stops after
//    kBlockCount steps. A walk that meets a bad link or a cycle reports the
//    index damaged (the caller repairs the lists before it lets go of the
//    lock) and answers from what it saw before the damage.
//  - The lookup only reads; it runs under the index lock.
#pragma once

#include <cstdint>

#include "index/layout.h"

namespace stow {

// The listed block of `record`, or kNoBlock. Sets `*damaged` when the walk
// met a link out of range or a cycle (and leaves it alone otherwise).
int32_t FindListed(const IndexFileHeader& header, const ImageFileBlock* blocks,
                   const FileRecord& record, bool* damaged);

}  // namespace stow
