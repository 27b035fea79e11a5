#include "maintenance/reconcile.h"

#include <memory>
#include <utility>
#include <vector>

#include "config/log.h"
#include "index/index_file.h"
#include "maintenance/adoption.h"
#include "maintenance/file_check.h"
#include "platform/platform.h"

namespace stow {
namespace {

bool ListDone(ListEnd end, std::string* why) {
  if (end == ListEnd::kEnd) return true;
  *why = end == ListEnd::kChanged ? "the index kept changing during the walk of its list"
                                  : "the valid list of the index is damaged";
  return false;
}

// The check of every listed file, with its proven repair.
void CheckFiles(IndexFile& index, const std::string& index_path, const CacheSettings& cache,
                const std::function<bool()>& stop, Reconciliation* r) {
  // The copies of the list must come with proofs: a stale lookup table is
  // rebuilt first.
  if (!index.RepairEntries(nullptr, 0)) {
    r->unfinished = "the index lock could not be had";
    return;
  }
  FileCheckOptions options;
  options.repair = &index;
  options.summary_lines = false;
  const FileCheckResult c = CheckListedFiles(index_path, cache, options, [&](const FileProblem& p) {
    if (p.entry.done) {
      r->dropped += p.entry.drop ? 1 : 0;
      r->sizes_corrected += p.entry.drop ? 0 : 1;
    }
    return !(stop && stop());
  });
  r->looked_at = c.checked;
  if (!ListDone(c.end, &r->unfinished)) return;
  if (c.stopped) {
    r->unfinished = "the pass was told to stop";
  } else if (c.lock_refused > 0) {
    r->unfinished = "the index lock could not be had";
  } else if (c.unproved > 0) {
    r->unfinished = "the lookup table was stale when entries were copied";
  }
}

// The adoption below the cache folder, and the FileFolders when asked.
void AdoptFiles(IndexFile& index, const std::string& index_path, const CacheSettings& cache,
                const std::function<bool()>& stop, int64_t started, Reconciliation* r) {
  const std::vector<std::string> folders = DeletionFolders();
  const size_t count = AdoptFileFolders() ? folders.size() : 1;
  std::vector<AdoptionTop> tops;
  for (size_t k = 0; k < count && k < folders.size(); ++k) {
    AdoptionTop top;
    const OsStatus opened = platform::env().OpenFolder(folders[k].c_str(), &top.folder);
    if (!opened.ok()) {
      // A FileFolders folder that does not exist holds nothing to adopt.
      if (k > 0 && platform::IsNotFound(opened.code())) continue;
      r->unfinished = std::string("cannot read ") + OsError(opened).what();
      return;
    }
    top.spelling = folders[k];
    tops.push_back(std::move(top));
  }
  AdoptionOptions options;
  options.index = &index;
  options.modified_before = started;
  options.summary_lines = false;
  options.stop = stop;
  const AdoptionResult a = AdoptUnlisted(index_path, cache, std::move(tops), options, nullptr);
  r->adopted = a.adopted;
  r->adopted_bytes = a.adopted_bytes;
  if (!ListDone(a.end, &r->unfinished)) return;
  if (!a.walked) {
    r->unfinished = a.why;
  } else if (a.stopped) {
    r->unfinished = "the pass was told to stop";
  } else if (a.full) {
    r->unfinished = "the index is full";
  } else if (a.failed > a.too_long) {
    // A path too long for an entry never fits: it does not hold the
    // reconciliation back.
    r->unfinished = "files could not be registered";
  }
}

}  // namespace

Reconciliation ReconcileIfPending(IndexFile& index, const std::string& index_path,
                                  const CacheSettings& cache, const std::function<bool()>& stop) {
  Reconciliation r;
  if (!index.ReconciliationPending()) return r;
  if (stop && stop()) return r;
  int64_t claim = 0;
  if (!index.ClaimReconciliation(&claim)) return r;
  r.ran = true;
  // Given back however this ends; recorded as finished only when it did.
  struct Claim {
    IndexFile& index;
    int64_t claim;
    const Reconciliation& r;
    ~Claim() { index.EndReconciliation(claim, r.finished); }
  } hold{index, claim, r};

  try {
    CheckFiles(index, index_path, cache, stop, &r);
    if (r.unfinished.empty()) {
      const platform::BootId boot = platform::env().BootIdentity();
      // Without the time of the start no file is known to be older: the
      // check alone is done.
      if (boot.started > 0) AdoptFiles(index, index_path, cache, stop, boot.started, &r);
    }
  } catch (const OsError& e) {
    // The index could not be read or locked: left pending, the pass goes on.
    r.unfinished = e.what();
  }
  r.finished = r.unfinished.empty();
  WriteLogBufferToFile(
      "Reconciled with the disk after the restart: %d entries looked at, %d dropped, %d sizes "
      "corrected, %d files adopted (%lld bytes).\n",
      r.looked_at, r.dropped, r.sizes_corrected, r.adopted,
      static_cast<long long>(r.adopted_bytes));
  if (!r.finished) {
    WriteLogBufferToFile(
        "Reconciliation with the disk not finished (%s): a pass tries again in %d seconds.\n",
        r.unfinished.c_str(), static_cast<int>(LookupTable::kReconcileRetrySeconds));
  }
  return r;
}

}  // namespace stow
