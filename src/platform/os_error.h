// The one error type for failed system calls.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace stow {

// Thrown inside the library when a system call fails. Carries the code the
// system reported for that call (GetLastError on Windows, errno elsewhere),
// the name of the call and, where there is one, the path it was given.
// Only the exported entry points catch it.
class OsError : public std::exception {
 public:
  OsError(uint32_t code, const char* call, const std::string& path = std::string());

  uint32_t code() const noexcept { return code_; }
  const std::string& call() const noexcept { return call_; }
  const std::string& path() const noexcept { return path_; }
  // "<call> <path>: <the system's text for the code>", the path left out
  // when there is none.
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  uint32_t code_;
  std::string call_;
  std::string path_;
  std::string message_;
};

namespace platform {
// The system's own text for an error code, without a line end.
std::string ErrorText(uint32_t code);
}  // namespace platform

}  // namespace stow
