// Owning wrapper for a POSIX file descriptor, and the shared way every part
// of the POSIX layer opens the index file.
#pragma once

#include <string>

#include "platform/os_error.h"
#include "platform/posix/lock_bytes.h"

namespace stow {
namespace platform {
namespace posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// Opens the index file for reading and writing, creating it when missing
// with mode 0666 whatever the umask, so that every user of the machine can
// share it. Does not follow a symbolic link and refuses anything but a
// regular file. Each call gives a new open file description, which is what
// the open-file-description locks of this layer are tied to.
OsStatus OpenIndexFile(const std::string& path, UniqueFd* fd);

}  // namespace posix
}  // namespace platform
}  // namespace stow
