// The disk as a second witness of the index: the check of the listed files,
// the adoption of unlisted ones and the usage of the cache folders.
//
// Files are told apart by their identity (device and inode, volume and file
// ID), never by how their paths are spelt: the index lists a path as the
// client gave it, and the same file may lie below a cache folder by another
// spelling or another hard link. The files are looked at without the index
// lock; the index is read in batches under it, and changed only where the
// block's change stamp, read with the copy, proves under the lock that no
// registration came since.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/api_structs.h"
#include "api/extension.h"
#include "api/process_state.h"
#include "config/log.h"
#include "config/settings.h"
#include "index/index_file.h"
#include "index/inspect.h"
#include "index/report.h"
#include "maintenance/adoption.h"
#include "maintenance/disk_walk.h"
#include "maintenance/file_check.h"
#include "maintenance/own_files.h"
#include "platform/platform.h"

namespace stow {
namespace api {
namespace {

// A bad argument of these operator calls is also logged: an operator's
// request refused is worth a line beside what the library did.
int32_t RefusedArgument(const std::string& why) {
  WriteLogBufferToFile("%s\n", why.c_str());
  return BadArgument(why);
}

bool IsSeparator(char c) { return c == platform::kSeparator || c == '/'; }

int32_t WalkFailed(const char* what, ListEnd end) {
  if (end == ListEnd::kChanged) {
    Failed(what, "the index kept changing during the walk of its list");
    return STOWMASTER_CHANGED;
  }
  Failed(what, "the valid list of the index is damaged");
  return STOWMASTER_DAMAGED;
}

// ------------------------------------------------------------- the check ---

// True when a formatted index is at `index_path`. Opened the ordinary way,
// anything else would be formatted, which a check must never do.
bool FormattedIndex(const std::string& index_path) {
  IndexInspection inspection(index_path);
  return inspection.mapped() && inspection.Read([](const IndexFileHeader& h, const ImageFileBlock*,
                                                   bool) { return HasIndexMagic(h); });
}

}  // namespace

int32_t CheckFiles(int32_t repair, StowmasterFilesReport* out, StowmasterFileProblemFn fn,
                   void* context) {
  if (!SizeOk(out)) return RefusedArgument("StowmasterCheckFiles: null or too small a struct");
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  const std::string index_path = IndexPathIn(CacheFolder());

  // A repair changes an entry only where the proof read with its copy
  // still holds: the lookup table is brought in sync first (rebuilt when
  // stale), so that the copies come with proofs.
  std::unique_ptr<IndexFile> index;
  if (repair != 0 && FormattedIndex(index_path)) {
    index = std::make_unique<IndexFile>(index_path, cache);
    index->RepairEntries(nullptr, 0);
  }
  FileCheckOptions options;
  options.repair = index.get();
  const FileCheckResult c = CheckListedFiles(index_path, cache, options, [&](const FileProblem& p) {
    if (fn == nullptr) return true;
    StowmasterFileProblem f;
    std::memset(&f, 0, sizeof(f));
    f.size = sizeof(f);
    f.block = p.entry.block;
    static_assert(sizeof(f.path) == sizeof(p.entry.path), "a stored name fits");
    std::memcpy(f.path, p.entry.path, sizeof(f.path));
    static_assert(
        static_cast<int32_t>(FileProblemKind::kMissing) == STOWMASTER_FILE_MISSING &&
            static_cast<int32_t>(FileProblemKind::kNotRegular) == STOWMASTER_FILE_NOT_REGULAR &&
            static_cast<int32_t>(FileProblemKind::kSizeDiffers) == STOWMASTER_FILE_SIZE_DIFFERS,
        "the problems by their C codes");
    f.problem = static_cast<int32_t>(p.kind);
    f.repaired = p.entry.done ? 1 : 0;
    f.listed_size = p.entry.file_size;
    f.disk_size = p.disk_size;
    return fn(&f, context) != 0;
  });
  if (index != nullptr) index->MarkCleanStop();
  StowmasterFilesReport r;
  std::memset(&r, 0, sizeof(r));
  r.checked = c.checked;
  r.missing = c.missing;
  r.not_regular = c.not_regular;
  r.size_differs = c.size_differs;
  r.repaired = c.repaired;
  r.dropped_bytes = c.dropped_bytes;
  r.size_change = c.size_change;
  Deliver(r, out);
  if (c.end != ListEnd::kEnd) return WalkFailed("StowmasterCheckFiles", c.end);
  return c.problems == 0 ? STOWMASTER_OK : STOWMASTER_FILES_DIFFER;
}

// ------------------------------------------------------------ disk usage ---

int32_t GetDiskUsage(StowmasterDiskUsage* out) {
  if (!SizeOk(out)) return RefusedArgument("StowmasterGetDiskUsage: null or too small a struct");
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  const std::string index_path = IndexPathIn(CacheFolder());
  FileIdSet listed;
  const ListEnd end = ListedIdentities(index_path, cache, &listed);
  if (end != ListEnd::kEnd) return WalkFailed("StowmasterGetDiskUsage", end);
  const OwnFiles own(index_path);

  StowmasterDiskUsage u;
  std::memset(&u, 0, sizeof(u));
  FileIdSet seen;
  DiskWalk walk("Disk usage");
  for (const std::string& folder : DeletionFolders()) {
    std::string why;
    const bool walked = walk.Walk(
        folder,
        [&](const WalkedFile& f) {
          // Each file once, however many names lead to it.
          if (f.info.id.known && !seen.insert(f.info.id).second) return true;
          u.files += 1;
          u.bytes += static_cast<int64_t>(f.info.size);
          if (f.info.id.known && listed.count(f.info.id) != 0) return true;
          if (own.Holds(f.path.c_str(), &f.info.id)) return true;
          u.unlisted_files += 1;
          u.unlisted_bytes += static_cast<int64_t>(f.info.size);
          return true;
        },
        &why);
    if (walked) u.folders += 1;
  }
  Deliver(u, out);
  return STOWMASTER_OK;
}

// -------------------------------------------------------------- adoption ---

namespace {

// `folder` made absolute, without trailing separators, or "" with the reason
// when a part of it is empty (a doubled separator), "." or "..": such a
// spelling could lead anywhere from a cache folder, and a confined deletion
// accepts none of them.
std::string CleanFolder(const char* folder, std::string* why) {
  std::string path;
  const OsStatus made = platform::env().AbsolutePath(folder, &path);
  if (!made.ok()) {
    *why = OsError(made).what();
    return std::string();
  }
  while (path.size() > 1 && IsSeparator(path.back()) &&
         !platform::IsTopFolder(path.c_str(), path.size())) {
    path.pop_back();
  }
  for (size_t at = 0; at < path.size();) {
    size_t next = at;
    while (next < path.size() && !IsSeparator(path[next])) ++next;
    const std::string part = path.substr(at, next - at);
    // The root's own separators ("/", and "\\server" on Windows) are the
    // only empty parts a folder's name may have.
    const bool root = at == 0 || (at == 1 && platform::kSeparator == '\\' && next == 1);
    if ((part.empty() && !root) || part == "." || part == "..") {
      *why = "the folder " + path + " has an empty, \".\" or \"..\" part";
      return std::string();
    }
    at = next + 1;
  }
  return path;
}

// Where a folder lies within the cache folders: the cache folder as the
// settings spell it, and the names that lead from it down to the folder.
struct Placement {
  std::string cache;
  std::vector<std::string> names;
};

// True when `folder` (clean) is, by identity, one of the cache folders or
// lies below one of them, with the placement; else false, with the reason.
// The text up to that cache folder may be spelt any way that leads there,
// links above it included (the system's own spelling of a working folder,
// say), but not a link of its own making to the cache folder: a link that
// leads there counts as one only where the settings name it so.
bool WithinCacheFolders(const std::string& folder, Placement* placement, std::string* why) {
  std::vector<std::pair<std::string, platform::FileId>> caches;
  for (const std::string& each : DeletionFolders()) {
    platform::FileId id;
    if (platform::env().GetFileId(each.c_str(), true, &id).ok() && id.known) {
      caches.emplace_back(each, id);
    }
  }
  // The folder, then each folder above it, up to the root.
  for (size_t end = folder.size(); end > 0;) {
    const std::string at = folder.substr(0, end);
    platform::FileId id;
    (void)platform::env().GetFileId(at.c_str(), true, &id);
    for (const auto& cache : caches) {
      if (id != cache.second) continue;
      platform::FileId itself;
      (void)platform::env().GetFileId(at.c_str(), false, &itself);
      if (at != cache.first && itself != id) {
        *why = at + " is a link; adoption follows no link";
        return false;
      }
      placement->cache = cache.first;
      placement->names.clear();
      size_t from = end;
      while (from < folder.size()) {
        if (IsSeparator(folder[from])) ++from;
        size_t next = from;
        while (next < folder.size() && !IsSeparator(folder[next])) ++next;
        placement->names.push_back(folder.substr(from, next - from));
        from = next;
      }
      return true;
    }
    // The text before the last separator of `at`, a root keeping its own.
    size_t cut = end;
    while (cut > 0 && !IsSeparator(folder[cut - 1])) --cut;
    if (cut == 0) break;
    end = platform::IsTopFolder(folder.c_str(), cut) && cut < end ? cut : cut - 1;
  }
  *why = folder + " does not lie within the cache folders (CacheDir and FileFolders)";
  return false;
}

// The folder of `placement` opened from its cache folder down, one name at
// a time through the handle of the folder above, following no link and not
// leaving the cache folder's file system; with the one spelling of it that
// a confined deletion accepts for what lies below: the cache folder as the
// settings spell it, single separators, the names. STOWMASTER_OK, or the
// result of the refusal or the failure.
int32_t OpenPlaced(const Placement& placement, std::unique_ptr<platform::HeldFolder>* held,
                   std::string* spelling) {
  const OsStatus opened = platform::env().OpenFolder(placement.cache.c_str(), held);
  if (!opened.ok())
    return Failed("StowmasterAdopt", std::string("cannot read ") + OsError(opened).what());
  const uint64_t device = (*held)->id().device;
  *spelling = placement.cache;
  while (spelling->size() > 1 && IsSeparator(spelling->back()) &&
         !platform::IsTopFolder(spelling->c_str(), spelling->size())) {
    spelling->pop_back();
  }
  for (const std::string& name : placement.names) {
    if (!IsSeparator(spelling->back())) *spelling += platform::kSeparator;
    *spelling += name;
    std::unique_ptr<platform::HeldFolder> sub;
    const OsStatus down = (*held)->OpenSub(name, &sub);
    if (down.code() == platform::kErrorNotAFolder) {
      return RefusedArgument("StowmasterAdopt: " + *spelling +
                             " is a link or not a folder; adoption follows no link");
    }
    if (!down.ok()) {
      return Failed("StowmasterAdopt", "cannot read " + *spelling + ": " + OsError(down).what());
    }
    if (sub->id().known && sub->id().device != device) {
      return RefusedArgument("StowmasterAdopt: " + *spelling +
                             " lies on another file system than its cache folder");
    }
    *held = std::move(sub);
  }
  return STOWMASTER_OK;
}

}  // namespace

int32_t Adopt(const char* folder, uint32_t delay, StowmasterAdoptResult* out,
              StowmasterAdoptProgressFn progress, void* context) {
  if (folder == nullptr || !SizeOk(out)) {
    return RefusedArgument("StowmasterAdopt: null folder, or null or too small a struct");
  }
  std::string why;
  const std::string asked = CleanFolder(folder, &why);
  if (asked.empty()) return RefusedArgument("StowmasterAdopt: " + why);
  RequireTrustedSettings();
  Placement placement;
  if (!WithinCacheFolders(asked, &placement, &why)) {
    return RefusedArgument("StowmasterAdopt: " + why);
  }
  // Opened from the cache folder down after the look above: a folder
  // swapped for a link in between is refused here, not followed.
  std::unique_ptr<platform::HeldFolder> held;
  std::string top;
  const int32_t opened = OpenPlaced(placement, &held, &top);
  if (opened != STOWMASTER_OK) return opened;
  CacheSettings cache;
  char index_path[kPathBufferSize];
  GetCacheSettings(&cache, index_path, nullptr);

  AdoptionOptions options;
  options.delay = delay;
  StowmasterAdoptResult a;
  std::memset(&a, 0, sizeof(a));
  a.size = sizeof(a);
  const auto fill = [&a](const AdoptionResult& r) {
    a.found = r.found;
    a.listed = r.listed;
    a.adopted = r.adopted;
    a.adopted_bytes = r.adopted_bytes;
    a.failed = r.failed;
  };
  std::vector<AdoptionTop> tops;
  tops.push_back({std::move(held), top});
  const AdoptionResult r =
      AdoptUnlisted(index_path, cache, std::move(tops), options, [&](const AdoptionResult& so_far) {
        if (progress == nullptr) return;
        fill(so_far);
        progress(&a, context);
      });
  if (r.end != ListEnd::kEnd) return WalkFailed("StowmasterAdopt", r.end);
  if (!r.walked) return Failed("StowmasterAdopt", r.why);
  fill(r);
  Deliver(a, out);
  if (a.failed > 0) {
    RecordLastError("StowmasterAdopt: " + std::to_string(a.failed) +
                    " files could not be registered (see the log)");
    return STOWMASTER_INCOMPLETE;
  }
  return STOWMASTER_OK;
}

}  // namespace api
}  // namespace stow
