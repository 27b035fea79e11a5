// The agreement of the index with the disk after a restart of the machine.
// A power cut or a crash loses what had not reached the disk, and whatever
// ran while no client did may have deleted cached files or left new ones
// behind: the first pass after the start makes the index agree with the
// disk again, without the index lock but for the batches of its changes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/settings.h"

namespace stow {

class IndexFile;

struct Reconciliation {
  bool ran = false;       // pending, and claimed by this process
  bool finished = false;  // done: no longer pending
  int32_t looked_at = 0;  // listed entries whose file was looked at
  int32_t dropped = 0;    // entries dropped, their file missing or not a regular file
  int32_t sizes_corrected = 0;
  int32_t adopted = 0;  // unlisted files registered
  int64_t adopted_bytes = 0;
  std::string unfinished;  // why it is left to the next pass, in words
};

// When the reconciliation of `index` is pending (one read and a compare:
// the cost of a pass that finds it done) and no other process holds it,
// runs it:
//  - the check of every listed file, repairing what its proof allows: an
//    entry whose file is missing or not a regular file is dropped, a size
//    that differs corrected;
//  - the adoption of each regular file below the cache folder (and below
//    the FileFolders with AdoptFileFolders=1) that no entry lists and that
//    was last modified before the machine started: a file changed since
//    belongs to a client that registers it itself (none when the system
//    does not tell when the machine started).
// Logs the lines of each change, one summary line, and, when something
// could not be finished (the lock not had, the list kept changing, the
// index full, `stop` true, a folder unreadable), one line saying that it
// stays pending: a pass tries again once LookupTable::kReconcileRetrySeconds
// have passed, not at once, so that one that cannot finish does not walk
// the list and the folders in every pass. `stop` (may be null) is asked between
// batches.
Reconciliation ReconcileIfPending(IndexFile& index, const std::string& index_path,
                                  const CacheSettings& cache, const std::function<bool()>& stop);

}  // namespace stow
