// The check of the listed files against the disk: every listed file is
// looked at without the index lock, and the entries the disk does not bear
// out are repaired in batches under it (IndexFile::RepairEntries), each
// change proved by its block's change stamp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/settings.h"
#include "index/index_file.h"
#include "index/report.h"

namespace stow {

// What the disk says of one listed file that does not match its entry.
enum class FileProblemKind : int32_t {
  kMissing = 1,     // no file at the path
  kNotRegular = 2,  // a folder, a FIFO, a device or the like
  kSizeDiffers = 3  // a regular file of another size
};

struct FileProblem {
  IndexFile::EntryRepair entry;  // as copied; `done` tells whether it was repaired
  FileProblemKind kind = FileProblemKind::kMissing;
  uint32_t disk_size = 0;  // as the index counts it (kSizeDiffers)
};

struct FileCheckResult {
  int32_t checked = 0;  // entries whose file could be looked at
  int32_t missing = 0;
  int32_t not_regular = 0;
  int32_t size_differs = 0;
  int32_t repaired = 0;
  int64_t dropped_bytes = 0;  // listed bytes of the entries dropped
  int64_t size_change = 0;    // bytes the corrected sizes added (or took away)
  // Problems not repaired because the lookup table was stale when their
  // entries were copied, or the lock could not be had for their batch.
  int32_t unproved = 0;
  int32_t lock_refused = 0;
  int64_t unreadable = 0;  // files that could not be looked at
  int32_t problems = 0;    // problems found
  bool stopped = false;    // `each` asked to stop
  ListEnd end = ListEnd::kEnd;
};

struct FileCheckOptions {
  // The index to repair through, or null to change nothing.
  IndexFile* repair = nullptr;
  // Whether the check's closing lines ("Files check: ...") are logged; the
  // lines for each repair and for files that could not be looked at are.
  bool summary_lines = true;
};

// Checks every entry of the index at `index_path`. `each` (may be null) is
// called for each problem, a batch after the other, after the batch's
// repair and without the lock; false stops there.
FileCheckResult CheckListedFiles(const std::string& index_path, const CacheSettings& cache,
                                 const FileCheckOptions& options,
                                 const std::function<bool(const FileProblem&)>& each);

// Problems repaired (and reported) per hold of the lock.
constexpr size_t kRepairBatch = 256;

}  // namespace stow
