// The one error type for failed system calls.
#pragma once

#include <cstdint>
#include <exception>

namespace stow {

// Thrown inside the library when a system call fails. Carries the code the
// system reported for that call (GetLastError on Windows, errno elsewhere).
// Only the exported entry points catch it.
class OsError : public std::exception {
 public:
  explicit OsError(uint32_t code) : code_(code) {}
  uint32_t code() const noexcept { return code_; }
  const char* what() const noexcept override { return "system call failed"; }

 private:
  uint32_t code_;
};

}  // namespace stow
