// stowmaster: the command-line host of the library where there is no
// rundll32. `stowmaster empty` loads the library and calls its EmptyCache
// entry point just as `rundll32 stowmaster.dll,EmptyCache` does on Windows,
// so the library's own settings file (beside the library) decides which
// cache is emptied, and the library's log records what happened.
// `stowmaster --version` shows the program's version and the version and
// file of the library it loads.
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

// The install folder of the library seen from the program's own, set by the
// build ("../lib" for the usual layout).
#ifndef STOW_LIBDIR_FROM_BINDIR
#define STOW_LIBDIR_FROM_BINDIR "../lib"
#endif

void PrintHelp(std::FILE* out) {
  std::fputs(
      "Usage: stowmaster [--library FILE] COMMAND\n"
      "       stowmaster [--library FILE] --version\n"
      "\n"
      "Commands:\n"
      "  empty        Delete every file registered in the cache, whatever its size,\n"
      "               age and delay. Files in use stay registered. The cache is the\n"
      "               one named by TESSARON.INI beside the library; what was deleted\n"
      "               is written to the library's log.\n"
      "\n"
      "Options:\n"
      "  --library FILE  Load the library from FILE instead of the installed one:\n"
      "                  the one beside this program, else the one in the library\n"
      "                  folder of this program's installation, else the system's.\n"
      "  --version       Show the version of this program and of the library, and\n"
      "                  the library's file.\n"
      "  -h, --help      Show this help.\n"
      "\n"
      "Exit status: 0 done, 1 the library could not be loaded, 2 bad usage.\n",
      out);
}

// The folder of this program's file, links resolved, with a trailing '/';
// empty when it cannot be had.
std::string ProgramDir() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return std::string();
  self[n] = '\0';
  std::string dir(self);
  dir.resize(dir.find_last_of('/') + 1);
  return dir;
}

// The library this program loads when it is not told which: the one beside
// the program (where the build puts both), else the one in the installed
// library folder (bin/../lib, or whatever the build's install folders are),
// else the soname, which the dynamic loader looks up on the system's paths.
std::string InstalledLibrary() {
  const std::string dir = ProgramDir();
  if (!dir.empty()) {
    const std::string candidates[] = {
        dir + kLibraryName,
        dir + "libstowmaster.so",
        dir + STOW_LIBDIR_FROM_BINDIR + "/" + kLibraryName,
    };
    for (const std::string& candidate : candidates) {
      if (::access(candidate.c_str(), R_OK) == 0) return candidate;
    }
  }
  return kLibraryName;
}

// The file a loaded symbol comes from, links resolved.
std::string FileOfSymbol(void* symbol) {
  Dl_info info = {};
  if (::dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return "?";
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
  return resolved;
}

int PrintVersions(void* handle, const std::string& library) {
  using VersionFn = const char* (*)();
  auto version = reinterpret_cast<VersionFn>(::dlsym(handle, "StowmasterVersion"));
  if (version == nullptr) {
    std::fprintf(stderr, "stowmaster: %s has no StowmasterVersion entry point\n", library.c_str());
    return kExitLibrary;
  }
  std::printf("library %s (%s)\n", version(),
              FileOfSymbol(reinterpret_cast<void*>(version)).c_str());
  return kExitOk;
}

int EmptyCacheWith(void* handle, const std::string& library) {
  using EmptyCacheFn = void (*)(void*, void*, const char*, int32_t);
  auto empty_cache = reinterpret_cast<EmptyCacheFn>(::dlsym(handle, "EmptyCache"));
  if (empty_cache == nullptr) {
    std::fprintf(stderr, "stowmaster: %s has no EmptyCache entry point\n", library.c_str());
    return kExitLibrary;
  }
  // The host's arguments are not the library's business: it gets none.
  empty_cache(nullptr, nullptr, "", 0);
  // The library prints log file paths without line ends; end the last one.
  std::fputs("\n", stdout);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::string command;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      PrintHelp(stdout);
      return kExitOk;
    }
    if (std::strcmp(arg, "--version") == 0) {
      version = true;
    } else if (std::strcmp(arg, "--library") == 0) {
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
  if (version && !command.empty()) {
    std::fprintf(stderr, "stowmaster: --version takes no command ('%s')\n", command.c_str());
    PrintHelp(stderr);
    return kExitUsage;
  }
  if (!version && command != "empty") {
    if (command.empty()) {
      std::fputs("stowmaster: no command given\n", stderr);
    } else {
      std::fprintf(stderr, "stowmaster: unknown command '%s'\n", command.c_str());
    }
    PrintHelp(stderr);
    return kExitUsage;
  }

  // The program's own version comes first: it is known even when the
  // library cannot be loaded.
  if (version) std::printf("stowmaster %s\n", STOWMASTER_VERSION_STRING);
  if (library.empty()) library = InstalledLibrary();
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "stowmaster: cannot load the library: %s\n", ::dlerror());
    return kExitLibrary;
  }
  int status = version ? PrintVersions(handle, library) : EmptyCacheWith(handle, library);
  ::dlclose(handle);
  return status;
}
