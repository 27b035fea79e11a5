// Files and folders.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/native.h"

namespace stow {
namespace platform {
namespace native {

bool IsAbsolutePath(const char* path, std::string* out) {
  if (path[0] == '/') return true;
  out->clear();
  std::string cwd(256, '\0');
  while (::getcwd(&cwd[0], cwd.size()) == nullptr) {
    if (errno != ERANGE) return false;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::strlen(cwd.c_str()));
  if (cwd.empty() || cwd.back() != '/') cwd += '/';
  *out = cwd + path;
  return false;
}

bool GetFileSize(const char* path, uint64_t* size, uint32_t* error) {
  struct stat st;
  if (::stat(path, &st) != 0) {
    if (error != nullptr) *error = static_cast<uint32_t>(errno);
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool IsDirectory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t CreateDirectory(const char* path) {
  return ::mkdir(path, 0777) == 0 ? 0 : static_cast<uint32_t>(errno);
}

DeleteResult DeleteFile(const char* path, uint32_t* error) {
  if (::unlink(path) == 0) return DeleteResult::kDeleted;
  *error = static_cast<uint32_t>(errno);
  switch (errno) {
    // The file is there but may not be deleted now. A folder is kept too, so
    // that a registered folder stays listed, as it does on Windows.
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
    case EISDIR:
      return DeleteResult::kRefused;
    default:
      return DeleteResult::kFailed;
  }
}

// Reads the folder in small batches: opendir/readdir fetch 32 KiB of entries
// at once, which costs far more in a large folder than the first few entries
// that answer the question.
bool FolderHasEntries(const char* folder) {
  int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  alignas(8) char buffer[1024];
  bool found = false;
  for (;;) {
    ssize_t n = ::getdents64(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    for (ssize_t pos = 0; pos < n && !found;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(buffer + pos);
      found = std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
      pos += e->d_reclen;
    }
    if (found) break;
  }
  ::close(fd);
  return found;
}

// Whether an empty folder can be removed depends on its parent, not on its
// own mode, so there is nothing to clear here.
bool SetNormalAttributes(const char*) { return true; }

bool RemoveDirectory(const char* folder) { return ::rmdir(folder) == 0; }

// O_APPEND makes the move to the end and the write one step, so a line
// written with one write() is never overwritten by another process's.
bool AppendToFile(const char* path, const char* data, size_t size) {
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) {
      data += n;
      size -= static_cast<size_t>(n);
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace native
}  // namespace platform
}  // namespace stow
