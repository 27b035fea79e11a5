// Paths, files and folders on Win32.

#include "platform/win32/handle.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/native.h"

namespace stow {
namespace platform {
namespace native {

namespace {

bool IsSlash(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Closes a search handle from FindFirstFileA.
class FindHandle {
 public:
  explicit FindHandle(HANDLE h) : h_(h) {}
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace

bool IsAbsolutePath(const char* path, std::string* out) {
  // "C:\..." or "C:/...", and UNC paths "\\server\share\..." (which also
  // covers the "\\?\" and "\\.\" forms).
  if (IsDriveLetter(path[0]) && path[1] == ':' && IsSlash(path[2])) {
    return true;
  }
  if (IsSlash(path[0]) && IsSlash(path[1])) return true;

  out->clear();
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetFullPathNameA(path, static_cast<DWORD>(buffer.size()), buffer.data(), NULL);
    if (length == 0) return false;
    if (length < buffer.size()) {
      out->assign(buffer.data(), length);
      return false;
    }
    // Too small: `length` is the size needed, terminator included.
    buffer.resize(length);
  }
}

bool GetFileSize(const char* path, uint64_t* size, uint32_t* error) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    if (error != nullptr) *error = GetLastError();
    return false;
  }
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool IsDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t CreateDirectory(const char* path) {
  if (CreateDirectoryA(path, NULL)) return 0;
  return GetLastError();
}

DeleteResult DeleteFile(const char* path, uint32_t* error) {
  if (DeleteFileA(path)) {
    if (error) *error = 0;
    return DeleteResult::kDeleted;
  }
  DWORD code = GetLastError();
  if (error) *error = code;
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return DeleteResult::kRefused;
    default:
      return DeleteResult::kFailed;
  }
}

bool FolderHasEntries(const char* folder) {
  std::string pattern(folder);
  if (!pattern.empty() && !IsSlash(pattern.back())) pattern += '\\';
  pattern += "*.*";

  WIN32_FIND_DATAA entry;
  FindHandle search(FindFirstFileA(pattern.c_str(), &entry));
  if (search.get() == INVALID_HANDLE_VALUE) return false;
  do {
    if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0) {
      return true;
    }
  } while (FindNextFileA(search.get(), &entry));
  return false;
}

bool SetNormalAttributes(const char* folder) {
  return SetFileAttributesA(folder, FILE_ATTRIBUTE_NORMAL) != 0;
}

bool RemoveDirectory(const char* folder) { return RemoveDirectoryA(folder) != 0; }

// Appenders take turns on a lock of one byte far beyond any real end of
// file: a seek to the end and the write that follows are not one step, so
// without it two processes could write at the same offset. (Append-only
// access would make the write one step on Windows, but Wine emulates it
// with a seek and a write and loses lines under contention.) The lock is
// tried without blocking and retried for a bounded time: a line is written
// under the lock or not at all, never unlocked.
bool AppendToFile(const char* path, const char* data, size_t size) {
  win32::UniqueHandle file(CreateFileA(path, GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
  if (!file) return false;
  if (size > 0x10000000) return false;  // one write; a log line is far shorter
  OVERLAPPED lock_at = {};
  lock_at.Offset = 0xFFFFFFFF;
  lock_at.OffsetHigh = 0x7FFFFFFF;
  constexpr int kLockAttempts = 5000;  // about 5 s of 1 ms pauses
  for (int attempt = 0;; ++attempt) {
    if (LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &lock_at)) {
      break;
    }
    if (attempt + 1 >= kLockAttempts) return false;
    Sleep(attempt < 16 ? 0 : 1);
  }
  LARGE_INTEGER zero = {};
  DWORD written = 0;
  const bool ok = SetFilePointerEx(file.get(), zero, NULL, FILE_END) &&
                  WriteFile(file.get(), data, static_cast<DWORD>(size), &written, NULL) &&
                  written == size;
  UnlockFileEx(file.get(), 0, 1, 0, &lock_at);
  return ok;
}

}  // namespace native
}  // namespace platform
}  // namespace stow
