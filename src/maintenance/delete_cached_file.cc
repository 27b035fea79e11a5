#include "maintenance/delete_cached_file.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "maintenance/own_files.h"
#include "platform/platform.h"

namespace stow {
namespace {

// Where a privileged process may delete: below the cache folder and the
// FileFolders folders, never through a link. Any other process deletes
// what the system lets it delete.
struct DeletePolicy {
  bool confined = false;
  // The cache folder and the FileFolders folders: never removed, whoever
  // deletes the last file in one.
  std::vector<std::string> folders;
  // The library's own files: never deleted, whoever runs the pass.
  std::shared_ptr<const OwnFiles> own;
};

DeletePolicy CurrentPolicy() {
  DeletePolicy policy;
  policy.confined = platform::env().ProcessPrivileges().privileged();
  policy.folders = DeletionFolders();
  policy.own = CurrentOwnFiles();
  return policy;
}

// Windows file systems ignore the case of letters in names.
constexpr bool kFoldCase = platform::kSeparator == '\\';

// True when `folder` is spelled as one of the cache folders is (letters
// compared without regard to case where the system ignores it).
bool IsCacheFolder(const DeletePolicy& policy, const char* folder) {
  const size_t n = std::strlen(folder);
  for (const std::string& f : policy.folders) {
    if (f.size() != n) continue;
    size_t i = 0;
    for (; i < n; ++i) {
      char a = f[i];
      char b = folder[i];
      if (kFoldCase) {
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
      }
      if (a != b) break;
    }
    if (i == n) return true;
  }
  return false;
}

bool Delete(const DeletePolicy& policy, const char* path) {
  // Any user can write a path into the index: an entry that names one of
  // the library's own files loses its block, and the file stays.
  if (policy.own->Holds(path)) {
    WriteLogBufferToFile("Delete File Skipped (one of the library's own files): %s.\n", path);
    return true;
  }
  OsStatus deleted;
  const char* below = nullptr;  // the folder that holds `path`, when confined
  platform::DeleteResult result = platform::DeleteResult::kOutside;
  if (!policy.confined) {
    deleted = platform::env().DeleteFile(path, &result);
  } else {
    for (const std::string& folder : policy.folders) {
      deleted = platform::env().DeleteFileBelow(folder.c_str(), path, &result);
      below = folder.c_str();
      if (result != platform::DeleteResult::kOutside) break;
    }
  }
  switch (result) {
    case platform::DeleteResult::kOutside:
      WriteLogBufferToFile("Delete File Refused (outside the cache folders): %s.\n", path);
      return false;
    case platform::DeleteResult::kRefused:
      WriteLogBufferToFile("Delete File Error(%d): %s.\n", static_cast<int>(deleted.code()), path);
      // The detail line: the call, the path and the system's text.
      WriteLogBufferToFile("%s\n", OsError(deleted).what());
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
  // A file that lay directly in a cache folder leaves that folder in place.
  if (IsCacheFolder(policy, folder)) return true;

  // One removal that a folder with entries refuses, rather than a search of
  // the folder and then a removal: in a large folder emptied from the
  // front, the search alone costs more than the deletion.
  platform::FolderRemoval removal = platform::FolderRemoval::kFailed;
  (void)(below != nullptr ? platform::env().RemoveFolderIfEmptyBelow(below, folder, &removal)
                          : platform::env().RemoveFolderIfEmpty(folder, &removal));
  if (removal == platform::FolderRemoval::kNotEmpty) return true;
  WriteLogBufferToFile("Remove Directory %s.\n", folder);
  // The file is gone: its block is freed whatever became of the folder.
  if (removal != platform::FolderRemoval::kRemoved) {
    WriteLogBufferToFile("Remove Directory Error: %s.\n", folder);
  }
  return true;
}

}  // namespace

bool DeleteCachedFile(const char* path) { return Delete(CurrentPolicy(), path); }

RemoveFileFn CachedFileRemover() {
  DeletePolicy policy = CurrentPolicy();
  // The log file stays open for as long as the pass keeps the function (and
  // is opened only if the pass logs at all).
  auto hold = std::make_shared<LogHold>();
  return [policy, hold](const char* path) { return Delete(policy, path); };
}

}  // namespace stow
