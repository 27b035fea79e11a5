// The adoption of files that lie below a cache folder without an entry:
// each regular file that no entry lists, by identity, is registered as a
// registration would, the oldest first, in batches.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "index/report.h"
#include "maintenance/disk_walk.h"
#include "platform/platform.h"

namespace stow {

class IndexFile;

// Entries copied per hold of the lock by the walks of the list of the
// check and the adoption.
constexpr int32_t kIdentityWalkBatch = 512;
// Files registered per progress report of an adoption.
constexpr size_t kAdoptBatch = 256;

// The identities of the listed files: what deleting each listed path would
// delete (its last part not followed). Read from batches of the list,
// without the lock, walked again (a few times) when other processes change
// the list under the walk. kEnd, or how the last attempt ended.
ListEnd ListedIdentities(const std::string& index_path, const CacheSettings& cache,
                         FileIdSet* listed);

struct AdoptionResult {
  int32_t found = 0;    // regular files found, each once
  int32_t listed = 0;   // of them, listed already
  int32_t adopted = 0;  // registered now
  int64_t adopted_bytes = 0;
  int32_t failed = 0;           // could not be registered (see the log)
  int32_t too_long = 0;         // of them, paths too long for an entry
  bool stopped = false;         // `options.stop` ended it between two batches
  bool full = false;            // the index was full: the rest were not tried
  int32_t newer = 0;            // left alone: modified at or after `modified_before`
  ListEnd end = ListEnd::kEnd;  // how the walk for the listed identities ended
  bool walked = true;           // every top could be read; else `why`
  std::string why;
};

struct AdoptionOptions {
  // The index to register in; null: one opened at the index path for the
  // adoption, marked stopped cleanly at its end.
  IndexFile* index = nullptr;
  uint32_t delay = 0;  // each new entry's own minimum age, as a registration gives it
  // > 0: only files last modified before this time (seconds since 1970)
  // are adopted.
  int64_t modified_before = 0;
  // Whether the closing line of an adoption below one top ("Adoption
  // below ...") is logged; the lines for each file registered or refused
  // are.
  bool summary_lines = true;
  // May be null: asked between two batches of registrations; true ends the
  // adoption there.
  std::function<bool()> stop;
};

// A folder to adopt below, opened already (see platform::HeldFolder), with
// the spelling of its path that the new entries begin with.
struct AdoptionTop {
  std::unique_ptr<platform::HeldFolder> folder;
  std::string spelling;
};

// Adopts the unlisted regular files below `tops`, in one walk that stays on
// each top's file system and walks each folder once. `progress` (may be
// null) is called with the totals so far between two batches of
// registrations. Own files of the library are never adopted.
AdoptionResult AdoptUnlisted(const std::string& index_path, const CacheSettings& cache,
                             std::vector<AdoptionTop> tops, const AdoptionOptions& options,
                             const std::function<void(const AdoptionResult&)>& progress);

}  // namespace stow
