#include "platform/win32/own_file.h"

#include <string>
#include <vector>

#include "platform/win32/checks.h"

namespace stow {
namespace platform {
namespace win32 {

namespace {

// `path` from the ANSI code page, made absolute and with "\" separators.
// Empty when it cannot be converted.
std::wstring FullWidePath(const char* path) {
  const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
  if (n <= 0) return std::wstring();
  std::vector<wchar_t> wide(static_cast<size_t>(n));
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), n) != n) return std::wstring();
  std::vector<wchar_t> full(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetFullPathNameW(wide.data(), static_cast<DWORD>(full.size()), full.data(), NULL);
    if (length == 0) return std::wstring();
    if (length < full.size()) return std::wstring(full.data(), length);
    full.resize(length);  // the size needed, terminator included
  }
}

// The handle's final path as the system resolves it (links followed, long
// names, the case on disk), with its "\\?\" prefix. Empty on failure.
std::wstring FinalPath(HANDLE handle) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(),
                                                   static_cast<DWORD>(buffer.size()), 0);
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

// 0 when `file` is the file `path` names in its folder. The folder is
// resolved through a handle of its own, so that a folder reached through a
// link, a short name, a substituted or a network drive compares equal; only
// the last part of the path has to match by name.
DWORD CheckFinalPath(HANDLE file, const char* path) {
  const std::wstring full = FullWidePath(path);
  const size_t cut = full.find_last_of(L'\\');
  if (full.empty() || cut == std::wstring::npos || cut + 1 >= full.size()) {
    return ERROR_INVALID_NAME;
  }
  std::wstring folder = full.substr(0, cut);
  if (folder.size() == 2 && folder[1] == L':') folder += L'\\';  // a drive's root
  UniqueHandle folder_handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
  if (!folder_handle) return GetLastError();
  std::wstring expected = FinalPath(folder_handle.get());
  const std::wstring actual = expected.empty() ? std::wstring() : FinalPath(file);
  if (expected.empty() || actual.empty()) {
    const DWORD code = GetLastError();
    // A file system that cannot name its files this way (some virtual
    // drives) has only the reparse-point attribute to go by.
    if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED) return 0;
    return code != 0 ? code : ERROR_ACCESS_DENIED;
  }
  if (expected.back() != L'\\') expected += L'\\';
  expected += full.substr(cut + 1);
  return SameFinalPath(expected, actual) ? 0 : ERROR_ACCESS_DENIED;
}

}  // namespace

UniqueHandle OpenOwnPath(const char* path, DWORD access, DWORD share,
                         SECURITY_ATTRIBUTES* security, DWORD flags, DWORD* error,
                         const char** call, bool* created, DWORD create_access) {
  if (created != nullptr) *created = false;
  UniqueHandle file;
  // A name that another process creates between the two steps is opened on
  // the next round; one that neither opens nor can be created is a link to
  // nothing, whose target must not be made.
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds && !file; ++round) {
    file.reset(CreateFileA(path, access, share, security, OPEN_EXISTING, flags, NULL));
    if (file) break;
    *error = GetLastError();
    if (*error != ERROR_FILE_NOT_FOUND) {
      *call = "CreateFileA";
      return UniqueHandle();
    }
    file.reset(CreateFileA(path, create_access != 0 ? create_access : access, share, security,
                           CREATE_NEW, flags, NULL));
    if (file) {
      if (created != nullptr) *created = true;
      break;
    }
    *error = GetLastError();
    if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) {
      *call = "CreateFileA (CREATE_NEW)";
      return UniqueHandle();
    }
  }
  if (!file) {
    *error = ERROR_ACCESS_DENIED;
    *call = "CreateFileA (a link to a missing file)";
    return UniqueHandle();
  }
  if (const DWORD mismatch = CheckFinalPath(file.get(), path)) {
    *error = mismatch;
    *call = "GetFinalPathNameByHandleW (the file lies elsewhere: a link)";
    return UniqueHandle();
  }
  *error = 0;
  return file;
}

}  // namespace win32
}  // namespace platform
}  // namespace stow
