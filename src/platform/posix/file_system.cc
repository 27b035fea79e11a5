// Files and folders.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/native.h"
#include "platform/posix/unique_fd.h"

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

bool IsDirectory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t CreateDirectory(const char* path) {
  return ::mkdir(path, 0777) == 0 ? 0 : static_cast<uint32_t>(errno);
}

FileKind GetFileKind(const char* path, uint64_t* size, uint32_t* error) {
  *size = 0;
  struct stat st;
  if (::stat(path, &st) != 0) {
    if (error != nullptr) *error = static_cast<uint32_t>(errno);
    return FileKind::kMissing;
  }
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  if (!S_ISREG(st.st_mode)) return FileKind::kOther;
  *size = static_cast<uint64_t>(st.st_size);
  return FileKind::kRegular;
}

namespace {

FileId IdOf(const struct stat& st) {
  FileId id;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.file = static_cast<uint64_t>(st.st_ino);
  id.known = true;
  return id;
}

}  // namespace

// One lstat answers both for anything but a link; a link is followed for
// its kind and size only, with a stat more.
FileKind GetFileKindAndId(const char* path, uint64_t* size, uint32_t* error, FileId* id) {
  *id = FileId();
  *size = 0;
  struct stat st;
  if (::lstat(path, &st) != 0) {
    if (error != nullptr) *error = static_cast<uint32_t>(errno);
    return FileKind::kMissing;
  }
  *id = IdOf(st);
  if (S_ISLNK(st.st_mode)) return GetFileKind(path, size, error);
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  if (!S_ISREG(st.st_mode)) return FileKind::kOther;
  *size = static_cast<uint64_t>(st.st_size);
  return FileKind::kRegular;
}

bool GetFileId(const char* path, bool follow_link, FileId* id) {
  *id = FileId();
  struct stat st;
  if ((follow_link ? ::stat(path, &st) : ::lstat(path, &st)) != 0) return false;
  *id = IdOf(st);
  return true;
}

DeleteResult DeleteFile(const char* path, uint32_t* error) {
  if (::unlink(path) == 0) return DeleteResult::kDeleted;
  *error = static_cast<uint32_t>(errno);
  return DeleteResultOf(*error);
}

DeleteResult DeleteResultOf(uint32_t code) {
  switch (code) {
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


namespace {

// POSIX lets rmdir report a folder with entries either way.
FolderRemoval FolderRemovalOf(int code) {
  return code == ENOTEMPTY || code == EEXIST ? FolderRemoval::kNotEmpty : FolderRemoval::kFailed;
}

}  // namespace

FolderRemoval RemoveFolderIfEmpty(const char* folder) {
  return ::rmdir(folder) == 0 ? FolderRemoval::kRemoved : FolderRemovalOf(errno);
}

namespace {

// The folder that holds the last part of `path`, opened by walking down from
// `folder` one part at a time without following a symbolic link and without
// leaving `folder`'s file system. kDeleted here means "reached": `parent`
// holds the folder, `last` the final name and `device` the file system.
// kOutside when `path` does not lie below `folder` or a step leaves it;
// kFailed or kRefused, with `error`, when a step fails.
DeleteResult OpenParentBelow(const char* folder, const char* path, posix::UniqueFd* parent,
                             std::string* last, dev_t* device, uint32_t* error) {
  size_t n = std::strlen(folder);
  while (n > 1 && folder[n - 1] == '/') --n;
  if (n == 0 || folder[0] != '/') return DeleteResult::kOutside;
  const bool root = n == 1;
  if (std::strncmp(path, folder, n) != 0 || (!root && path[n] != '/'))
    return DeleteResult::kOutside;
  std::string rest(path + (root ? 1 : n + 1));
  const auto failed = [error](int code) {
    *error = static_cast<uint32_t>(code);
    return code == ENOENT || code == ENOTDIR ? DeleteResult::kFailed : DeleteResultOf(*error);
  };
  posix::UniqueFd dir(::open(std::string(folder, n).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return failed(errno);
  struct stat st;
  if (::fstat(dir.get(), &st) != 0) return failed(errno);
  *device = st.st_dev;
  for (;;) {
    const size_t cut = rest.find('/');
    const std::string part = rest.substr(0, cut);
    // "." and ".." would step sideways or out; an empty part is a doubled
    // separator, which no path the library records has.
    if (part.empty() || part == "." || part == "..") return DeleteResult::kOutside;
    if (cut == std::string::npos) break;
    posix::UniqueFd next(
        ::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      const int code = errno;
      // A symbolic link (ELOOP, or ENOTDIR with O_DIRECTORY) is not
      // followed; a file where a folder should be means the path is gone.
      if (code == ELOOP || code == ENOTDIR) {
        if (::fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode)) {
          return DeleteResult::kOutside;
        }
      }
      return failed(code);
    }
    if (::fstat(next.get(), &st) != 0) return failed(errno);
    if (st.st_dev != *device) return DeleteResult::kOutside;  // a mount point
    dir = std::move(next);
    rest.erase(0, cut + 1);
  }
  *parent = std::move(dir);
  *last = rest;
  return DeleteResult::kDeleted;
}

}  // namespace

DeleteResult DeleteFileBelow(const char* folder, const char* path, uint32_t* error) {
  posix::UniqueFd parent;
  std::string name;
  dev_t device = 0;
  DeleteResult reached = OpenParentBelow(folder, path, &parent, &name, &device, error);
  if (reached != DeleteResult::kDeleted) return reached;
  struct stat st;
  if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = static_cast<uint32_t>(errno);
    return DeleteResult::kFailed;
  }
  if (!S_ISREG(st.st_mode) || st.st_dev != device) return DeleteResult::kOutside;
  if (::unlinkat(parent.get(), name.c_str(), 0) == 0) return DeleteResult::kDeleted;
  *error = static_cast<uint32_t>(errno);
  return DeleteResultOf(*error);
}

FolderRemoval RemoveFolderIfEmptyBelow(const char* folder, const char* path) {
  posix::UniqueFd parent;
  std::string name;
  dev_t device = 0;
  uint32_t error = 0;
  if (OpenParentBelow(folder, path, &parent, &name, &device, &error) != DeleteResult::kDeleted) {
    return FolderRemoval::kFailed;
  }
  struct stat st;
  if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(st.st_mode) || st.st_dev != device) {
    return FolderRemoval::kFailed;
  }
  return ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0 ? FolderRemoval::kRemoved
                                                                    : FolderRemovalOf(errno);
}

bool IsNetworkFolder(const char* folder) {
  struct statfs fs;
  if (::statfs(folder, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x564C:      // NCP
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x73757245:  // Coda
    case 0x01021997:  // 9P
    case 0x47504653:  // GPFS
    case 0x0BD00BD0:  // Lustre
      return true;
    default:
      return false;
  }
}

namespace {

// Whether only root or this process's user can change what `st` describes.
ChangeRights RightsOf(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return ChangeRights::kOtherOwner;
  // A folder that others may write, sticky or not, is not of its owner
  // alone: others can add files to it, and take a name left free.
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return ChangeRights::kOthersMayWrite;
  return ChangeRights::kOwnerOnly;
}

// The folder part of `path`: "/" for a file in the root, "." for a bare name.
std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

}  // namespace

ChangeRights WhoMayChange(const char* path, std::string* culprit, uint32_t* error) {
  struct stat st;
  if (::stat(path, &st) != 0) {
    *error = static_cast<uint32_t>(errno);
    *culprit = path;
    return errno == ENOENT ? ChangeRights::kMissing : ChangeRights::kUnknown;
  }
  std::vector<std::string> checked = {path, FolderOf(path)};
  // Through a link, the folder of the file it leads to decides as well:
  // whoever may write there may replace the file.
  struct stat link;
  if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr) {
      *error = static_cast<uint32_t>(errno);
      *culprit = path;
      return ChangeRights::kUnknown;
    }
    checked.push_back(FolderOf(resolved));
  }
  for (const std::string& each : checked) {
    if (::stat(each.c_str(), &st) != 0) {
      *error = static_cast<uint32_t>(errno);
      *culprit = each;
      return ChangeRights::kUnknown;
    }
    const ChangeRights rights = RightsOf(st);
    if (rights != ChangeRights::kOwnerOnly) {
      *culprit = each;
      return rights;
    }
  }
  return ChangeRights::kOwnerOnly;
}

