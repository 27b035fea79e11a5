// Deleting one cached file, and the folder it leaves empty.
#pragma once

#include "index/index_file.h"

namespace stow {

// Deletes the file at `path` and then its immediate folder if that is now
// empty. True when the index block may be freed: the file is gone (or was
// never there); a folder that cannot be removed is only logged. False when
// the file is refused (in use, no permission), or, in a privileged process,
// lies outside the folders it may delete in. Logs every step. Never throws.
bool DeleteCachedFile(const char* path);

// The same, with the privileges and the folders read once, and the log file
// held open (LogHold) until the last copy of the function goes: for one pass
// over many files. Not to be kept between passes.
RemoveFileFn CachedFileRemover();

}  // namespace stow
