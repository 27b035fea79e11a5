// The built library loaded at run time, as a client program loads it, with
// its entry points.
#pragma once

#include <cstdint>
#include <string>

#include "stowmaster.h"

namespace stow_test {

// File name of the library in the build's output folder.
#ifdef _WIN32
constexpr char kLibraryFileName[] = "stowmaster.dll";
#else
constexpr char kLibraryFileName[] = "libstowmaster.so";
#endif

class StowLibrary {
 public:
  using InitializeFn = int32_t(STOWMASTER_CALL*)(int32_t);
  using UnInitializeFn = void(STOWMASTER_CALL*)(void);
  using AddFileAFn = int32_t(STOWMASTER_CALL*)(const char*, uint32_t);
  using AddFileWFn = int32_t(STOWMASTER_CALL*)(const stowmaster_wchar*, uint32_t);
  using DeleteAllFn = void(STOWMASTER_CALL*)(void);
  using EmptyCacheFn = void(STOWMASTER_CALL*)(void*, void*, const char*, int32_t);
  using GetSettingsFn = int32_t(STOWMASTER_CALL*)(StowmasterSettings*);
  using GetStatusFn = int32_t(STOWMASTER_CALL*)(StowmasterStatus*);
  using ListEntriesFn = int32_t(STOWMASTER_CALL*)(int32_t, StowmasterEntryFn, void*);
  using CheckFn = int32_t(STOWMASTER_CALL*)(int32_t, StowmasterCheckReport*);
  using PassFn = int32_t(STOWMASTER_CALL*)(StowmasterPassResult*, StowmasterProgressFn, void*);
  using DumpFn = int32_t(STOWMASTER_CALL*)(const char*, char*, uint64_t, uint64_t*);
  using LastErrorFn = uint32_t(STOWMASTER_CALL*)(char*, uint32_t);

  StowLibrary() = default;
  ~StowLibrary();
  StowLibrary(const StowLibrary&) = delete;
  StowLibrary& operator=(const StowLibrary&) = delete;

  // Loads the library file and looks up every entry point. False, with a
  // reason in `error`, when the file cannot be loaded or lacks one.
  bool Load(const std::string& path, std::string* error);

  InitializeFn Initialize = nullptr;
  UnInitializeFn UnInitialize = nullptr;
  AddFileAFn AddFileA = nullptr;
  AddFileWFn AddFileW = nullptr;
  DeleteAllFn DeleteAll = nullptr;
  EmptyCacheFn EmptyCache = nullptr;
  // The functions for watching and operating a cache.
  GetSettingsFn GetSettings = nullptr;
  GetStatusFn GetStatus = nullptr;
  ListEntriesFn ListEntries = nullptr;
  CheckFn Check = nullptr;
  PassFn Shrink = nullptr;
  PassFn Empty = nullptr;
  DumpFn Dump = nullptr;
  LastErrorFn LastError = nullptr;

 private:
  void* handle_ = nullptr;
};

}  // namespace stow_test
