// The exported functions. Each forwards to the process state; nothing thrown
// inside the library crosses this boundary.
#define STOWMASTER_BUILDING
#include "stowmaster.h"

#include <exception>

#include "api/extension.h"
#include "api/process_state.h"
#include "platform/os_error.h"

namespace {

// Runs one extension call; whatever it throws becomes STOWMASTER_UNUSABLE
// with its reason recorded and logged.
template <typename Call>
int32_t Contain(const char* name, Call call) {
  try {
    try {
      return call();
    } catch (const std::exception& e) {
      return stow::api::Failed(name, e.what());
    } catch (...) {
      return stow::api::Failed(name, "unknown error");
    }
  } catch (...) {
    return STOWMASTER_UNUSABLE;  // even the report failed (no memory)
  }
}

}  // namespace

extern "C" {

STOWMASTER_API const char* STOWMASTER_CALL StowmasterVersion(void) {
  return STOWMASTER_VERSION_STRING;
}

STOWMASTER_API int32_t STOWMASTER_CALL InitializeStowmaster(int32_t threaded) {
  try {
    return stow::api::Initialize(threaded);
  } catch (...) {
    return 0;
  }
}

STOWMASTER_API void STOWMASTER_CALL UnInitializeStowmaster(void) {
  try {
    stow::api::UnInitialize();
  } catch (...) {
  }
}

STOWMASTER_API int32_t STOWMASTER_CALL AddFileToStowmasterA(const char* path, uint32_t delay) {
  try {
    return stow::api::AddFileA(path, delay);
  } catch (...) {
    return 0;
  }
}

STOWMASTER_API int32_t STOWMASTER_CALL AddFileToStowmasterW(const stowmaster_wchar* path,
                                                            uint32_t delay) {
  try {
    return stow::api::AddFileW(reinterpret_cast<const char16_t*>(path), delay);
  } catch (...) {
    return 0;
  }
}

STOWMASTER_API void STOWMASTER_CALL DeleteAllFileInCache(void) {
  try {
    stow::api::DeleteAllFiles();
  } catch (...) {
  }
}

STOWMASTER_API void STOWMASTER_CALL EmptyCache(void*, void*, const char*, int32_t) {
  try {
    stow::api::EmptyCacheFromHost();
  } catch (...) {
  }
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetSettings(StowmasterSettings* settings) {
  return Contain("StowmasterGetSettings", [&] { return stow::api::GetSettings(settings); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetStatus(StowmasterStatus* status) {
  return Contain("StowmasterGetStatus", [&] { return stow::api::GetStatus(status); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterListEntries(int32_t limit, StowmasterEntryFn fn,
                                                             void* context) {
  return Contain("StowmasterListEntries",
                 [&] { return stow::api::ListEntries(limit, fn, context); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterCheck(int32_t repair,
                                                       StowmasterCheckReport* report) {
  return Contain("StowmasterCheck", [&] { return stow::api::Check(repair, report); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterShrink(StowmasterPassResult* result,
                                                        StowmasterProgressFn progress,
                                                        void* context) {
  return Contain("StowmasterShrink",
                 [&] { return stow::api::RunPass(false, result, progress, context); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterEmpty(StowmasterPassResult* result,
                                                       StowmasterProgressFn progress,
                                                       void* context) {
  return Contain("StowmasterEmpty",
                 [&] { return stow::api::RunPass(true, result, progress, context); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterDump(const char* path, char* buffer,
                                                      uint64_t buffer_size, uint64_t* length) {
  return Contain("StowmasterDump",
                 [&] { return stow::api::Dump(path, buffer, buffer_size, length); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterShrinkWith(const StowmasterShrinkOptions* options,
                                                            StowmasterPassResult* result,
                                                            StowmasterProgressFn progress,
                                                            void* context) {
  return Contain("StowmasterShrinkWith",
                 [&] { return stow::api::ShrinkWith(options, result, progress, context); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterCheckFiles(int32_t repair,
                                                            StowmasterFilesReport* report,
                                                            StowmasterFileProblemFn fn,
                                                            void* context) {
  return Contain("StowmasterCheckFiles",
                 [&] { return stow::api::CheckFiles(repair, report, fn, context); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterAdopt(const char* folder, uint32_t delay,
                                                       StowmasterAdoptResult* result,
                                                       StowmasterAdoptProgressFn progress,
                                                       void* context) {
  return Contain("StowmasterAdopt",
                 [&] { return stow::api::Adopt(folder, delay, result, progress, context); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetDiskUsage(StowmasterDiskUsage* usage) {
  return Contain("StowmasterGetDiskUsage", [&] { return stow::api::GetDiskUsage(usage); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterGetCounters(StowmasterCounters* counters) {
  return Contain("StowmasterGetCounters", [&] { return stow::api::GetCounters(counters); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterZeroCounters(void) {
  return Contain("StowmasterZeroCounters", [&] { return stow::api::ZeroCounters(); });
}

STOWMASTER_API uint32_t STOWMASTER_CALL StowmasterLastError(char* buffer, uint32_t size) {
  try {
    return stow::api::LastError(buffer, size);
  } catch (...) {
    return 0;
  }
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterUseSettingsFile(const char* path) {
  return Contain("StowmasterUseSettingsFile", [&] { return stow::api::UseSettingsFile(path); });
}

STOWMASTER_API int32_t STOWMASTER_CALL StowmasterListSettings(StowmasterSettingFn fn,
                                                              void* context) {
  return Contain("StowmasterListSettings", [&] { return stow::api::ListSettings(fn, context); });
}

}  // extern "C"
