// The switch that lets a test put another Env in place of the platform's
// own (DefaultEnv, in posix/ or win32/), and what is common to both.
#include <atomic>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace stow {

OsError::OsError(uint32_t code, const char* call, const std::string& path)
    : code_(code), call_(call != nullptr ? call : ""), path_(path) {
  message_ = call_;
  if (!path_.empty()) message_ += (message_.empty() ? "" : " ") + path_;
  message_ += ": " + platform::ErrorText(code_);
}

namespace platform {
namespace {

std::atomic<Env*> g_replacement{nullptr};

}  // namespace

Env& env() {
  Env* replacement = g_replacement.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : DefaultEnv();
}

void SetEnvForTesting(Env* replacement) {
  g_replacement.store(replacement, std::memory_order_release);
}

bool BootId::operator==(const BootId& o) const {
  return known && o.known && std::memcmp(bytes, o.bytes, sizeof(bytes)) == 0;
}

bool IsNotFound(uint32_t code) {
#ifdef _WIN32
  return code == 2 || code == 3;  // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND
#else
  return code == 2;  // ENOENT
#endif
}

bool IsTopFolder(const char* path, size_t length) {
#ifdef _WIN32
  const bool drive = length >= 2 && path[1] == ':';
  if (drive && length == 2) return true;
  if (drive && length == 3) return path[2] == '\\' || path[2] == '/';
  return length == 1 && (path[0] == '\\' || path[0] == '/');
#else
  return length == 1 && path[0] == '/';
#endif
}

void SplitEntryPath(const char* path, std::string* folder, std::string* name) {
  const std::string text(path);
#ifdef _WIN32
  // "C:name" is a name in the current folder of drive C.
  size_t cut = text.find_last_of("\\/");
  if (cut == std::string::npos && text.size() >= 2 && text[1] == ':') cut = 1;
#else
  const size_t cut = text.find_last_of('/');
#endif
  if (cut == std::string::npos) {
    *folder = ".";
    *name = text;
  } else {
    // The separator stays: "/a/" and "C:\" open the folder, "" would not.
    *folder = text.substr(0, cut + 1);
    *name = text.substr(cut + 1);
  }
#ifdef _WIN32
  // "name:stream" and "name::$DATA" are streams of the file "name".
  const size_t stream = name->find(':');
  if (stream != std::string::npos) name->resize(stream);
  while (!name->empty() && (name->back() == '.' || name->back() == ' ')) name->pop_back();
#endif
}

}  // namespace platform
}  // namespace stow
