#include "support/stow_library.h"

#include "support/windows_headers.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace stow_test {
namespace {

void* OpenLibrary(const std::string& path, std::string* error) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == NULL) *error = "LoadLibraryA failed: " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
#else
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) *error = ::dlerror();
  return handle;
#endif
}

void* Symbol(void* handle, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
  return ::dlsym(handle, name);
#endif
}

template <typename Fn>
bool Bind(void* handle, const char* name, Fn* out, std::string* error) {
  void* address = Symbol(handle, name);
  if (address == nullptr) {
    *error = std::string("missing entry point ") + name;
    return false;
  }
  *out = reinterpret_cast<Fn>(address);
  return true;
}

}  // namespace

StowLibrary::~StowLibrary() {
  if (handle_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  ::dlclose(handle_);
#endif
}

bool StowLibrary::Load(const std::string& path, std::string* error) {
  handle_ = OpenLibrary(path, error);
  if (handle_ == nullptr) return false;
  return Bind(handle_, "InitializeStowmaster", &Initialize, error) &&
         Bind(handle_, "UnInitializeStowmaster", &UnInitialize, error) &&
         Bind(handle_, "AddFileToStowmasterA", &AddFileA, error) &&
         Bind(handle_, "AddFileToStowmasterW", &AddFileW, error) &&
         Bind(handle_, "DeleteAllFileInCache", &DeleteAll, error) &&
         Bind(handle_, "EmptyCache", &EmptyCache, error) &&
         Bind(handle_, "StowmasterGetSettings", &GetSettings, error) &&
         Bind(handle_, "StowmasterGetStatus", &GetStatus, error) &&
         Bind(handle_, "StowmasterListEntries", &ListEntries, error) &&
         Bind(handle_, "StowmasterCheck", &Check, error) &&
         Bind(handle_, "StowmasterShrink", &Shrink, error) &&
         Bind(handle_, "StowmasterEmpty", &Empty, error) &&
         Bind(handle_, "StowmasterDump", &Dump, error) &&
         Bind(handle_, "StowmasterLastError", &LastError, error);
}

}  // namespace stow_test
