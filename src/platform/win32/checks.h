// Decisions of the Win32 layer that tests make directly, with values Wine
// cannot produce from real files (a reparse point) or accounts (a service).
// Those written inline here need no system header and are tested on every
// platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace stow {
namespace platform {
namespace win32 {

// Why an opened file may not serve as the index: 0 when it may, else the
// system's code (ERROR_ACCESS_DENIED for a folder or a reparse point,
// ERROR_TOO_MANY_LINKS for a file with other names that is not an index
// yet). `attributes` and `links` as GetFileInformationByHandle reports them;
// `carries_magic`: the file starts with the index's magic text.
uint32_t IndexFileRefusal(uint32_t attributes, uint32_t links, bool carries_magic);

// `path` without the prefix GetFinalPathNameByHandleW puts before it:
// "\\?\C:\x" gives "C:\x", "\\?\UNC\server\share\x" gives
// "\\server\share\x". Any other path is returned as it is.
inline std::wstring WithoutLongPathPrefix(const std::wstring& path) {
  const auto is_slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() < 4 || !is_slash(path[0]) || !is_slash(path[1]) || path[2] != L'?' ||
      !is_slash(path[3])) {
    return path;
  }
  if (path.size() >= 8 && (path[4] == L'U' || path[4] == L'u') &&
      (path[5] == L'N' || path[5] == L'n') && (path[6] == L'C' || path[6] == L'c') &&
      is_slash(path[7])) {
    return L"\\\\" + path.substr(8);
  }
  return path.substr(4);
}

// True when an opened file's final path (`final_path`, as
// GetFinalPathNameByHandleW gives it) is the path it was asked for
// (`expected`): the same text once the long-path prefix is taken off both,
// with "/" read as "\\" and ASCII letters compared without regard to case.
// Nothing else is equated: a link, a short (8.3) name or a name of another
// case outside ASCII in `expected` is a mismatch, so the caller forms
// `expected` from the final path of the folder's own handle and the file's
// name, which the library chooses (ASCII).
inline bool SameFinalPath(const std::wstring& expected, const std::wstring& final_path) {
  const std::wstring a = WithoutLongPathPrefix(expected);
  const std::wstring b = WithoutLongPathPrefix(final_path);
  if (a.empty() || a.size() != b.size()) return false;
  const auto fold = [](wchar_t c) -> wchar_t {
    if (c == L'/') return L'\\';
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  };
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// True for the SID of a service account: LocalSystem, LocalService or
// NetworkService.
bool IsServiceAccountSid(void* sid);

// One entry of a file's or folder's access list, as far as the question
// "who may change it" needs it.
struct AccessEntry {
  bool allows;        // an access-allowed entry (of any kind); else a denial
  bool inherit_only;  // INHERIT_ONLY_ACE: given to new children, not to this object
  uint32_t mask;      // the access rights it names
  bool trusted;       // its SID is Administrators, SYSTEM, TrustedInstaller or this process's user
};

// The rights that change a file: write or append data, delete it, change
// its access list or owner, and the generic rights that include them.
constexpr uint32_t kFileChangeRights = 0x00000002u |  // FILE_WRITE_DATA
                                       0x00000004u |  // FILE_APPEND_DATA
                                       0x00010000u |  // DELETE
                                       0x00040000u |  // WRITE_DAC
                                       0x00080000u |  // WRITE_OWNER
                                       0x02000000u |  // MAXIMUM_ALLOWED
                                       0x10000000u |  // GENERIC_ALL
                                       0x40000000u;   // GENERIC_WRITE
// The rights that change what a folder holds: add a file, delete a child,
// and the same rights over the folder itself. Adding a subfolder
// (FILE_ADD_SUBDIRECTORY) cannot replace a file in it.
constexpr uint32_t kFolderChangeRights =
    (kFileChangeRights & ~0x00000004u) | 0x00000040u;  // FILE_DELETE_CHILD

// Who may change a file or folder, from its security descriptor: its owner
// (who may always rewrite the access list) must be trusted, and no entry
// that applies to the object itself may give a change right to anyone
// else. A missing access list (a NULL DACL) gives everyone every right.
// Denials are not weighed against grants: an untrusted grant counts even
// behind a denial, so that a doubtful list is never taken as safe.
inline ChangeRights ChangeRightsOf(bool folder, bool owner_trusted, bool has_dacl,
                                   const AccessEntry* entries, size_t count) {
  if (!owner_trusted) return ChangeRights::kOtherOwner;
  if (!has_dacl) return ChangeRights::kOthersMayWrite;
  const uint32_t rights = folder ? kFolderChangeRights : kFileChangeRights;
  for (size_t i = 0; i < count; ++i) {
    const AccessEntry& e = entries[i];
    if (e.allows && !e.inherit_only && !e.trusted && (e.mask & rights) != 0) {
      return ChangeRights::kOthersMayWrite;
    }
  }
  return ChangeRights::kOwnerOnly;
}

}  // namespace win32
}  // namespace platform
}  // namespace stow
