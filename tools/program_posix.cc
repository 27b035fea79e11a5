// The stowmaster program's system calls on Linux and other POSIX systems.
#include <algorithm>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

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

namespace {

// Closes the descriptor it holds when it goes, unless Close() did already.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // The result of close(2); the descriptor is gone either way.
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

}  // namespace

bool ReplaceFileWith(const std::string& path, const std::string& text, std::string* error) {
  const size_t slash = path.find_last_of('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const std::string temporary = path.substr(0, name_at) + "." + path.substr(name_at) + ".tmp." +
                                std::to_string(static_cast<long long>(::getpid()));
  // O_EXCL and O_NOFOLLOW: never write through a name someone else put there.
  Descriptor fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    *error = "open " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::string failed;
  size_t done = 0;
  while (failed.empty() && done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = "write " + temporary + ": " + std::strerror(n < 0 ? errno : EIO);
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (failed.empty() && ::fsync(fd.get()) != 0) {
    failed = "fsync " + temporary + ": " + std::strerror(errno);
  }
  if (fd.Close() != 0 && failed.empty()) {
    failed = "close " + temporary + ": " + std::strerror(errno);
  }
  if (failed.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
    failed = "rename " + temporary + " to " + path + ": " + std::strerror(errno);
  }
  if (failed.empty()) return true;
  ::unlink(temporary.c_str());
  *error = failed;
  return false;
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
