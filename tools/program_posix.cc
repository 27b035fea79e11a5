// The stowmaster program's system calls on Linux and other POSIX systems.
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

}  // namespace stow_program