namespace {

// Opens a file the library writes without following a symbolic link as its
// last part, without blocking on a FIFO, and only when it is a regular file
// with no other name: anything else may be someone else's file.
//
// The log and the dump are written by the clients of every user, as the
// index is: a file made here is made readable and writable by every user,
// whatever the umask. An existing file is opened without O_CREAT, which
// fs.protected_regular refuses for another user's file in a sticky folder
// that others may write (/tmp, /var/tmp), even when its mode lets everyone
// write.
posix::UniqueFd OpenOwnFile(const char* path, int flags) {
  const int open_flags = flags | O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  posix::UniqueFd fd(::open(path, open_flags));
  bool created = false;
  if (!fd.valid() && errno == ENOENT) {
    fd = posix::UniqueFd(::open(path, open_flags | O_CREAT | O_EXCL, 0666));
    created = fd.valid();
    // Made meanwhile by another process: open the one that is there.
    if (!fd.valid() && errno == EEXIST) fd = posix::UniqueFd(::open(path, open_flags));
  }
  if (!fd.valid()) return fd;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
    fd.reset();
    return fd;
  }
  // The umask cut the mode at the creation.
  if (created) ::fchmod(fd.get(), 0666);
  return fd;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteOwnFile(const char* path, const char* data, size_t size) {
  posix::UniqueFd fd = OpenOwnFile(path, 0);
  return fd.valid() && ::ftruncate(fd.get(), 0) == 0 && WriteAll(fd.get(), data, size);
}

// O_APPEND makes the move to the end and the write one step, so a line
// written with one write() is never overwritten by another process's.
bool AppendToFile(const char* path, const char* data, size_t size) {
  posix::UniqueFd fd = OpenOwnFile(path, O_APPEND);
  return fd.valid() && WriteAll(fd.get(), data, size);
}

namespace {

class PosixAppendFile final : public AppendFile {
 public:
  explicit PosixAppendFile(posix::UniqueFd fd) : fd_(std::move(fd)) {}
  bool Append(const char* data, size_t size) override { return WriteAll(fd_.get(), data, size); }

 private:
  posix::UniqueFd fd_;
};

}  // namespace

std::unique_ptr<AppendFile> OpenAppendFile(const char* path) {
  posix::UniqueFd fd = OpenOwnFile(path, O_APPEND);
  if (!fd.valid()) return nullptr;
  return std::make_unique<PosixAppendFile>(std::move(fd));
}

}  // namespace native
}  // namespace platform
}  // namespace stow
