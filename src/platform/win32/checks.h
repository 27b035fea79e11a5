// Decisions of the Win32 layer that tests make directly, with values Wine
// cannot produce from real files (a reparse point) or accounts (a service).
#pragma once

#include <cstdint>

namespace stow {
namespace platform {
namespace win32 {

// Why an opened file may not serve as the index: 0 when it may, else the
// system's code (ERROR_ACCESS_DENIED for a folder or a reparse point,
// ERROR_TOO_MANY_LINKS for a file with other names that is not an index
// yet). `attributes` and `links` as GetFileInformationByHandle reports them;
// `carries_magic`: the file starts with the index's magic text.
uint32_t IndexFileRefusal(uint32_t attributes, uint32_t links, bool carries_magic);

// True for the SID of a service account: LocalSystem, LocalService or
// NetworkService.
bool IsServiceAccountSid(void* sid);

}  // namespace win32
}  // namespace platform
}  // namespace stow
