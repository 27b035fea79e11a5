// Opening the library's own files (the index, its lookup table, the dump and
// the log) so that a link in their place is never followed, also where the
// file system does not show it as a reparse point: Wine shows a Unix
// symbolic link as a plain file.
#pragma once

#include "platform/win32/handle.h"

namespace stow {
namespace platform {
namespace win32 {

// Opens `path`, creating it when missing, as CreateFileA with OPEN_ALWAYS
// would, but in two steps that never create anything through a link: an
// existing name is opened as it is (OPEN_EXISTING; with
// FILE_FLAG_OPEN_REPARSE_POINT in `flags`, a reparse point itself), and only
// a missing one is created (CREATE_NEW, which fails on any name that exists,
// a dangling link included). The opened file must then be the one `path`
// names in its folder (SameFinalPath, with the folder's final path from its
// own handle). On failure the handle is invalid, `*error` holds the
// system's code (ERROR_ACCESS_DENIED for a link) and `*call` what failed.
// `*created` (when given) tells whether this call made the file;
// `create_access` (when not 0) is the access asked for when it does (the
// maker may need rights an opener of an existing file is not given).
UniqueHandle OpenOwnPath(const char* path, DWORD access, DWORD share,
                         SECURITY_ATTRIBUTES* security, DWORD flags, DWORD* error,
                         const char** call, bool* created = nullptr, DWORD create_access = 0);

}  // namespace win32
}  // namespace platform
}  // namespace stow
