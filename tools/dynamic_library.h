// Loading the built library at run time, as its command-line program and the
// test client do: LoadLibrary on Windows, dlopen elsewhere.
#pragma once

#include <string>

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

}  // namespace stow_tools
