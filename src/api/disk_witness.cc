// The disk as a second witness of the index: the check of the listed files,
// the adoption of unlisted ones and the usage of the cache folders.
#include "api/extension.h"

namespace stow {
namespace api {

int32_t CheckFiles(int32_t, StowmasterFilesReport*, StowmasterFileProblemFn, void*) {
  return Failed("StowmasterCheckFiles", "not built yet");
}

int32_t Adopt(const char*, uint32_t, StowmasterAdoptResult*, StowmasterAdoptProgressFn, void*) {
  return Failed("StowmasterAdopt", "not built yet");
}

int32_t GetDiskUsage(StowmasterDiskUsage*) {
  return Failed("StowmasterGetDiskUsage", "not built yet");
}

}  // namespace api
}  // namespace stow
