#include "maintenance/disk_walk.h"

#include <utility>
#include <vector>

#include "config/log.h"

namespace stow {

DiskWalk::DiskWalk(const char* what, DiskWalkBounds bounds) : what_(what), bounds_(bounds) {}

DiskWalk::~DiskWalk() {
  // One line each for what the whole walk left out, not one per folder.
  if (unreadable_ > 0) {
    WriteLogBufferToFile("%s: %lld folders could not be read and were left out, the first %s.\n",
                         what_, static_cast<long long>(unreadable_), first_left_out_.c_str());
  }
  if (unnamed_ > 0) {
    WriteLogBufferToFile(
        "%s: %lld entries have no exact name in the system code page and were left out.\n", what_,
        static_cast<long long>(unnamed_));
  }
  if (bounded_) {
    WriteLogBufferToFile("%s: the walk stopped at %d folder levels or %lld entries.\n", what_,
                         static_cast<int>(bounds_.depth),
                         static_cast<long long>(bounds_.entries));
  }
}

void DiskWalk::LeaveOut(const std::string& path, const std::string& why) {
  if (unreadable_++ == 0) first_left_out_ = path + " (" + why + ")";
}

bool DiskWalk::Walk(const std::string& top, const std::function<bool(const WalkedFile&)>& file,
                    std::string* why) {
  struct Pending {
    std::string path;
    platform::FileId id;  // as the parent listed it; unknown for the top
    int32_t depth;
  };
  std::vector<Pending> stack;
  stack.push_back({top, platform::FileId(), 0});
  std::vector<platform::FolderEntry> entries;
  bool first = true;
  while (!stack.empty()) {
    Pending folder = std::move(stack.back());
    stack.pop_back();
    platform::FileId id;
    // The top is the folder the settings or the caller named, whatever
    // spelling leads there; below it no link is followed.
    // One entry more than the bound allows tells that it was reached.
    const size_t limit = static_cast<size_t>(bounds_.entries - entries_ + 1);
    const OsStatus read =
        platform::env().ReadFolder(folder.path.c_str(), first, limit, &id, &entries);
    if (first) {
      first = false;
      if (!read.ok()) {
        *why = OsError(read).what();
        return false;
      }
      if (!folders_.insert(id).second) {
        *why = "walked already";
        return false;
      }
    } else if (!read.ok()) {
      LeaveOut(folder.path, OsError(read).what());
      continue;
    } else if (folder.id.known && id != folder.id) {
      // Replaced since its parent was read: not the folder that lay there.
      LeaveOut(folder.path, "replaced while it was walked");
      continue;
    } else if (!folders_.insert(id).second) {
      continue;  // reached again (a mount of a folder within itself)
    }
    entries_ += static_cast<int64_t>(entries.size());
    if (entries_ > bounds_.entries) {
      bounded_ = true;
      return true;
    }
    const bool has_separator = !folder.path.empty() && folder.path.back() == platform::kSeparator;
    const std::string base = has_separator ? folder.path : folder.path + platform::kSeparator;
    for (const platform::FolderEntry& e : entries) {
      if (e.link) continue;
      if (e.name.empty()) {
        unnamed_ += 1;
        continue;
      }
      const std::string path = base + e.name;
      if (e.info.kind == platform::FileKind::kDirectory) {
        if (folder.depth >= bounds_.depth) {
          bounded_ = true;
        } else {
          stack.push_back({path, e.info.id, folder.depth + 1});
        }
      } else if (e.info.kind == platform::FileKind::kRegular) {
        if (!file(WalkedFile{path, e.info})) return true;
      }
    }
  }
  return true;
}

}  // namespace stow
