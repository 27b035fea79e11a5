// Deleting one cached file, and the folder it leaves empty.
#pragma once

namespace stow {

// Deletes the file at `path` and then its immediate folder if that is now
// empty. True when the index block may be freed: the file is gone (or was
// never there) and, if the folder was emptied, the folder was removed too.
// False when the file is refused (in use, no permission) or the emptied
// folder cannot be removed. Logs every step. Never throws.
bool DeleteCachedFile(const char* path);

}  // namespace stow
