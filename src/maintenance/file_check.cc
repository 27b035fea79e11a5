#include "maintenance/file_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "config/log.h"
#include "maintenance/adoption.h"
#include "platform/platform.h"

namespace stow {
namespace {

void LogRepair(const FileProblem& p) {
  switch (p.kind) {
    case FileProblemKind::kMissing:
      WriteLogBufferToFile("Entry dropped, its file is missing: %s.\n", p.entry.path);
      break;
    case FileProblemKind::kNotRegular:
      WriteLogBufferToFile("Entry dropped, not a regular file: %s.\n", p.entry.path);
      break;
    default:
      WriteLogBufferToFile("Entry size updated from %u to %u bytes: %s.\n",
                           static_cast<unsigned>(p.entry.file_size),
                           static_cast<unsigned>(p.disk_size), p.entry.path);
      break;
  }
}

}  // namespace

FileCheckResult CheckListedFiles(const std::string& index_path, const CacheSettings& cache,
                                 const FileCheckOptions& options,
                                 const std::function<bool(const FileProblem&)>& each) {
  FileCheckResult r;
  IndexFile* const index = options.repair;

  // First every listed file is looked at, from copies of the list made
  // under the lock, without it, and the problems kept: a repair in the
  // middle of the walk would move the blocks the walk goes on from.
  std::vector<FileProblem> problems;
  std::string first_unreadable;
  int32_t reported = 0;
  r.end = ListIndex(
      index_path, cache, 0, kIdentityWalkBatch,
      [&](const ListedEntry& e) {
        // What deleting the path would delete: its last part itself, its
        // kind and size those of the file it leads to, as registration
        // reads them.
        platform::FileInfo info;
        const OsStatus looked = platform::env().GetFileKindAndId(e.path, &info);
        FileProblem p;
        bool problem = true;
        if (!looked.ok()) {
          if (!platform::IsNotFound(looked.code()) && looked.code() != platform::kErrorNotAFolder) {
            // Cannot tell (no permission to search a folder on the way).
            if (r.unreadable++ == 0) first_unreadable = OsError(looked).what();
            return true;
          }
          p.kind = FileProblemKind::kMissing;
        } else if (info.kind != platform::FileKind::kRegular) {
          p.kind = FileProblemKind::kNotRegular;
        } else if (CountedSize(info.size) != e.file_size) {
          p.kind = FileProblemKind::kSizeDiffers;
          p.disk_size = CountedSize(info.size);
        } else {
          problem = false;
        }
        r.checked += 1;
        if (!problem) return true;
        r.missing += p.kind == FileProblemKind::kMissing ? 1 : 0;
        r.not_regular += p.kind == FileProblemKind::kNotRegular ? 1 : 0;
        r.size_differs += p.kind == FileProblemKind::kSizeDiffers ? 1 : 0;
        p.entry.block = e.block;
        std::memcpy(p.entry.path, e.path, sizeof(p.entry.path));
        p.entry.file_size = e.file_size;
        p.entry.access_time = e.registered;
        p.entry.proof = e.proof;
        p.entry.drop = p.kind != FileProblemKind::kSizeDiffers;
        p.entry.new_size = p.disk_size;
        problems.push_back(p);
        return true;
      },
      &reported);
  r.problems = static_cast<int32_t>(problems.size());
  if (r.unreadable > 0) {
    WriteLogBufferToFile("Files check: %lld files could not be looked at, the first %s.\n",
                         static_cast<long long>(r.unreadable), first_unreadable.c_str());
  }

  // Then, a batch at a time: the repair under the lock, the report without.
  bool go_on = true;
  for (size_t from = 0; from < problems.size() && go_on; from += kRepairBatch) {
    const size_t n = std::min(kRepairBatch, problems.size() - from);
    if (index != nullptr) {
      std::vector<IndexFile::EntryRepair> batch;
      batch.reserve(n);
      for (size_t k = 0; k < n; ++k) batch.push_back(problems[from + k].entry);
      if (!index->RepairEntries(batch.data(), n)) r.lock_refused += static_cast<int32_t>(n);
      for (size_t k = 0; k < n; ++k) {
        problems[from + k].entry.done = batch[k].done;
        r.unproved += batch[k].proof.known ? 0 : 1;
      }
    }
    for (size_t k = 0; k < n && go_on; ++k) {
      const FileProblem& p = problems[from + k];
      if (p.entry.done) {
        LogRepair(p);
        r.repaired += 1;
        if (p.entry.drop) {
          r.dropped_bytes += p.entry.file_size;
        } else {
          r.size_change += static_cast<int64_t>(p.disk_size) - p.entry.file_size;
        }
      }
      if (each && !each(p)) {
        go_on = false;
        r.stopped = true;
      }
    }
  }
  if (r.unproved > 0) {
    WriteLogBufferToFile(
        "Files check: %d entries not repaired, the lookup table was stale when they were "
        "copied; the next check looks at them again.\n",
        r.unproved);
  }
  if (!problems.empty() && options.summary_lines) {
    WriteLogBufferToFile(
        "Files check: %d entries looked at, %d files missing, %d not regular, %d of another "
        "size; %d entries repaired.\n",
        r.checked, r.missing, r.not_regular, r.size_differs, r.repaired);
  }
  return r;
}

}  // namespace stow
