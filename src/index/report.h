// What the library reports on a cache, read from its index through an
// inspection (see inspect.h), which changes nothing: the status, the list
// of entries and the check. The extension API translates these to its C
// structs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/settings.h"
#include "index/change_proof.h"
#include "index/layout.h"
#include "index/list_check.h"

namespace stow {

// The index as it is now, and what a pass of a process with the given
// settings and refusal identity would do with it.
struct StatusReport {
  bool index_present = false;
  bool index_formatted = false;
  bool lists_consistent = false;
  int32_t entries = 0;
  int64_t bytes_in_use = 0;
  int64_t oldest_registration = 0;  // 0 when nothing is listed
  int64_t newest_registration = 0;
  // What a pass run now would delete if every deletion succeeded: nothing
  // below the high mark.
  int32_t evictable_files = 0;
  int64_t evictable_bytes = 0;
  // The least recently registered entry a pass would try: "" for none.
  char next_path[kFileNameSize] = {};
  int64_t next_registered = 0;
  // Entries whose refusal (to anyone) still holds.
  int32_t refused_files = 0;
  int64_t refused_bytes = 0;
  // The machine restarted and the index was not made to agree with the
  // disk since (see LookupTable::ReconciliationPending).
  bool reconciliation_pending = false;
};

// The status of the index at `index_path` at `now`. Throws OsError as
// IndexInspection does.
StatusReport ReadStatus(const std::string& index_path, const CacheSettings& settings,
                        uint32_t identity, int64_t now);

// One entry of the valid list.
struct ListedEntry {
  int32_t block = kNoBlock;
  char path[kFileNameSize] = {};  // as stored, cut to a terminated string
  uint32_t file_size = 0;
  int32_t registered = 0;
  int64_t delay = 0;
  bool evictable = false;  // old enough for a pass at the time it was read
  // Read with the copy: proves later that the block still holds this
  // registration (see IndexFile::RepairEntries).
  ChangeProof proof;
};

// How a listing ended: at the end of the list (or where `take` asked to
// stop, or at the limit), at a list that changed between two batches so
// that the place to go on from is not proved, or at damage.
enum class ListEnd { kEnd, kChanged, kDamaged };

// Gives `take` the entries of the valid list from the most recently
// registered on, at most `limit` (0: all), until it returns false. The
// entries are copied under the lock in batches of `batch` and given to
// `take` without it; `*reported` counts those given. No index: nothing.
ListEnd ListIndex(const std::string& index_path, const CacheSettings& settings, int32_t limit,
                  int32_t batch, const std::function<bool(const ListedEntry&)>& take,
                  int32_t* reported);

// What a pass would do, as the dry run reckons it.
struct PassForecastTotals {
  int32_t deleted_files = 0;  // entries it would delete, if every deletion succeeded
  int64_t deleted_bytes = 0;
  int32_t kept_files = 0;  // entries refused within their back-off, which it would not try
  int64_t kept_bytes = 0;
  int32_t remaining_files = 0;  // entries left listed afterwards
  int64_t remaining_bytes = 0;
};

// The dry run of a pass of a process with `settings` and refusal identity
// `identity` at `now` (`older_than` > 0: of the pass that deletes by age
// alone; see PassForecast): gives `take` (may be null) each entry the pass
// would delete, in the order of the pass, until it returns false; the
// batch in hand is still counted then. Entries are looked at under the
// lock in batches of `batch` and given to `take` without it; `between`
// (may be null) is told the totals so far between two batches. Changes
// nothing. No index: nothing.
ListEnd ForecastPass(const std::string& index_path, const CacheSettings& settings,
                     uint32_t identity, int64_t now, int64_t older_than, int32_t batch,
                     const std::function<bool(const ListedEntry&)>& take,
                     const std::function<void(const PassForecastTotals&)>& between,
                     PassForecastTotals* totals);

// What a check of the index saw.
struct IndexCheck {
  bool present = false;
  bool formatted = false;  // full size and marked as an index
  bool consistent = false;
  bool interrupted = false;  // a holder of the lock died while it changed the index
  ListReport lists;          // the counts, and the first problem found
  int32_t header_count = 0;
  int64_t header_bytes = 0;
  // False when the pass bounds beside consistent lists claim less than the
  // list shows (`lists.problem` says what); a repair resets them.
  bool bounds_hold = true;
  // Sound: nothing to check, or a formatted index with consistent lists and
  // bounds they bear out.
  bool sound() const { return !present || (formatted && consistent && bounds_hold); }
};

// Checks the index at `index_path` on a copy taken under the lock. A
// missing index is sound. Throws OsError as IndexInspection does.
IndexCheck CheckIndex(const std::string& index_path);

}  // namespace stow
