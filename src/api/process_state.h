// The library's state in one process and the logic behind the exported
// entry points. The entry points themselves only forward here.
#pragma once

#include <cstdint>
#include <string>

namespace stow {
namespace api {

int32_t Initialize(int32_t threaded);
void UnInitialize();
int32_t AddFileA(const char* path, uint32_t delay);
int32_t AddFileW(const char16_t* path, uint32_t delay);
void DeleteAllFiles();
void EmptyCacheFromHost();

// The reason for the last failure on the calling thread, as
// StowmasterLastError gives it: each thread of the host reads only its
// own. RecordLastError keeps `text` (cut to kLastErrorSize - 1 bytes)
// without logging it: the caller logs in its own words. LastError copies
// it into `buffer`, terminated and cut to `size` bytes, and returns its
// length.
constexpr uint32_t kLastErrorSize = 4096;
void RecordLastError(const std::string& text);
uint32_t LastError(char* buffer, uint32_t size);

// StowmasterUseSettingsFile: names the settings file, before the first
// initialisation only.
int32_t UseSettingsFile(const char* path);

// Initialisations not yet matched by an UnInitialize; for tests.
int32_t ReferenceCount();

}  // namespace api
}  // namespace stow
