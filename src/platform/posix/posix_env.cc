// The Env of Linux: files and folders, where the library lives, the clock,
// threads and the process-local mutex. The index's shared objects (the
// mapped file, the lock, the semaphore, the event) live in shared_file.cc and
// sync.cc.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/ini_parser.h"
#include "platform/platform.h"
#include "platform/posix/objects.h"
#include "platform/posix/unique_fd.h"

namespace stow {
namespace platform {

std::string ErrorText(uint32_t code) {
  char buffer[256];
  // The GNU form returns the text, which may or may not be in the buffer.
  const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
  return text != nullptr ? std::string(text) : "error " + std::to_string(code);
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

static_assert(sizeof(pthread_mutex_t) <= 64, "LocalMutex storage too small");

LocalMutex::LocalMutex() { new (storage_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
LocalMutex::~LocalMutex() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void LocalMutex::lock() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
bool LocalMutex::try_lock() {
  return pthread_mutex_trylock(reinterpret_cast<pthread_mutex_t*>(storage_)) == 0;
}
void LocalMutex::unlock() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

namespace {

OsStatus Errno(const char* call, const std::string& path = std::string()) {
  return OsStatus(static_cast<uint32_t>(errno), call, path);
}

FileId IdOf(const struct stat& st) {
  FileId id;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.file = static_cast<uint64_t>(st.st_ino);
  id.known = true;
  return id;
}

void KindOf(const struct stat& st, FileInfo* info) {
  info->kind = S_ISDIR(st.st_mode)   ? FileKind::kDirectory
               : S_ISREG(st.st_mode) ? FileKind::kRegular
                                     : FileKind::kOther;
  if (info->kind == FileKind::kRegular) info->size = static_cast<uint64_t>(st.st_size);
  info->modified = static_cast<int64_t>(st.st_mtime);
}

// POSIX lets rmdir report a folder with entries either way.
FolderRemoval FolderRemovalOf(int code) {
  return code == ENOTEMPTY || code == EEXIST ? FolderRemoval::kNotEmpty : FolderRemoval::kFailed;
}

// What a failed rmdir or unlinkat(AT_REMOVEDIR) of `folder` came to.
OsStatus NoteRemoval(const char* call, const char* folder, FolderRemoval* result) {
  const int code = errno;
  *result = FolderRemovalOf(code);
  if (*result == FolderRemoval::kNotEmpty) return OsStatus();
  return OsStatus(static_cast<uint32_t>(code), call, folder);
}

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
OsStatus OpenOwnFile(const char* path, int flags, posix::UniqueFd* out) {
  const int open_flags = flags | O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  posix::UniqueFd fd(::open(path, open_flags));
  bool created = false;
  if (!fd.valid() && errno == ENOENT) {
    fd = posix::UniqueFd(::open(path, open_flags | O_CREAT | O_EXCL, 0666));
    created = fd.valid();
    // Made meanwhile by another process: open the one that is there.
    if (!fd.valid() && errno == EEXIST) fd = posix::UniqueFd(::open(path, open_flags));
  }
  if (!fd.valid()) return Errno("open", path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Errno("fstat", path);
  if (!S_ISREG(st.st_mode)) return OsStatus(EINVAL, "open (not a regular file)", path);
  if (st.st_nlink > 1) return OsStatus(EMLINK, "open (a file with other links)", path);
  // The umask cut the mode at the creation.
  if (created) ::fchmod(fd.get(), 0666);
  *out = std::move(fd);
  return OsStatus();
}

OsStatus WriteAll(int fd, const char* data, size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Errno("write", path);
    if (n == 0) return OsStatus(EIO, "write", path);
    data += n;
    size -= static_cast<size_t>(n);
  }
  return OsStatus();
}

class PosixAppendFile final : public AppendFile {
 public:
  PosixAppendFile(posix::UniqueFd fd, std::string path)
      : fd_(std::move(fd)), path_(std::move(path)) {}
  OsStatus Append(const char* data, size_t size) override {
    return WriteAll(fd_.get(), data, size, path_);
  }

 private:
  posix::UniqueFd fd_;
  std::string path_;
};

// True when the effective capability set holds a capability that lets
// this process pass the permission checks of an unlink or rmdir, and so
// delete files its user could not:
// - CAP_DAC_OVERRIDE passes the write and search permission on the folder;
// - CAP_FOWNER passes the owner check of a sticky folder (another user's
//   file in /tmp or /var/tmp).
// Not counted: CAP_DAC_READ_SEARCH passes only the search (and read) check,
// so the folder's write permission and the sticky bit still decide;
// CAP_SYS_ADMIN, CAP_CHOWN, CAP_SETUID and the like are not consulted by
// an unlink at all: a process would first have to use them to change ids
// or owners, which the library never does.
// Read with capget, which needs no /proc; a failure counts as none held.
bool MayPassDeletionChecks() {
  __user_cap_header_struct header = {};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;  // this thread
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  // Both capabilities have numbers below 32: the first word holds them.
  static_assert(CAP_DAC_OVERRIDE < 32 && CAP_FOWNER < 32, "the first word of the set");
  const uint32_t wanted = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_FOWNER);
  return (data[0].effective & wanted) != 0;
}

struct StartInfo {
  void (*entry)(void*);
  void* arg;
};

void* Trampoline(void* p) {
  StartInfo info = *static_cast<StartInfo*>(p);
  delete static_cast<StartInfo*>(p);
  info.entry(info.arg);
  return nullptr;
}

class PosixThread : public Thread {
 public:
  explicit PosixThread(pthread_t t) : thread_(t) {}
  ~PosixThread() override {
    if (!joined_) pthread_detach(thread_);
  }
  void Join() override {
    if (joined_) return;
    pthread_join(thread_, nullptr);
    joined_ = true;
  }

 private:
  pthread_t thread_;
  bool joined_ = false;
};

// A folder held by its descriptor; every read and every open below it goes
// through that descriptor (fdopendir of a duplicate, fstatat, openat).
class PosixHeldFolder final : public HeldFolder {
 public:
  PosixHeldFolder(posix::UniqueFd fd, const struct stat& st) : fd_(std::move(fd)), id_(IdOf(st)) {}

  // Opens `fd`'s folder afresh, as a new holder.
  static OsStatus Hold(posix::UniqueFd fd, const std::string& path,
                       std::unique_ptr<HeldFolder>* folder) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Errno("fstat", path);
    if (!S_ISDIR(st.st_mode)) return OsStatus(ENOTDIR, "open", path);
    *folder = std::make_unique<PosixHeldFolder>(std::move(fd), st);
    return OsStatus();
  }

  FileId id() const override { return id_; }

  OsStatus Read(size_t limit, std::vector<FolderEntry>* entries) override {
    entries->clear();
    // A duplicate shares the read position, which is set back to the start.
    posix::UniqueFd copy(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.valid()) return Errno("fcntl");
    DIR* dir = ::fdopendir(copy.get());
    if (dir == nullptr) return Errno("fdopendir");
    copy.release();  // closedir closes it
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, &::closedir);
    ::rewinddir(dir);
    while (entries->size() < limit) {
      errno = 0;
      const struct dirent* e = ::readdir(dir);
      if (e == nullptr) {
        if (errno != 0) {
          const OsStatus failed = Errno("readdir");
          entries->clear();
          return failed;
        }
        break;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      struct stat st;
      // Gone since the folder was read: not there.
      if (::fstatat(fd_.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      FolderEntry entry;
      entry.name = e->d_name;
      entry.link = S_ISLNK(st.st_mode);
      KindOf(st, &entry.info);
      entry.info.id = IdOf(st);
      entries->push_back(std::move(entry));
    }
    return OsStatus();
  }

  OsStatus OpenSub(const std::string& name, std::unique_ptr<HeldFolder>* sub) override {
    sub->reset();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      return OsStatus(EINVAL, "openat", name);
    }
    posix::UniqueFd fd(
        ::openat(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
      // A symbolic link is refused (ELOOP) as anything else that is not a
      // folder is.
      const uint32_t code = errno == ELOOP ? ENOTDIR : static_cast<uint32_t>(errno);
      return OsStatus(code, "openat", name);
    }
    return Hold(std::move(fd), name, sub);
  }

 private:
  posix::UniqueFd fd_;
  FileId id_;
};

// Any address inside this module names the file it was loaded from.
void ModuleMarker() {}

class PosixEnv final : public Env {
 public:
  int64_t NowSeconds() override { return static_cast<int64_t>(::time(nullptr)); }

  // The kernel's boot id: a UUID in text, chosen anew at every start.
  BootId BootIdentity() override {
    BootId id;
    posix::UniqueFd fd(::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return id;
    char text[64];
    ssize_t n;
    do {
      n = ::read(fd.get(), text, sizeof(text));
    } while (n < 0 && errno == EINTR);
    // 32 hex digits, with dashes between groups and a line end after.
    size_t digits = 0;
    for (ssize_t i = 0; i < n && digits < 32; ++i) {
      const char c = text[i];
      int v;
      if (c >= '0' && c <= '9') {
        v = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        v = c - 'A' + 10;
      } else {
        continue;
      }
      id.bytes[digits / 2] =
          static_cast<uint8_t>(id.bytes[digits / 2] | (v << (digits % 2 ? 0 : 4)));
      ++digits;
    }
    id.known = digits == 32;
    // The clock less the time since the start, the time asleep included.
    struct timespec wall;
    struct timespec up;
    if (::clock_gettime(CLOCK_REALTIME, &wall) == 0 && ::clock_gettime(CLOCK_BOOTTIME, &up) == 0) {
      id.started = static_cast<int64_t>(wall.tv_sec) - static_cast<int64_t>(up.tv_sec) -
                   (wall.tv_nsec < up.tv_nsec ? 1 : 0);
    }
    return id;
  }

  LocalTime ToLocalTime(int64_t seconds) override {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm_local = {};
    ::localtime_r(&t, &tm_local);
    return LocalTime{tm_local.tm_year + 1900, tm_local.tm_mon + 1, tm_local.tm_mday,
                     tm_local.tm_hour,        tm_local.tm_min,     tm_local.tm_sec};
  }

  void SleepMs(int64_t ms) override {
    struct timespec t = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
  }

  OsStatus ModuleFilePath(std::string* out) override {
    Dl_info info = {};
    if (::dladdr(reinterpret_cast<void*>(&ModuleMarker), &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] == '\0') {
      return OsStatus(ENOENT, "dladdr");
    }
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) == nullptr) return Errno("realpath", info.dli_fname);
    *out = resolved;
    return OsStatus();
  }

  std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                                const char* fallback, size_t size) override {
    std::ifstream in(file, std::ios::binary);
    std::string text;
    if (in) {
      std::ostringstream buffer;
      buffer << in.rdbuf();
      text = buffer.str();
    }
    return LookupIniValue(text, section, key, fallback, size);
  }

  OsStatus ReadTextFile(const char* path, size_t limit, std::string* out) override {
    out->clear();
    posix::UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return Errno("open", path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Errno("fstat", path);
    if (!S_ISREG(st.st_mode)) return OsStatus(EINVAL, "open (not a regular file)", path);
    char buffer[4096];
    while (out->size() < limit) {
      const size_t want = std::min(sizeof(buffer), limit - out->size());
      const ssize_t n = ::read(fd.get(), buffer, want);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Errno("read", path);
      if (n == 0) break;
      out->append(buffer, static_cast<size_t>(n));
    }
    return OsStatus();
  }

  OsStatus WideToNarrow(const char16_t* text, char* out, size_t out_size) override {
    const OsStatus too_long(ENAMETOOLONG, "WideToNarrow");
    if (out_size == 0) return too_long;
    size_t n = 0;
    auto put = [&](char c) {
      if (n + 1 >= out_size) return false;
      out[n++] = c;
      return true;
    };
    for (size_t i = 0; text[i] != 0; ++i) {
      uint32_t cp = text[i];
      if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else if (cp >= 0xD800 && cp <= 0xDFFF) {
        out[0] = '\0';  // an unpaired surrogate has no UTF-8 form
        return OsStatus(EILSEQ, "WideToNarrow");
      }
      bool ok;
      if (cp < 0x80) {
        ok = put(static_cast<char>(cp));
      } else if (cp < 0x800) {
        ok = put(static_cast<char>(0xC0 | (cp >> 6))) && put(static_cast<char>(0x80 | (cp & 0x3F)));
      } else if (cp < 0x10000) {
        ok = put(static_cast<char>(0xE0 | (cp >> 12))) &&
             put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F))) &&
             put(static_cast<char>(0x80 | (cp & 0x3F)));
      } else {
        ok = put(static_cast<char>(0xF0 | (cp >> 18))) &&
             put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F))) &&
             put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F))) &&
             put(static_cast<char>(0x80 | (cp & 0x3F)));
      }
      if (!ok) {
        out[0] = '\0';
        return too_long;
      }
    }
    out[n] = '\0';
    return OsStatus();
  }

  OsStatus AbsolutePath(const char* path, std::string* out) override {
    out->clear();
    if (path[0] == '/') {
      *out = path;
      return OsStatus();
    }
    std::string cwd(256, '\0');
    while (::getcwd(&cwd[0], cwd.size()) == nullptr) {
      if (errno != ERANGE) return Errno("getcwd");
      cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    if (cwd.empty() || cwd.back() != '/') cwd += '/';
    *out = cwd + path;
    return OsStatus();
  }

  OsStatus GetFileKind(const char* path, FileInfo* info) override {
    *info = FileInfo();
    struct stat st;
    if (::stat(path, &st) != 0) return Errno(kFileSizeCall, path);
    KindOf(st, info);
    return OsStatus();
  }

  // One lstat answers both for anything but a link; a link is followed for
  // its kind and size only, with a stat more.
  OsStatus GetFileKindAndId(const char* path, FileInfo* info) override {
    *info = FileInfo();
    struct stat st;
    if (::lstat(path, &st) != 0) return Errno(kFileSizeCall, path);
    const FileId id = IdOf(st);
    if (S_ISLNK(st.st_mode)) {
      const OsStatus status = GetFileKind(path, info);
      info->id = id;
      return status;
    }
    info->id = id;
    KindOf(st, info);
    return OsStatus();
  }

  OsStatus GetFileId(const char* path, bool follow_link, FileId* id) override {
    *id = FileId();
    struct stat st;
    if (follow_link ? ::stat(path, &st) != 0 : ::lstat(path, &st) != 0) {
      return Errno(follow_link ? "stat" : "lstat", path);
    }
    *id = IdOf(st);
    return OsStatus();
  }

  bool IsDirectory(const char* path) override {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
  }

  // The folder is opened without following a link and read through that
  // one descriptor; each entry is looked at from it, not by a path that a
  // rename elsewhere could redirect.
  OsStatus ReadFolder(const char* folder, bool follow_link, size_t limit, FileId* folder_id,
                      std::vector<FolderEntry>* entries) override {
    *folder_id = FileId();
    entries->clear();
    posix::UniqueFd fd(
        ::open(folder, O_RDONLY | O_DIRECTORY | (follow_link ? 0 : O_NOFOLLOW) | O_CLOEXEC));
    if (!fd.valid()) return Errno("open", folder);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Errno("fstat", folder);
    const FileId id = IdOf(st);
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) return Errno("fdopendir", folder);
    fd.release();  // closedir closes it
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, &::closedir);
    while (entries->size() < limit) {
      errno = 0;
      const struct dirent* e = ::readdir(dir);
      if (e == nullptr) {
        if (errno != 0) {
          const OsStatus failed = Errno("readdir", folder);
          entries->clear();
          return failed;
        }
        break;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      FolderEntry entry;
      entry.name = e->d_name;
      // Gone since the folder was read: not there.
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      entry.link = S_ISLNK(st.st_mode);
      KindOf(st, &entry.info);
      entry.info.id = IdOf(st);
      entries->push_back(std::move(entry));
    }
    *folder_id = id;
    return OsStatus();
  }

  OsStatus OpenFolder(const char* path, std::unique_ptr<HeldFolder>* folder) override {
    folder->reset();
    posix::UniqueFd fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return Errno("open", path);
    return PosixHeldFolder::Hold(std::move(fd), path, folder);
  }

  OsStatus CreateDirectory(const char* path) override {
    return ::mkdir(path, 0777) == 0 ? OsStatus() : Errno("mkdir", path);
  }

  OsStatus DeleteFile(const char* path, DeleteResult* result) override {
    *result = DeleteResult::kDeleted;
    if (::unlink(path) == 0) return OsStatus();
    const OsStatus failed = Errno(kDeleteFileCall, path);
    *result = DeleteResultOf(failed.code());
    return failed;
  }

  OsStatus DeleteFileBelow(const char* folder, const char* path, DeleteResult* result) override {
    posix::UniqueFd parent;
    std::string name;
    dev_t device = 0;
    uint32_t error = 0;
    *result = OpenParentBelow(folder, path, &parent, &name, &device, &error);
    if (*result == DeleteResult::kOutside) return OsStatus();
    if (*result != DeleteResult::kDeleted) return OsStatus(error, kDeleteFileCall, path);
    struct stat st;
    if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      *result = DeleteResult::kFailed;
      return Errno(kDeleteFileCall, path);
    }
    if (!S_ISREG(st.st_mode) || st.st_dev != device) {
      *result = DeleteResult::kOutside;
      return OsStatus();
    }
    if (::unlinkat(parent.get(), name.c_str(), 0) == 0) return OsStatus();
    const OsStatus failed = Errno(kDeleteFileCall, path);
    *result = DeleteResultOf(failed.code());
    return failed;
  }

  bool IsNetworkFolder(const char* folder) override {
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

  Privileges ProcessPrivileges() override {
    Privileges p;
    p.elevated = ::geteuid() == 0 || MayPassDeletionChecks();
    p.set_id = ::getuid() != ::geteuid() || ::getgid() != ::getegid();
    p.user = static_cast<uint32_t>(::geteuid());
    return p;
  }

  OsStatus WhoMayChange(const char* path, ChangeRights* rights, std::string* culprit) override {
    *culprit = path;
    struct stat st;
    if (::stat(path, &st) != 0) {
      *rights = errno == ENOENT ? ChangeRights::kMissing : ChangeRights::kUnknown;
      return *rights == ChangeRights::kMissing ? OsStatus() : Errno("stat", path);
    }
    std::vector<std::string> checked = {path, FolderOf(path)};
    // Through a link, the folder of the file it leads to decides as well:
    // whoever may write there may replace the file.
    struct stat link;
    if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
      char resolved[PATH_MAX];
      if (::realpath(path, resolved) == nullptr) {
        *rights = ChangeRights::kUnknown;
        return Errno("realpath", path);
      }
      checked.push_back(FolderOf(resolved));
    }
    for (const std::string& each : checked) {
      *culprit = each;
      if (::stat(each.c_str(), &st) != 0) {
        *rights = ChangeRights::kUnknown;
        return Errno("stat", each);
      }
      *rights = RightsOf(st);
      if (*rights != ChangeRights::kOwnerOnly) return OsStatus();
    }
    culprit->clear();
    return OsStatus();
  }

  bool ReadEnvironmentVariable(const char* name, std::string* out) override {
    const char* value = ::getenv(name);
    if (value == nullptr) return false;
    *out = value;
    return true;
  }

  // Reads the folder in small batches: opendir/readdir fetch 32 KiB of
  // entries at once, which costs far more in a large folder than the first
  // few entries that answer the question.
  bool FolderHasEntries(const char* folder) override {
    posix::UniqueFd fd(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return false;
    alignas(8) char buffer[1024];
    bool found = false;
    for (;;) {
      ssize_t n = ::getdents64(fd.get(), buffer, sizeof(buffer));
      if (n <= 0) break;
      for (ssize_t pos = 0; pos < n && !found;) {
        const auto* e = reinterpret_cast<const struct dirent64*>(buffer + pos);
        found = std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
        pos += e->d_reclen;
      }
      if (found) break;
    }
    return found;
  }

  // Whether an empty folder can be removed depends on its parent, not on its
  // own mode, so there is nothing to clear here.
  OsStatus RemoveFolderIfEmpty(const char* folder, FolderRemoval* result) override {
    *result = FolderRemoval::kRemoved;
    return ::rmdir(folder) == 0 ? OsStatus() : NoteRemoval("rmdir", folder, result);
  }

  OsStatus RemoveFolderIfEmptyBelow(const char* folder, const char* path,
                                    FolderRemoval* result) override {
    *result = FolderRemoval::kFailed;
    posix::UniqueFd parent;
    std::string name;
    dev_t device = 0;
    uint32_t error = 0;
    switch (OpenParentBelow(folder, path, &parent, &name, &device, &error)) {
      case DeleteResult::kDeleted:
        break;
      case DeleteResult::kOutside:
        return OsStatus(EXDEV, "rmdir (not below the folder)", path);
      default:
        return OsStatus(error, "rmdir", path);
    }
    struct stat st;
    if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return Errno("fstatat", path);
    }
    if (!S_ISDIR(st.st_mode) || st.st_dev != device) {
      return OsStatus(ENOTDIR, "rmdir (not a folder below the folder)", path);
    }
    *result = FolderRemoval::kRemoved;
    return ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0
               ? OsStatus()
               : NoteRemoval("unlinkat", path, result);
  }

  OsStatus OpenAppendFile(const char* path, std::unique_ptr<AppendFile>* file) override {
    file->reset();
    posix::UniqueFd fd;
    const OsStatus opened = OpenOwnFile(path, O_APPEND, &fd);
    if (opened.ok()) *file = std::make_unique<PosixAppendFile>(std::move(fd), path);
    return opened;
  }

  // O_APPEND makes the move to the end and the write one step, so a line
  // written with one write() is never overwritten by another process's.
  OsStatus AppendToFile(const char* path, const char* data, size_t size) override {
    posix::UniqueFd fd;
    const OsStatus opened = OpenOwnFile(path, O_APPEND, &fd);
    return opened.ok() ? WriteAll(fd.get(), data, size, path) : opened;
  }

  OsStatus WriteOwnFile(const char* path, const char* data, size_t size) override {
    posix::UniqueFd fd;
    const OsStatus opened = OpenOwnFile(path, 0, &fd);
    if (!opened.ok()) return opened;
    if (::ftruncate(fd.get(), 0) != 0) return Errno("ftruncate", path);
    return WriteAll(fd.get(), data, size, path);
  }

  OsStatus OpenSharedFile(const std::string& path, const std::string&, size_t size,
                          const std::string& magic, std::unique_ptr<SharedFile>* file) override {
    return posix::MapSharedFile(path, size, magic, file);
  }

  OsStatus OpenNamedMutex(const std::string&, const std::string& index_path,
                          std::unique_ptr<NamedMutex>* mutex) override {
    return posix::OpenIndexMutex(index_path, mutex);
  }

  OsStatus OpenNamedSemaphore(const std::string&, const std::string& index_path,
                              std::unique_ptr<NamedSemaphore>* semaphore) override {
    return posix::OpenIndexSemaphore(index_path, semaphore);
  }

  OsStatus NewEvent(std::unique_ptr<Event>* event) override {
    *event = posix::NewLocalEvent();
    return OsStatus();
  }

  OsStatus StartThread(void (*entry)(void*), void* arg, std::unique_ptr<Thread>* thread) override {
    thread->reset();
    auto* info = new StartInfo{entry, arg};
    pthread_t t;
    const int rc = pthread_create(&t, nullptr, Trampoline, info);
    if (rc != 0) {
      delete info;
      return OsStatus(static_cast<uint32_t>(rc), "pthread_create");
    }
    *thread = std::make_unique<PosixThread>(t);
    return OsStatus();
  }
};

}  // namespace

Env& DefaultEnv() {
  // Never destroyed: threads that outlive static destruction may still log.
  // Built in static storage rather than on the heap, so that a host that
  // unloads the library leaves no allocation behind.
  alignas(PosixEnv) static unsigned char storage[sizeof(PosixEnv)];
  static PosixEnv* const env = new (storage) PosixEnv;
  return *env;
}

}  // namespace platform
}  // namespace stow
