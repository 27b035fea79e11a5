// The exported functions. Each forwards to the process state; nothing thrown
// inside the library crosses this boundary.
#define STOWMASTER_BUILDING
#include "stowmaster.h"

#include "api/process_state.h"

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

}  // extern "C"
