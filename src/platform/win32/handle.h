// Common ground of the Win32 layer: the system header with the macros that
// would rename this layer's own functions taken out, and an owning wrapper
// for kernel handles.
#pragma once

#include <string>

#include "platform/os_error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> maps these names to their A/W forms; platform.h declares
// functions of the same names in stow::platform, which must keep them.
#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory

namespace stow {
namespace platform {
namespace win32 {

// Owns one kernel handle and closes it when destroyed. Both NULL and
// INVALID_HANDLE_VALUE count as "no handle", since the Win32 functions use
// one or the other to report failure.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != NULL && h_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }

  HANDLE release() {
    HANDLE h = h_;
    h_ = NULL;
    return h;
  }

  void reset(HANDLE h = NULL) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = NULL;
};

// Security attributes with a NULL DACL: the object (or file) they create is
// open to every user of the machine, so that processes of different accounts
// can share the index and its locks. Not copyable, since `sa` points into
// the object itself.
class OpenToEveryone {
 public:
  // status() tells whether the descriptor could be made.
  OpenToEveryone() {
    if (!InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION)) {
      status_ = OsStatus(GetLastError(), "InitializeSecurityDescriptor");
    } else if (!SetSecurityDescriptorDacl(&sd_, TRUE, NULL, FALSE)) {
      status_ = OsStatus(GetLastError(), "SetSecurityDescriptorDacl");
    }
    sa_.nLength = sizeof(sa_);
    sa_.lpSecurityDescriptor = &sd_;
    sa_.bInheritHandle = FALSE;
  }
  OpenToEveryone(const OpenToEveryone&) = delete;
  OpenToEveryone& operator=(const OpenToEveryone&) = delete;

  SECURITY_ATTRIBUTES* get() { return &sa_; }
  const OsStatus& status() const { return status_; }

 private:
  OsStatus status_;
  SECURITY_DESCRIPTOR sd_;
  SECURITY_ATTRIBUTES sa_;
};

// A kernel object name as the *A functions take it: NULL for an unnamed
// object.
inline const char* ObjectName(const std::string& name) {
  return name.empty() ? NULL : name.c_str();
}

}  // namespace win32
}  // namespace platform
}  // namespace stow
