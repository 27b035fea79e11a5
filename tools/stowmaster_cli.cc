// stowmaster: the command-line host of the library where there is no
// rundll32. `stowmaster empty` loads the library and calls its EmptyCache
// entry point just as `rundll32 stowmaster.dll,EmptyCache` does on Windows,
// so the library's own settings file (beside the library) decides which
// cache is emptied, and the library's log records what happened.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "stowmaster.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitLibrary = 1;  // the library or its entry point is missing
constexpr int kExitUsage = 2;

const char kLibraryName[] = "libstowmaster.so.1";

void PrintHelp(std::FILE* out) {
  std::fputs(
      "Usage: stowmaster [--library FILE] COMMAND\n"
      "\n"
      "Commands:\n"
      "  empty        Delete every file registered in the cache, whatever its size,\n"
      "               age and delay. Files in use stay registered. The cache is the\n"
      "               one named by TESSARON.INI beside the library; what was deleted\n"
      "               is written to the library's log.\n"
      "\n"
      "Options:\n"
      "  --library FILE  Load the library from FILE instead of the one beside this\n"
      "                  program (or, failing that, the system's).\n"
      "  -h, --help      Show this help.\n"
      "\n"
      "Exit status: 0 done, 1 the library could not be loaded, 2 bad usage.\n",
      out);
}

// The library beside this program, where the installation puts both.
std::string LibraryBesideProgram() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return std::string();
  self[n] = '\0';
  std::string dir(self);
  dir.resize(dir.find_last_of('/') + 1);
  for (const char* name : {kLibraryName, "libstowmaster.so"}) {
    std::string candidate = dir + name;
    if (::access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::string command;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      PrintHelp(stdout);
      return kExitOk;
    }
    if (std::strcmp(arg, "--library") == 0) {
      if (i + 1 >= argc) {
        std::fputs("stowmaster: --library needs a file\n", stderr);
        return kExitUsage;
      }
      library = argv[++i];
    } else if (command.empty() && arg[0] != '-') {
      command = arg;
    } else {
      std::fprintf(stderr, "stowmaster: unexpected argument '%s'\n", arg);
      PrintHelp(stderr);
      return kExitUsage;
    }
  }
  if (command != "empty") {
    if (command.empty()) {
      std::fputs("stowmaster: no command given\n", stderr);
    } else {
      std::fprintf(stderr, "stowmaster: unknown command '%s'\n", command.c_str());
    }
    PrintHelp(stderr);
    return kExitUsage;
  }

  if (library.empty()) library = LibraryBesideProgram();
  if (library.empty()) library = kLibraryName;
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "stowmaster: cannot load the library: %s\n", ::dlerror());
    return kExitLibrary;
  }
  using EmptyCacheFn = void (*)(void*, void*, const char*, int32_t);
  auto empty_cache = reinterpret_cast<EmptyCacheFn>(::dlsym(handle, "EmptyCache"));
  if (empty_cache == nullptr) {
    std::fprintf(stderr, "stowmaster: %s has no EmptyCache entry point\n", library.c_str());
    ::dlclose(handle);
    return kExitLibrary;
  }
  // The host's arguments are not the library's business: it gets none.
  empty_cache(nullptr, nullptr, "", 0);
  ::dlclose(handle);
  // The library prints log file paths without line ends; end the last one.
  std::fputs("\n", stdout);
  return kExitOk;
}
