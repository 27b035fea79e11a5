// Where the library lives, its settings file, and UTF-16 conversion.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "platform/ini_parser.h"
#include "platform/native.h"

namespace stow {
namespace platform {
namespace native {

bool ModuleFilePath(std::string* out) {
  Dl_info info = {};
  // Any address inside this module names the file it was loaded from.
  if (::dladdr(reinterpret_cast<void*>(&ModuleFilePath), &info) == 0 || info.dli_fname == nullptr ||
      info.dli_fname[0] == '\0') {
    return false;
  }
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved) == nullptr) return false;
  *out = resolved;
  return true;
}

std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                              const char* fallback, size_t size) {
  std::ifstream in(file, std::ios::binary);
  std::string text;
  if (in) {
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
  }
  return LookupIniValue(text, section, key, fallback, size);
}

bool WideToNarrow(const char16_t* text, char* out, size_t out_size) {
  if (out_size == 0) return false;
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
      return false;
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
      return false;
    }
  }
  out[n] = '\0';
  return true;
}

}  // namespace native
}  // namespace platform
}  // namespace stow
