// Loading the built library at run time, as its command-line program and the
// test client do: LoadLibrary on Windows, dlopen elsewhere.
#pragma once

#include <string>

#include "stowmaster.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace stow_tools {

// The loaded library, or null with the reason in `error`.
inline void* OpenLibrary(const std::string& path, std::string* error) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == NULL) *error = "LoadLibrary " + path + ": error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
#else
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) *error = ::dlerror();
  return handle;
#endif
}

// An exported function of the library, or null.
inline void* Symbol(void* handle, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
  return ::dlsym(handle, name);
#endif
}

inline void CloseLibrary(void* handle) {
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(handle));
#else
  ::dlclose(handle);
#endif
}

// Every entry point of the library: the name a caller uses for it and the
// exported function it is. The program, the test client and the tests bind
// the library through this one list. Version stays first: bound before any
// other, it answers even from an older library that lacks a later one.
#define STOWMASTER_ENTRY_POINTS(X)                 \
  X(Version, StowmasterVersion)                    \
  X(Initialize, InitializeStowmaster)              \
  X(UnInitialize, UnInitializeStowmaster)          \
  X(AddFileA, AddFileToStowmasterA)                \
  X(AddFileW, AddFileToStowmasterW)                \
  X(DeleteAll, DeleteAllFileInCache)               \
  X(EmptyCache, EmptyCache)                        \
  X(GetSettings, StowmasterGetSettings)            \
  X(GetStatus, StowmasterGetStatus)                \
  X(ListEntries, StowmasterListEntries)            \
  X(Check, StowmasterCheck)                        \
  X(Shrink, StowmasterShrink)                      \
  X(Empty, StowmasterEmpty)                        \
  X(Dump, StowmasterDump)                          \
  X(LastError, StowmasterLastError)                \
  X(ShrinkWith, StowmasterShrinkWith)              \
  X(CheckFiles, StowmasterCheckFiles)              \
  X(Adopt, StowmasterAdopt)                        \
  X(GetDiskUsage, StowmasterGetDiskUsage)          \
  X(UseSettingsFile, StowmasterUseSettingsFile)    \
  X(ListSettings, StowmasterListSettings)          \
  X(GetCounters, StowmasterGetCounters)            \
  X(ZeroCounters, StowmasterZeroCounters)

// The library loaded at run time with every entry point bound; unloaded when
// this ends. Include stowmaster.h before this header.
class StowmasterLibrary {
 public:
  StowmasterLibrary() = default;
  ~StowmasterLibrary() {
    if (handle_ != nullptr) CloseLibrary(handle_);
  }
  StowmasterLibrary(const StowmasterLibrary&) = delete;
  StowmasterLibrary& operator=(const StowmasterLibrary&) = delete;

  // Loads the library file and binds every entry point. False, with the
  // reason in `error`, when the file cannot be loaded or lacks one (the
  // first missing one is named, and those before it are bound).
  bool Load(const std::string& path, std::string* error) {
    handle_ = OpenLibrary(path, error);
    if (handle_ == nullptr) return false;
#define STOW_BIND_ENTRY_POINT(member, name)                           \
  member = reinterpret_cast<decltype(member)>(Symbol(handle_, #name)); \
  if (member == nullptr) {                                            \
    missing_ = #name;                                                 \
    *error = "missing entry point " #name;                            \
    return false;                                                     \
  }
    STOWMASTER_ENTRY_POINTS(STOW_BIND_ENTRY_POINT)
#undef STOW_BIND_ENTRY_POINT
    return true;
  }

#define STOW_DECLARE_ENTRY_POINT(member, name) decltype(&::name) member = nullptr;
  STOWMASTER_ENTRY_POINTS(STOW_DECLARE_ENTRY_POINT)
#undef STOW_DECLARE_ENTRY_POINT

  // Whether the file was loaded, and the first entry point it lacks (empty
  // when none), after Load.
  bool loaded() const { return handle_ != nullptr; }
  const std::string& missing() const { return missing_; }

 private:
  void* handle_ = nullptr;
  std::string missing_;
};

}  // namespace stow_tools
