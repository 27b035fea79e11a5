#include "maintenance/delete_cached_file.h"

#include <cstring>

#include "config/log.h"
#include "config/settings.h"
#include "platform/platform.h"

namespace stow {

bool DeleteCachedFile(const char* path) {
  uint32_t error = 0;
  switch (platform::env().DeleteFile(path, &error)) {
    case platform::DeleteResult::kRefused:
      WriteLogBufferToFile("Delete File Error(%d): %s.\n", static_cast<int>(error), path);
      WriteLogBufferToFile("%s %s: %s\n", platform::kDeleteFileCall, path,
                           platform::ErrorText(error).c_str());
      return false;
    case platform::DeleteResult::kFailed:
      // Missing already, or a path that names nothing: nothing to keep.
      WriteLogBufferToFile("Delete File Success: %s.\n", path);
      return true;
    case platform::DeleteResult::kDeleted:
      WriteLogBufferToFile("Delete File Successfully: %s.\n", path);
      break;
  }

  char folder[kPathBufferSize];
  std::strncpy(folder, path, sizeof(folder) - 1);
  folder[sizeof(folder) - 1] = '\0';
  char* cut = std::strrchr(folder, platform::kSeparator);
  // A bare name has no folder of its own to tidy up.
  if (cut == nullptr) return true;
  *cut = '\0';
  if (folder[0] == '\0') return true;  // a file directly under the root

  if (platform::env().FolderHasEntries(folder)) return true;
  WriteLogBufferToFile("Remove Directory %s.\n", folder);
  return platform::env().SetNormalAttributes(folder) && platform::env().RemoveDirectory(folder);
}

}  // namespace stow
