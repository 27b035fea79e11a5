#include "maintenance/own_files.h"

#include <cstring>

#include "config/log.h"
#include "config/settings.h"
#include "index/lookup_table.h"

namespace stow {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// ASCII letters compared without regard to case: the names of the own files
// are ASCII, and a file system that ignores case (Windows, a FAT or
// case-folding volume on Linux) opens them by any case.
bool SameText(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && SameText(a.data(), b.data(), a.size());
}

bool StartsWith(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return text.size() >= n && SameText(text.data(), prefix, n);
}

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && SameText(text.data() + text.size() - n, suffix, n);
}

// "Stowmaster_*.LOG", the name of every day's log; where the file system
// gives long names a short one, also the forms it makes of those names:
// "STOWMA~1.LOG", and "STxxxx~1.LOG" once many share a beginning.
bool IsLogName(const std::string& name) {
  if (!EndsWith(name, ".LOG")) return false;
  if (StartsWith(name, "Stowmaster_")) return true;
  return platform::kShortNames && name.size() <= 12 && StartsWith(name, "ST") &&
         name.find('~') != std::string::npos;
}

struct OwnSet {
  platform::LocalMutex mutex;
  std::shared_ptr<const OwnFiles> files;
};

OwnSet& Current() {
  static OwnSet set;
  return set;
}

}  // namespace

OwnFiles::OwnFiles(const std::string& index_path) {
  AddFile(index_path, kIndexFileName, false);
  std::string folder, name;
  platform::SplitEntryPath(index_path.c_str(), &folder, &name);
  AddFile(folder + kLookupFileName, kLookupFileName, false);
  AddFile(folder + kDumpFileName, kDumpFileName, false);

  const std::string settings = SettingsFileInEffect(nullptr);
  if (!settings.empty()) {
    platform::SplitEntryPath(settings.c_str(), &folder, &name);
    AddFile(settings, name.c_str(), false);
    // A settings file that is a link: the file it leads to is in effect too.
    platform::FileId target;
    if (platform::env().GetFileId(settings.c_str(), true, &target).ok()) {
      files_.push_back(Known{target, settings, true});
    }
  }

  // Today's log: its identity, and the folder of every day's log.
  const std::string log = LogFilePath();
  platform::SplitEntryPath(log.c_str(), &folder, &name);
  AddFile(log, name.c_str(), true);
  log_folder_ = folder;
  logs_ = std::make_unique<Logs>();
}

bool OwnFiles::IsLog(const platform::FileId& id) const {
  if (log_folder_.empty()) return false;
  Logs& logs = *logs_;
  platform::LocalLock guard(logs.mutex);
  // The folder is looked at once a second at most, and read again when it
  // changed since it was read, or within the second it was read: a change
  // then may have left its time as it was.
  const int64_t now = platform::env().NowSeconds();
  if (!logs.looked || now != logs.looked_at) {
    logs.looked = true;
    logs.looked_at = now;
    platform::FileInfo folder;
    if (!platform::env().GetFileKindAndId(log_folder_.c_str(), &folder).ok() ||
        folder.kind != platform::FileKind::kDirectory || !folder.id.known) {
      logs.read = false;  // no folder, no logs
      logs.ids.clear();
    } else if (!logs.read || logs.folder != folder.id || logs.modified != folder.modified ||
               logs.modified >= logs.read_at - 1) {
      logs.read = true;
      logs.read_at = now;
      logs.folder = folder.id;
      logs.modified = folder.modified;
      logs.ids.clear();
      // A folder of more entries than this holds more than logs: those past
      // it are known by name only.
      constexpr size_t kMostEntries = 100000;
      std::vector<platform::FolderEntry> entries;
      platform::FileId read_id;
      if (platform::env()
              .ReadFolder(log_folder_.c_str(), true, kMostEntries, &read_id, &entries)
              .ok()) {
        for (const platform::FolderEntry& e : entries) {
          if (e.link || e.info.kind != platform::FileKind::kRegular || !IsLogName(e.name)) continue;
          platform::FileId log = e.info.id;
          if (!log.known) {
            (void)platform::env().GetFileId((log_folder_ + e.name).c_str(), false, &log);
          }
          if (log.known) logs.ids.push_back({log, e.name});
        }
      }
    }
  }
  // A log deleted since the folder was read may have left its identity to
  // a new file: a match is looked at again.
  for (const Logs::Log& log : logs.ids) {
    if (log.id != id) continue;
    platform::FileId now_id;
    return platform::env().GetFileId((log_folder_ + log.name).c_str(), false, &now_id).ok() &&
           now_id == id;
  }
  return false;
}

