// The stowmaster program's system calls on Windows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "program_platform.h"

namespace stow_program {

const char kLibraryName[] = "stowmaster.dll";

std::string ProgramDir() {
  char self[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameA(NULL, self, sizeof(self));
  if (n == 0 || n >= sizeof(self)) return std::string();
  std::string dir(self, n);
  dir.resize(dir.find_last_of('\\') + 1);
  return dir;
}

// Beside the program, where the build and the zip put both.
std::vector<std::string> LibraryCandidates(const std::string& dir) { return {dir + kLibraryName}; }

bool Readable(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FileOfAddress(void* address) {
  HMODULE module = NULL;
  char path[MAX_PATH * 2];
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module)) {
    return "?";
  }
  const DWORD n = GetModuleFileNameA(module, path, sizeof(path));
  return n == 0 || n >= sizeof(path) ? "?" : std::string(path, n);
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::FILE* TakeStandardOutput() {
  std::fflush(stdout);
  const int own = _dup(_fileno(stdout));
  if (own < 0) return stdout;
  std::FILE* out = _fdopen(own, "w");
  if (out == nullptr) {
    _close(own);
    return stdout;
  }
  if (_dup2(_fileno(stderr), _fileno(stdout)) != 0) {
    std::fclose(out);
    return stdout;
  }
  // Unbuffered, the echo lands on the standard error where it happens,
  // among the program's own messages there.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return out;
}

bool SystemTextToUtf8(const std::string& text, std::string* utf8) {
  utf8->clear();
  if (text.empty()) return true;
  if (text.size() > 0x7FFFFFFF) return false;
  const int length = static_cast<int>(text.size());
  // A byte sequence the code page does not define converts only with loss.
  DWORD flags = MB_ERR_INVALID_CHARS;
  int wide_length = MultiByteToWideChar(CP_ACP, flags, text.data(), length, nullptr, 0);
  const bool exact = wide_length > 0;
  if (!exact) {
    flags = 0;
    wide_length = MultiByteToWideChar(CP_ACP, flags, text.data(), length, nullptr, 0);
    if (wide_length <= 0) return false;
  }
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_ACP, flags, text.data(), length, &wide[0], wide_length);
  const int utf8_length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (utf8_length <= 0) return false;
  utf8->resize(static_cast<size_t>(utf8_length));
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, &(*utf8)[0], utf8_length, nullptr,
                      nullptr);
  return exact;
}

namespace {

// The system's message for `code`, without its line end.
std::string SystemMessage(DWORD code) {
  char text[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code,
                           0, text, sizeof(text), NULL);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  if (n == 0) return "error " + std::to_string(static_cast<unsigned long>(code));
  return std::string(text, n);
}

// Closes the handle it holds when it goes, unless Close() did already.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  HANDLE get() const { return h_; }
  bool Close() {
    const BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok != 0;
  }

 private:
  HANDLE h_;
};

}  // namespace

bool ReplaceFileWith(const std::string& path, const std::string& text, std::string* error) {
  const size_t slash = path.find_last_of("\\/:");
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const std::string temporary = path.substr(0, name_at) + "." + path.substr(name_at) + ".tmp." +
                                std::to_string(static_cast<unsigned long>(GetCurrentProcessId()));
  Handle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, NULL));
  if (file.get() == INVALID_HANDLE_VALUE) {
    *error = "CreateFile " + temporary + ": " + SystemMessage(GetLastError());
    return false;
  }
  std::string failed;
  size_t done = 0;
  while (failed.empty() && done < text.size()) {
    const size_t left = text.size() - done;
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data() + done, chunk, &written, NULL) || written == 0) {
      failed = "WriteFile " + temporary + ": " + SystemMessage(GetLastError());
    } else {
      done += written;
    }
  }
  if (failed.empty() && !FlushFileBuffers(file.get())) {
    failed = "FlushFileBuffers " + temporary + ": " + SystemMessage(GetLastError());
  }
  if (!file.Close() && failed.empty()) {
    failed = "CloseHandle " + temporary + ": " + SystemMessage(GetLastError());
  }
  if (failed.empty() && !MoveFileExA(temporary.c_str(), path.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    failed = "MoveFileEx " + temporary + " to " + path + ": " + SystemMessage(GetLastError());
  }
  if (failed.empty()) return true;
  DeleteFileA(temporary.c_str());
  *error = failed;
  return false;
}

}  // namespace stow_program

namespace stow_program {

const char kPathSeparator = '\\';

char PathSpellingKey(char c) {
  if (c == '/') return '\\';
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The system makes the path whole: the current folder's drive and folder
// before a relative path, '/' as '\\', "." and ".." names folded.
std::string AbsolutePath(const std::string& path) {
  char full[MAX_PATH * 4];
  const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
  if (n == 0 || n >= sizeof(full)) return path;
  // Runs of separators once more, whatever the call left; the two of a
  // \\server prefix stay.
  std::string folded;
  for (DWORD i = 0; i < n; ++i) {
    const bool separator = full[i] == '\\' || full[i] == '/';
    if (separator && i > 1 && !folded.empty() && folded.back() == '\\') continue;
    folded += separator ? '\\' : full[i];
  }
  return folded;
}

}  // namespace stow_program
