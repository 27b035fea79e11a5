// The index file mapped MAP_SHARED, so that all processes see one copy.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/native.h"
#include "platform/posix/unique_fd.h"

namespace stow {
namespace platform {
namespace posix {

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

UniqueFd OpenIndexFile(const std::string& path) {
  const auto fail = [&path](const char* call) {
    throw OsError(static_cast<uint32_t>(errno), call, path);
  };
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  for (;;) {
    // Try to create it first so that only its creator sets the mode.
    UniqueFd fd(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666));
    if (fd.valid()) {
      if (::fchmod(fd.get(), 0666) != 0) fail("fchmod");
      return fd;
    }
    if (errno != EEXIST) fail("open");
    fd = UniqueFd(::open(path.c_str(), flags));
    if (!fd.valid()) {
      if (errno == ENOENT) continue;  // removed meanwhile: create it again
      fail("open");
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) fail("fstat");
    if (!S_ISREG(st.st_mode)) throw OsError(EINVAL, "open (not a regular file)", path);
    return fd;
  }
}

namespace {

class PosixSharedFile : public SharedFile {
 public:
  PosixSharedFile(UniqueFd fd, uint8_t* data, size_t size)
      : fd_(std::move(fd)), data_(data), size_(size) {}
  ~PosixSharedFile() override { ::munmap(data_, size_); }

  uint8_t* data() override { return data_; }
  size_t size() const override { return size_; }

  // Starts writing the dirty pages without waiting for the disk, as a view
  // flush does on Windows; the page cache already holds every change.
  bool Flush() override { return ::msync(data_, size_, MS_ASYNC) == 0; }

 private:
  UniqueFd fd_;
  uint8_t* data_;
  size_t size_;
};

}  // namespace
}  // namespace posix

namespace native {

std::unique_ptr<SharedFile> OpenSharedFile(const std::string& path, const std::string&,
                                           size_t size) {
  posix::UniqueFd fd = posix::OpenIndexFile(path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw OsError(static_cast<uint32_t>(errno), "fstat", path);
  if (static_cast<unsigned long long>(st.st_size) < size) {
    // Reserve the blocks now: a full disk fails here rather than with a
    // SIGBUS on first touch of the mapping.
    int rc;
    do {
      rc = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
    } while (rc == EINTR);
    if (rc != 0) throw OsError(static_cast<uint32_t>(rc), "posix_fallocate", path);
  }
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) throw OsError(static_cast<uint32_t>(errno), "mmap", path);
  return std::make_unique<posix::PosixSharedFile>(std::move(fd), static_cast<uint8_t*>(p), size);
}

}  // namespace native
}  // namespace platform
}  // namespace stow