void OwnFiles::AddFile(const std::string& path, const char* name, bool logs) {
  platform::FileId id;
  if (platform::env().GetFileId(path.c_str(), false, &id).ok()) {
    files_.push_back(Known{id, path, false});
  }

  std::string folder, ignored;
  platform::SplitEntryPath(path.c_str(), &folder, &ignored);
  platform::FileId folder_id;
  // A folder that is not there now holds nothing to delete.
  if (!platform::env().GetFileId(folder.c_str(), true, &folder_id).ok()) return;
  Folder* entry = nullptr;
  for (Folder& f : folders_) {
    if (f.id == folder_id) entry = &f;
  }
  if (entry == nullptr) {
    folders_.emplace_back();
    entry = &folders_.back();
    entry->id = folder_id;
  }
  entry->names.push_back(name);
  entry->logs = entry->logs || logs;
}

bool OwnFiles::NameIn(const Folder& folder, const std::string& name) const {
  if (folder.logs && IsLogName(name)) return true;
  for (const std::string& own : folder.names) {
    if (SameName(own, name)) return true;
  }
  return false;
}

bool OwnFiles::Holds(const char* path, const platform::FileId* id) const {
  // By name first: no query of the system unless the name is an own one.
  std::string folder, name;
  platform::SplitEntryPath(path, &folder, &name);
  bool named = false;
  for (const Folder& f : folders_) named = named || NameIn(f, name);
  if (named) {
    platform::FileId folder_id;
    if (platform::env().GetFileId(folder.c_str(), true, &folder_id).ok()) {
      for (const Folder& f : folders_) {
        if (f.id == folder_id && NameIn(f, name)) return true;
      }
    }
  }

  platform::FileId read;
  if (id == nullptr) {
    (void)platform::env().GetFileId(path, false, &read);  // unknown when it fails
    id = &read;
  }
  if (!id->known) return false;
  for (const Known& own : files_) {
    if (own.id == *id && StillOwn(own)) return true;
  }
  return IsLog(*id);
}

bool OwnFiles::StillOwn(const Known& known) const {
  platform::FileId now;
  return platform::env().GetFileId(known.path.c_str(), known.follow, &now).ok() && now == known.id;
}

void GatherOwnFiles(const std::string& index_path) {
  auto files = std::make_shared<const OwnFiles>(index_path);
  OwnSet& set = Current();
  platform::LocalLock guard(set.mutex);
  set.files = std::move(files);
}

std::shared_ptr<const OwnFiles> CurrentOwnFiles() {
  OwnSet& set = Current();
  {
    platform::LocalLock guard(set.mutex);
    if (set.files != nullptr) return set.files;
  }
  char folder[kPathBufferSize];
  GetConfigurationString("Cache", "CacheDir", kDefaultCacheDir, folder, sizeof(folder));
  size_t n = std::strlen(folder);
  if (n > 0 && folder[n - 1] == platform::kSeparator) folder[--n] = '\0';
  GatherOwnFiles(std::string(folder) + platform::kSeparator + kIndexFileName);
  platform::LocalLock guard(set.mutex);
  return set.files;
}

}  // namespace stow
