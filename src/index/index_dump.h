// The text picture of the index: the header block and the valid list, from
// the most recently registered file on.
#pragma once

#include <string>

#include "index/layout.h"

namespace stow {

// The dump text of `header` and `blocks`, with "\n" line ends. The walk of
// the valid list stops at a link outside the block range or after
// kBlockCount steps; `damaged` (when given) is then set.
std::string FormatDump(const IndexFileHeader& header, const ImageFileBlock* blocks,
                       bool* damaged = nullptr);

}  // namespace stow
