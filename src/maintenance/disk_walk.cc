#include "maintenance/disk_walk.h"

#include <memory>
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
  if (other_file_system_ > 0) {
    WriteLogBufferToFile("%s: %lld entries on another file system than the top were left out.\n",
                         what_, static_cast<long long>(other_file_system_));
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
  // The top is the folder the settings or the caller named, whatever
  // spelling leads there; below it no link is followed.
  std::unique_ptr<platform::HeldFolder> held;
  const OsStatus opened = platform::env().OpenFolder(top.c_str(), &held);
  if (!opened.ok()) {
    *why = OsError(opened).what();
    return false;
  }
  return Walk(std::move(held), top, file, why);
}

bool DiskWalk::Walk(std::unique_ptr<platform::HeldFolder> top, const std::string& spelling,
                    const std::function<bool(const WalkedFile&)>& file, std::string* why) {
  // A folder still to walk: opened through its parent's handle when its
  // turn comes, so that at most one handle per level is held at a time.
  struct Pending {
    std::shared_ptr<platform::HeldFolder> parent;
    std::string name;
    std::string path;
    platform::FileId id;  // as the parent listed it
    int32_t depth;
  };
  const uint64_t device = top->id().device;
  if (!folders_.insert(top->id()).second) {
    *why = "walked already";
    return false;
  }
  std::vector<Pending> stack;
  std::vector<platform::FolderEntry> entries;
  std::shared_ptr<platform::HeldFolder> folder(std::move(top));
  std::string path = spelling;
  int32_t depth = 0;
  bool first = true;
  for (;;) {
    // One entry more than the bound allows tells that it was reached.
    const size_t limit = static_cast<size_t>(bounds_.entries - entries_ + 1);
    const OsStatus read = folder->Read(limit, &entries);
    if (!read.ok()) {
      if (first) {
        *why = OsError(read).what();
        return false;
      }
      LeaveOut(path, OsError(read).what());
      entries.clear();
    }
    first = false;
    entries_ += static_cast<int64_t>(entries.size());
    if (entries_ > bounds_.entries) {
      bounded_ = true;
      return true;
    }
    const bool has_separator = !path.empty() && path.back() == platform::kSeparator;
    const std::string base = has_separator ? path : path + platform::kSeparator;
    for (const platform::FolderEntry& e : entries) {
      if (e.link) continue;
      if (e.name.empty()) {
        unnamed_ += 1;
        continue;
      }
      if (bounds_.one_file_system && e.info.id.known && e.info.id.device != device &&
          (e.info.kind == platform::FileKind::kDirectory ||
           e.info.kind == platform::FileKind::kRegular)) {
        other_file_system_ += 1;
        continue;
      }
      if (e.info.kind == platform::FileKind::kDirectory) {
        if (depth >= bounds_.depth) {
          bounded_ = true;
        } else {
          stack.push_back({folder, e.name, base + e.name, e.info.id, depth + 1});
        }
      } else if (e.info.kind == platform::FileKind::kRegular) {
        if (!file(WalkedFile{base + e.name, e.info})) return true;
      }
    }
    // The next folder that can be opened and is not walked yet.
    folder.reset();
    while (folder == nullptr && !stack.empty()) {
      Pending next = std::move(stack.back());
      stack.pop_back();
      std::unique_ptr<platform::HeldFolder> sub;
      const OsStatus opened = next.parent->OpenSub(next.name, &sub);
      if (!opened.ok()) {
        LeaveOut(next.path, OsError(opened).what());
      } else if (next.id.known && sub->id() != next.id) {
        // Replaced since its parent was read: not the folder that lay there.
        LeaveOut(next.path, "replaced while it was walked");
      } else if (folders_.insert(sub->id()).second) {
        folder = std::move(sub);
        path = std::move(next.path);
        depth = next.depth;
      }  // else reached again (a mount of a folder within itself)
    }
    if (folder == nullptr) return true;
  }
}

}  // namespace stow
