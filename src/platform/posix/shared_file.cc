// The index file mapped MAP_SHARED, so that all processes see one copy.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/fault_guard.h"
#include "platform/posix/objects.h"
#include "platform/posix/unique_fd.h"

namespace stow {
namespace platform {
namespace posix {

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

OsStatus OpenIndexFile(const std::string& path, UniqueFd* out) {
  const auto fail = [&path](const char* call) {
    return OsStatus(static_cast<uint32_t>(errno), call, path);
  };
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  for (;;) {
    // Try to create it first so that only its creator sets the mode.
    UniqueFd fd(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666));
    if (fd.valid()) {
      if (::fchmod(fd.get(), 0666) != 0) return fail("fchmod");
      *out = std::move(fd);
      return OsStatus();
    }
    if (errno != EEXIST) return fail("open");
    fd = UniqueFd(::open(path.c_str(), flags));
    if (!fd.valid()) {
      if (errno == ENOENT) continue;  // removed meanwhile: create it again
      return fail("open");
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return fail("fstat");
    if (!S_ISREG(st.st_mode)) return OsStatus(EINVAL, "open (not a regular file)", path);
    *out = std::move(fd);
    return OsStatus();
  }
}

namespace {

// Reserves the disk space of the first `size` bytes, growing a shorter file;
// 0 or errno. fallocate itself, not posix_fallocate: where a file system
// cannot reserve, the C library's stand-in writes a byte into every block,
// which could overwrite what another process writes meanwhile. Such a file
// system only gets a file that is short grown, as before.
int Reserve(int fd, size_t size) {
  int rc;
  do {
    rc = ::fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0 ? 0 : errno;
  } while (rc == EINTR);
  if (rc != EOPNOTSUPP) return rc;
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  if (static_cast<unsigned long long>(st.st_size) >= size) return 0;
  do {
    rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (rc == EINTR);
  return rc;
}

// After a reservation that failed part-way (a full disk: some file systems
// keep the blocks they got before the space ran out, and grow the file over
// them), gives back what it added: the file returns to the length `before`
// it had, a new file to zero bytes, and the blocks go back to the disk. The
// file itself stays: another process may have opened the new name
// meanwhile, and unlinking it would leave that process, and the lock it
// takes on the file, on a file nobody else finds. A process that grew the
// file meanwhile finds it cut short at its next lock and grows it back.
void GiveBack(int fd, off_t before, size_t size) {
  if (static_cast<unsigned long long>(before) >= size) return;  // nothing was to grow
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < before) return;
  // Also at an unchanged length: blocks reserved past the end are dropped.
  while (::ftruncate(fd, before) != 0 && errno == EINTR) {
  }
}

// True when the file starts with `magic`.
bool StartsWith(int fd, const std::string& magic) {
  if (magic.empty()) return true;
  std::vector<char> head(magic.size());
  ssize_t n;
  do {
    n = ::pread(fd, head.data(), head.size(), 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(head.size()) &&
         std::memcmp(head.data(), magic.data(), head.size()) == 0;
}

class PosixSharedFile : public SharedFile {
 public:
  PosixSharedFile(UniqueFd fd, uint8_t* data, size_t size, bool grown)
      : fd_(std::move(fd)), data_(data), size_(size), grown_(grown),
        slot_(RegisterView(data, size)) {}
  ~PosixSharedFile() override {
    UnregisterView(slot_);
    ::munmap(data_, size_);
  }

  uint8_t* data() override { return data_; }
  size_t size() const override { return size_; }
  bool GrownAtOpen() const override { return grown_; }

  // Writes the dirty pages and waits for the disk: MS_ASYNC starts no
  // writing on current kernels, and pages left to the kernel's writeback
  // reach the disk in any order.
  bool Flush() override { return ::msync(data_, size_, MS_SYNC) == 0; }

  bool CheckTruncated(bool look_at_length) override {
    const bool faulted = TakeFault(slot_);
    struct stat st;
    if (look_at_length && ::fstat(fd_.get(), &st) == 0 &&
        static_cast<unsigned long long>(st.st_size) < size_) {
      return true;
    }
    return faulted;
  }

  // The new mapping replaces the whole view at once, the pages of zeros the
  // fault handler put in included, so that every pointer into it stays valid.
  bool Restore() override {
    if (Reserve(fd_.get(), size_) != 0) return false;
    return ::mmap(data_, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd_.get(), 0) !=
           MAP_FAILED;
  }

 private:
  UniqueFd fd_;
  uint8_t* data_;
  size_t size_;
  bool grown_;
  int slot_;
};

}  // namespace

OsStatus MapSharedFile(const std::string& path, size_t size, const std::string& magic,
                       std::unique_ptr<SharedFile>* file) {
  file->reset();
  UniqueFd fd;
  const OsStatus opened = OpenIndexFile(path, &fd);
  if (!opened.ok()) return opened;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return OsStatus(static_cast<uint32_t>(errno), "fstat", path);
  // A second name of someone else's file: growing and formatting it would
  // destroy that file. An index already in use may carry any number of links.
  if (st.st_nlink > 1 && !StartsWith(fd.get(), magic)) {
    return OsStatus(EMLINK, "open (a file with other links)", path);
  }
  // Reserved on every open, not only when the file is short: a sparse file
  // of the right length on a full disk fails here rather than with a SIGBUS
  // on the first write to a page that has no block.
  const int rc = Reserve(fd.get(), size);
  if (rc != 0) {
    GiveBack(fd.get(), st.st_size, size);
    return OsStatus(static_cast<uint32_t>(rc), "fallocate", path);
  }
  InstallFaultHandler();
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return OsStatus(static_cast<uint32_t>(errno), "mmap", path);
  *file = std::make_unique<PosixSharedFile>(std::move(fd), static_cast<uint8_t*>(p), size,
                                            static_cast<unsigned long long>(st.st_size) < size);
  return OsStatus();
}

}  // namespace posix
}  // namespace platform
}  // namespace stow
