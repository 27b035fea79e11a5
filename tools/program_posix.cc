// The stowmaster program's system calls on Linux and other POSIX systems.
#include <algorithm>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "program_platform.h"

// The install folder of the library seen from the program's own, set by the
// build ("../lib" for the usual layout).
#ifndef STOW_LIBDIR_FROM_BINDIR
#define STOW_LIBDIR_FROM_BINDIR "../lib"
#endif

namespace stow_program {

const char kLibraryName[] = "libstowmaster.so.1";

std::string ProgramDir() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return std::string();
  std::string dir(self, static_cast<size_t>(n));
  dir.resize(dir.find_last_of('/') + 1);
  return dir;
}

// Beside the program (where the build puts both), under the development
// link's name too, then in the installation's library folder.
std::vector<std::string> LibraryCandidates(const std::string& dir) {
  return {dir + kLibraryName, dir + "libstowmaster.so",
          dir + STOW_LIBDIR_FROM_BINDIR + "/" + kLibraryName};
}

bool Readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

std::string FileOfAddress(void* address) {
  Dl_info info = {};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "?";
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
  return resolved;
}

bool StderrIsTerminal() { return ::isatty(2) != 0; }

std::FILE* TakeStandardOutput() {
  std::fflush(stdout);
  const int own = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return stdout;
  std::FILE* out = ::fdopen(own, "w");
  if (out == nullptr) {
    ::close(own);
    return stdout;
  }
  if (::dup2(2, 1) < 0) {
    std::fclose(out);
    return stdout;
  }
  // Unbuffered, the echo lands on the standard error where it happens,
  // among the program's own messages there.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return out;
}

bool SystemTextToUtf8(const std::string& text, std::string* utf8) {
  *utf8 = text;
  return true;
}

}  // namespace stow_program

namespace stow_program {

const char kPathSeparator = '/';

char PathSpellingKey(char c) { return c; }

std::string AbsolutePath(const std::string& path) {
  std::string whole = path;
  if (path.empty() || path[0] != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return path;
    whole = std::string(cwd) + "/" + path;
    ::free(cwd);
  }
  // Each name between separators once; "." names dropped and ".." taking
  // the name before it away, by the spelling alone as the index compares
  // paths (as the Windows call does).
  std::string folded;
  for (size_t at = 0; at < whole.size();) {
    const size_t slash = std::min(whole.find('/', at), whole.size());
    const std::string name = whole.substr(at, slash - at);
    if (name == "..") {
      folded.resize(folded.empty() ? 0 : folded.find_last_of('/'));
    } else if (!name.empty() && name != ".") {
      folded += "/" + name;
    }
    at = slash + 1;
  }
  if (folded.empty()) folded = "/";
  if (whole.size() > 1 && whole.back() == '/' && folded != "/") folded += '/';
  return folded;
}

}  // namespace stow_program
