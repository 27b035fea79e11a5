// The library's own files, which no registration lists and no pass or
// emptying deletes, whatever path an index entry gives for them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace stow {

// The files the library keeps for itself: "Index.Dat", "Index.Lkp" and
// "Index.Dmp" in the cache folder, the settings file in effect, and the
// daily logs "Stowmaster_*.LOG" in the log folder.
//
// A path names one of them when
//  - the file it names (its last part itself, not followed when it is a
//    link: that is what deleting the path would delete) is one that existed
//    when the set was gathered, by identity: any spelling of its path, and a
//    hard link to it elsewhere, under any name; or
//  - its last part has the name of one of them (compared without regard to
//    case) and its folder is, by identity, the folder of that one: a file
//    made after the set was gathered (the dump, another day's log), reached
//    through any spelling of the folder; or
//  - the file it names is, by identity, one of the daily logs in the log
//    folder: a hard link, under any name, to any day's log. The folder is
//    looked at once a second at most, and its logs' identities read again
//    only when it changed (its identity or modification time), so that a
//    check costs no query of the system in most seconds.
class OwnFiles {
 public:
  // Reads the identities of the files and folders of the cache whose index
  // is at `index_path`, and of the settings file and the log folder in
  // effect now: a few queries of the system. Never throws but for memory.
  explicit OwnFiles(const std::string& index_path);

  // True when deleting `path` would delete one of the own files. `id` is the
  // identity of the path's last part as Env::GetFileKindAndId gives it, or
  // null to have it read here (only when the name alone does not decide).
  bool Holds(const char* path, const platform::FileId* id = nullptr) const;

 private:
  struct Folder {
    platform::FileId id;
    std::vector<std::string> names;  // the own files' names in it
    bool logs = false;               // and the daily logs
  };
  void AddFile(const std::string& path, const char* name, bool logs);
  bool NameIn(const Folder& folder, const std::string& name) const;
  bool IsLog(const platform::FileId& id) const;

  // An own file by identity, with the path it was read from (followed when
  // `follow`): a match is confirmed against what that path names now, so
  // that a file deleted since cannot pass its identity on to a new file that
  // the system gives the same one.
  struct Known {
    platform::FileId id;
    std::string path;
    bool follow = false;
  };
  bool StillOwn(const Known& known) const;
  std::vector<Known> files_;
  std::vector<Folder> folders_;

  // The logs of the log folder, by identity, as last read from it.
  struct Logs {
    platform::LocalMutex mutex;
    bool looked = false;
    int64_t looked_at = 0;  // when the folder was last looked at
    bool read = false;
    platform::FileId folder;  // the folder they were read from
    int64_t modified = 0;     // its modification time then
    int64_t read_at = 0;      // when they were read
    struct Log {
      platform::FileId id;
      std::string name;
    };
    std::vector<Log> ids;
  };
  std::string log_folder_;
  std::unique_ptr<Logs> logs_;
};

// Gathers the own files of the cache whose index is at `index_path` and makes
// them this process's set: at initialisation, and before a pass that opens
// an index of its own.
void GatherOwnFiles(const std::string& index_path);

// This process's set; when none was gathered yet, one is gathered first for
// the index the settings name.
std::shared_ptr<const OwnFiles> CurrentOwnFiles();

}  // namespace stow
