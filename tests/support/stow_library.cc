#include "support/stow_library.h"

#include "../../tools/dynamic_library.h"

namespace stow_test {
namespace {

using stow_tools::OpenLibrary;
using stow_tools::Symbol;

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
  if (handle_ != nullptr) stow_tools::CloseLibrary(handle_);
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
