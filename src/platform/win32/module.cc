// Where the library lives, its settings file and text conversion, on Win32.

#include "platform/win32/handle.h"

#include <climits>
#include <string>
#include <vector>

#include "platform/native.h"

namespace stow {
namespace platform {
namespace native {

namespace {

// Longest path the system hands out (with the \\?\ prefix).
constexpr DWORD kMaxLongPath = 32768;

// Lives in this module, so that its address identifies the module: the DLL
// in the shipped library, the program when the core is linked statically.
void ModuleAnchor() {}

}  // namespace

bool ModuleFilePath(std::string* out) {
  HMODULE module = NULL;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&ModuleAnchor), &module)) {
    return false;
  }
  // A path that fills the buffer completely has been cut short; try again
  // with more room.
  for (DWORD size = MAX_PATH; size <= kMaxLongPath; size *= 2) {
    std::vector<char> buffer(size);
    DWORD length = GetModuleFileNameA(module, buffer.data(), size);
    if (length == 0) return false;
    if (length < size) {
      out->assign(buffer.data(), length);
      return true;
    }
  }
  return false;
}

std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                              const char* fallback, size_t size) {
  if (size == 0) return std::string();
  // The system function takes a DWORD count; nothing read from a settings
  // file comes near that limit.
  DWORD capacity = size > 65536 ? 65536 : static_cast<DWORD>(size);
  std::vector<char> buffer(capacity);
  DWORD length = GetPrivateProfileStringA(section, key, fallback ? fallback : "", buffer.data(),
                                          capacity, file.c_str());
  if (length >= capacity) length = capacity - 1;
  return std::string(buffer.data(), length);
}

bool WideToNarrow(const char16_t* text, char* out, size_t out_size) {
  if (out_size == 0) return false;
  int capacity = out_size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(out_size);
  // char16_t and wchar_t are both UTF-16 code units on Windows.
  // No best fit: a character the code page lacks must not turn into a
  // look-alike (a fullwidth reverse solidus into a separator) and so name
  // another file.
  BOOL used_default = FALSE;
  int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<LPCWSTR>(text),
                                    -1, out, capacity, NULL, &used_default);
  if (written == 0 || used_default) {
    // Too small a buffer, or text the system cannot convert exactly.
    out[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace native
}  // namespace platform
}  // namespace stow
