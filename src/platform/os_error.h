// The error types for failed system calls: OsStatus, which the platform
// layer returns, and OsError, which the core throws when it decides to.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace stow {

// What one system call came to: success (code 0), or the code the system
// reported for that call (GetLastError on Windows, errno elsewhere), the
// name of the call and, where there is one, the path it was given. A
// success holds no text and allocates nothing. `call` must be a string that
// lives as long as the program (a literal).
class [[nodiscard]] OsStatus {
 public:
  OsStatus() noexcept = default;
  // A failure: `code` is never 0 (a call whose system gave no code picks
  // one that says what went wrong).
  OsStatus(uint32_t code, const char* call, std::string path = std::string())
      : code_(code), call_(call != nullptr ? call : ""), path_(std::move(path)) {}

  bool ok() const noexcept { return code_ == 0; }
  uint32_t code() const noexcept { return code_; }
  const char* call() const noexcept { return call_; }
  const std::string& path() const noexcept { return path_; }

  // Throws the failure as an OsError; does nothing on success.
  inline void ThrowIfFailed() const;

 private:
  uint32_t code_ = 0;
  const char* call_ = "";
  std::string path_;
};

// Thrown inside the library when a system call fails and the core cannot go
// on without it. Carries what an OsStatus carries. Only the exported entry
// points catch it.
class OsError : public std::exception {
 public:
  OsError(uint32_t code, const char* call, const std::string& path = std::string());
  explicit OsError(const OsStatus& status) : OsError(status.code(), status.call(), status.path()) {}

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

inline void OsStatus::ThrowIfFailed() const {
  if (!ok()) throw OsError(*this);
}

namespace platform {
// The system's own text for an error code, without a line end.
std::string ErrorText(uint32_t code);
}  // namespace platform

}  // namespace stow
