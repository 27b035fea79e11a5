// The library's state in one process and the logic behind the exported
// entry points. The entry points themselves only forward here.
#pragma once

#include <cstdint>

namespace stow {
namespace api {

int32_t Initialize(int32_t threaded);
void UnInitialize();
int32_t AddFileA(const char* path, uint32_t delay);
int32_t AddFileW(const char16_t* path, uint32_t delay);
void DeleteAllFiles();
void EmptyCacheFromHost();

// Initialisations not yet matched by an UnInitialize; for tests.
int32_t ReferenceCount();

}  // namespace api
}  // namespace stow
