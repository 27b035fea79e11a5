// Walks of the folders below a cache folder, for the check of the disk
// against the index: what regular files lie there, each known by its
// identity.
//
// Anyone who may write in a cache folder may make what lies below it deep,
// wide or circular, so a walk follows no link (symbolic link, junction or
// other reparse point), opens each folder only when it is still the folder
// its parent listed, walks each folder once, and stops at a bound of depth
// and of entries. What it cannot read it leaves out, with one line in the
// log for the whole walk.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

#include "platform/platform.h"

namespace stow {

// Hash of a FileId, for sets of identities.
struct FileIdHash {
  size_t operator()(const platform::FileId& id) const {
    return static_cast<size_t>(id.device * 0x9E3779B97F4A7C15ull ^ id.file);
  }
};
// A set of known identities (an unknown one is equal to nothing: never
// put one in).
using FileIdSet = std::unordered_set<platform::FileId, FileIdHash>;

// How far a walk goes: folders below the top, and entries read in all;
// and whether it stays on its top's file system (a deletion confined to the
// cache folders reaches no file across a mount point).
struct DiskWalkBounds {
  int32_t depth = 64;
  int64_t entries = 2000000;
  bool one_file_system = false;
};

// A regular file met by a walk.
struct WalkedFile {
  const std::string& path;  // the folder's path as walked, a separator, the name
  const platform::FileInfo& info;  // kind, size, modification time, identity
};

// One walk, over one or more top folders. Folders are walked once each,
// by identity, across all of its tops: a cache folder nested in another,
// or named twice, is not walked again.
class DiskWalk {
 public:
  // `what` names the walk in its log lines, e.g. "Disk usage".
  explicit DiskWalk(const char* what, DiskWalkBounds bounds = DiskWalkBounds());
  ~DiskWalk();  // writes the line for what was left out, if anything was
  DiskWalk(const DiskWalk&) = delete;
  DiskWalk& operator=(const DiskWalk&) = delete;

  // Calls `file` for each regular file below `top` (in its subfolders too),
  // until it returns false. False when `top` itself could not be read (or
  // was walked already), with the reason in `*why`; what lies below it that
  // cannot be read is left out and counted. `top` is opened once, whatever
  // spelling leads there; the rest is reached through the handles of the
  // folders above it (see platform::HeldFolder).
  bool Walk(const std::string& top, const std::function<bool(const WalkedFile&)>& file,
            std::string* why);

  // The same below a folder opened already, its files named `spelling`, a
  // separator and the names below it.
  bool Walk(std::unique_ptr<platform::HeldFolder> top, const std::string& spelling,
            const std::function<bool(const WalkedFile&)>& file, std::string* why);

  // Entries that could not be named (no exact narrow form), folders that
  // could not be read, and whether a bound was reached.
  int64_t unnamed() const { return unnamed_; }
  int64_t unreadable() const { return unreadable_; }
  bool bounded() const { return bounded_; }

 private:
  void LeaveOut(const std::string& path, const std::string& why);

  const char* what_;
  DiskWalkBounds bounds_;
  FileIdSet folders_;  // the folders walked
  int64_t entries_ = 0;
  int64_t unnamed_ = 0;
  int64_t unreadable_ = 0;
  int64_t other_file_system_ = 0;
  bool bounded_ = false;
  std::string first_left_out_;  // the first folder left out, and why
};

}  // namespace stow
