// What every extension function does with its caller's arguments: checks
// the size-first structs, fills them as far as the caller's size goes, and
// turns a bad argument into STOWMASTER_BAD_ARGUMENT with its reason.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "api/process_state.h"
#include "stowmaster.h"

namespace stow {
namespace api {

// Records `why` as the calling thread's last failure.
inline int32_t BadArgument(const std::string& why) {
  RecordLastError(why);
  return STOWMASTER_BAD_ARGUMENT;
}

// A caller's struct must hold at least its size and one field.
template <typename T>
bool SizeOk(const T* out) {
  return out != nullptr && out->size >= 2 * sizeof(uint32_t);
}

// Copies the first `out->size` bytes of `full` (all of it when the caller's
// struct is longer) and leaves in `size` how many bytes were filled.
template <typename T>
void Deliver(T full, T* out) {
  const uint32_t n = std::min<uint32_t>(out->size, static_cast<uint32_t>(sizeof(T)));
  full.size = n;
  std::memcpy(out, &full, n);
}

// The "CacheDir" folder as GetCacheSettings reads it, without creating it.
// Throws UntrustedSettings as GetCacheSettings does: a default folder in its
// place would be another cache.
std::string CacheFolder();
// The index file in `folder`; throws OsError when the path does not fit.
std::string IndexPathIn(const std::string& folder);

}  // namespace api
}  // namespace stow
