// The process's handle on the shared index: one file, mapped by every
// process that uses the same cache folder, that lists every cached file from
// the most to the least recently registered, with the bytes they take up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "index/change_proof.h"
#include "index/layout.h"
#include "index/list_walk.h"
#include "index/lookup_table.h"
#include "platform/platform.h"

namespace stow {

class IntentChange;

// Longest wait for the machine-wide index lock. An operation that cannot
// take it within this time logs why and returns its failure value.
constexpr int64_t kIndexLockTimeoutMs = 30000;

// Deletes one cached file. True when the file is gone and its block may be
// freed, false when the block must stay.
using RemoveFileFn = std::function<bool(const char* path)>;

// How far one call of RemoveAll goes, for a caller that does
// the work in batches so that it can run code of its own between them
// without holding the lock. The default does everything in one call.
struct PassBatch {
  // Calls of the removal routine after which the call returns; 0: no limit.
  int32_t max_calls = 0;
  // Entries that the routine would be called for to pass over first: those
  // that earlier batches could not delete, which stay in place.
  int32_t skip = 0;
};

// What one call of RemoveAll or ShrinkCache did.
struct PassOutcome {
  bool more = false;        // stopped at max_calls with entries left to visit
  int32_t freed = 0;        // entries whose file the routine removed
  int64_t freed_bytes = 0;  // their FileSize total
  int32_t kept = 0;         // entries refused: the routine was called and kept them, or
  int64_t kept_bytes = 0;   // a refusal remembered for them had not yet run out
  int32_t looked_at = 0;    // entries a pass looked at (a pass that skips itself: 0)
};

// What a pass works towards: the bytes in use below the low mark, or (for
// a registration into a full index) kRoomTarget free blocks, or (asked for
// by an operator) the deletion of every entry older than a given age.
enum class PassGoal { kLowMark, kRoom, kOlderThan };
constexpr int32_t kRoomTarget = 1000;

// Called by a pass between two of its batches, without the index lock.
using PassProgressFn = std::function<void(const PassOutcome& so_far)>;

// A pass asked for with more than ShrinkCache offers.
struct PassRequest {
  // > 0: PassGoal::kOlderThan. Deletes every entry registered at least this
  // many seconds ago that is old enough by the cache's minimum age and its
  // own, whatever the marks, and tries entries whose deletion was refused
  // again at once, within their back-off too.
  int64_t older_than = 0;
  // May be null: called under the lock for each entry just deleted, before
  // its block is freed. Must be quick and must not throw.
  std::function<void(int32_t block, const ImageFileBlock& entry)> deleted;
  // May be null: called between two batches, without the lock, with what
  // was done so far; false ends the pass there.
  std::function<bool(const PassOutcome& so_far)> between;
};

class IndexFile {
 public:
  // Opens or creates the index at `index_path` and formats it when it does
  // not carry the magic text. Throws OsError on any failure.
  IndexFile(const std::string& index_path, const CacheSettings& settings);
  ~IndexFile();
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;

  // Registers a file, or refreshes it when a block with the same path is
  // listed (taking the new size if the file's size changed): either way it
  // becomes the most recent entry. False when every block is in use.
  bool AddFile(const FileRecord& record, uint32_t delay);

  // Frees the block of every listed file that `remove` deletes.
  PassOutcome RemoveAll(const RemoveFileFn& remove, const PassBatch& batch = PassBatch());

  // The eviction pass: above the high mark, deletes the least recently
  // registered files that are old enough until the bytes in use fall below
  // the low mark. Lets go of the lock after every kPassBatch files it looks
  // at, so that other processes' registrations get in between (`progress`,
  // when given, is called then, without the lock, with what was done so
  // far); after each retake it tests the low mark again and goes on from
  // the tail.
  //
  // A pass resumes where it stopped when the blocks' change stamps prove
  // that position still valid, so that it looks at each entry once; an
  // entry registered by another process meanwhile is looked at when the
  // pass reaches it. A pass that the bounds prove can delete nothing
  // returns at once. `identity` names the rights the removal routine
  // deletes with: a file refused to them is not tried again by a pass of
  // that identity until its back-off ends (one minute, doubling up to an
  // hour); 0 remembers nothing.
  PassOutcome ShrinkCache(const RemoveFileFn& remove, const PassProgressFn& progress = nullptr,
                          uint32_t identity = 0);
  // The same pass with PassGoal::kRoom, for a registration that found every
  // block in use: deletes the least recently registered entries that are
  // old enough until kRoomTarget blocks are free, whatever the marks. Does
  // nothing when a block is free.
  PassOutcome MakeRoom(const RemoveFileFn& remove, uint32_t identity = 0);
  // The pass of ShrinkCache, or with request.older_than > 0 the pass by age
  // (see PassRequest), in the same batches, with the request's hooks.
  PassOutcome RunRequest(const RemoveFileFn& remove, const PassRequest& request,
                         uint32_t identity = 0);
  // Removal calls, entries looked at, and time after which a pass lets go
  // of the lock for a while: a deletion costs from a few microseconds (the
  // file's data still in memory) to a hundred or more (on the disk), so a
  // batch is bounded by its time as well.
  static constexpr int32_t kPassBatch = 128;
  static constexpr int32_t kPassLooks = 4096;
  static constexpr int kPassHoldUs = 1000;
  // Smaller batches, for tests that look at what happens between them.
  void SetPassBatchForTesting(int32_t removals, int32_t looks) {
    pass_batch_ = removals;
    pass_looks_ = looks;
  }

  // True when every block is in use (read without the lock: a hint).
  bool Full() const;

  // ---- Durability. The files' pages reach the disk only when synced (or
  // when the system writes them back, in any order and at any time): a
  // power cut keeps any subset of the pages written since the last sync.
  //
  // Syncs both files (the index and the lookup table) now and waits for the
  // disk. Takes no lock and must not be called with it held. False when the
  // system refused either.
  bool Flush();
  // Syncs both files, as Flush, when the last sync of the cache (by any
  // process) is a second old or more and a holder of the lock let go of it
  // since; at most one process or thread wins each turn. Takes no lock.
  // Every holder of the lock does this once it has let go of it, and the
  // worker thread on its own timer: a client without one that goes idle
  // leaves its last second of changes to the system's writeback. True when
  // this call synced.
  bool SyncIfDue();
  // The library's last step before Close: syncs both files and, when no
  // other holder of the lock came in meanwhile, marks the index stopped
  // cleanly and syncs again (see IndexFileHeader::StopGeneration). A
  // process still using the index and coming later undoes the mark before
  // it changes anything. True when the mark was set.
  bool MarkCleanStop();

  // True when this process opened the index after an unclean stop: the
  // machine restarted since the last process stamped the lookup table, and
  // the index was not marked stopped cleanly (or its lookup table, synced
  // with the mark, does not agree). Pages of both files may then be of
  // different ages. Decided at the first lock of this object, under the
  // lock, where AfterUncleanStop runs; each later process of this start of
  // the machine finds the table stamped and is not told again.
  bool OpenedAfterUncleanStop() const { return opened_after_unclean_stop_; }

  // Writes a text picture of the header and the valid list to `path`.
  // Nothing is written when the file cannot be opened.
  void DumpToFile(const char* path);

  // Releases the view, the mapping, the file and the lock. Idempotent.
  void Close();

  // Waits up to kIndexLockTimeoutMs for the machine-wide lock / releases
  // it. Lock is false, after a log line, when the time ran out; it throws
  // when the wait fails, and whatever way it leaves without the lock, the
  // lock is not held. The first holder after one that died undoes the
  // change it left half done (or finishes its rebuild) and checks the
  // lists. Unlock never throws.
  bool Lock();
  void Unlock() noexcept;

  // Direct access to the mapped records, for tests and tools.
  IndexFileHeader* header() { return header_; }
  ImageFileBlock* blocks() { return blocks_; }

  // Replaces the clock used for AccessTime and ages. Null restores the
  // system clock.
  void SetClockForTesting(int64_t (*clock)()) { clock_ = clock; }

  // Checks both lists and the totals under the lock and rebuilds them when
  // they are inconsistent. True when a rebuild was needed.
  bool CheckAndRepair();

  // ---- The cache's counters (see Counter), kept in the lookup table's
  // file; without one nothing is counted.

  // Without the lock: counts `n` registrations turned down (`full`: because
  // every block was in use and no entry could make room).
  void CountRefusedRegistrations(bool full, uint64_t n = 1) noexcept;
  // Zeroes the counters under the lock and notes when. False when there is
  // no lookup table file or the lock could not be had.
  bool ZeroCounters();

  // Rebuilds both lists from the blocks' seals under the lock, as after an
  // unclean stop: only blocks sealed as listed and whole, and named, stay
  // listed. False when the lock could not be had.
  bool RebuildAfterUncleanStop();

  // For tests: every repair of this process treats the index as opened
  // after an unclean stop (`unclean`), or uses the repair by links alone of
  // earlier releases (`chains`), for comparison.
  static void SetRepairForTesting(bool unclean, bool chains) {
    assume_unclean_stop_for_testing_ = unclean;
    use_chain_repair_for_testing_ = chains;
  }

  // ---- The agreement with the disk after a restart of the machine (see
  // LookupTable::ReconciliationPending); without a lookup table file it is
  // never pending.
  bool ReconciliationPending() const {
    return table_ != nullptr && table_->ReconciliationPending();
  }
  // Claims the reconciliation for this process (false: another one holds
  // it); the claim to give back is set in `*claim`.
  bool ClaimReconciliation(int64_t* claim) {
    return table_ != nullptr && table_->ClaimReconciliation(Now(), claim);
  }
  // Gives the claim back, recording this start of the machine as
  // reconciled when `finished`; unfinished, it is tried again once
  // LookupTable::kReconcileRetrySeconds have passed.
  void EndReconciliation(int64_t claim, bool finished) {
    if (table_ != nullptr) table_->EndReconciliation(claim, finished, Now());
  }

  // Makes the pass bounds beside the index invalid, so that the next pass
  // walks the list and takes them again: for bounds the list belies.
  void ForgetPassBounds();

  // ---- Entries the disk does not bear out (entry_repair.cc).
  //
  // One entry as a caller copied it from the valid list, with the proof
  // read in the same hold of the lock, and what to do with it: drop it (its
  // file is missing or not a regular file) or give it `new_size`, as the
  // caller saw the file after that hold, without the lock. `done` tells
  // afterwards whether it was done.
  struct EntryRepair {
    int32_t block = kNoBlock;
    char path[kFileNameSize] = {};  // terminated
    uint32_t file_size = 0;         // FileSize as copied
    int32_t access_time = 0;        // AccessTime as copied
    ChangeProof proof;              // read with the copy
    bool drop = false;
    uint32_t new_size = 0;  // when not dropped
    bool done = false;
  };
  // Under one hold of the lock, carries out each repair whose proof still
  // holds: the lookup table is in sync, in the epoch and with the
  // ListedMark of the proof, and the block's change stamp is the one read
  // with the copy, so no registration has come since the caller looked at
  // the file (a registration of the same path in the same second at the
  // same size included); the block still holds the copied path, AccessTime
  // and FileSize and sits on the valid list. A repair without a known proof
  // is left for the next check. A stale table is rebuilt (which voids every
  // proof read before), so that proofs read after this call hold. Each
  // change is recorded in the intent record first, so that a holder dying
  // mid-change leaves it undone, keeps the lookup table and the totals in
  // step, and gives the block a new stamp. False when the lock could not
  // be had (nothing done).
  bool RepairEntries(EntryRepair* repairs, size_t count);

 private:
  class Guard;
  class TableChange;
  // The two ends of one list in the header.
  struct Ends {
    int32_t* head;
    int32_t* tail;
  };

  int64_t Now() const;
  // Under the lock: adds to a counter, when there is a table file.
  void Count(Counter c, uint64_t n = 1) {
    if (table_ != nullptr) table_->Count(c, n);
  }
  // Takes the machine-wide lock itself (the waiter count kept); false after
  // a log line when it timed out. Throws when the wait fails.
  bool TakeMutex(platform::NamedMutex::LockResult* result);
  // Under the lock, in a holding that found the index marked stopped
  // cleanly: marks it in use (the table keeps agreeing with it when it
  // did).
  void MarkInUse();
  // Syncs both files; the files' own results, both tried.
  bool SyncFiles();
  // Under the first lock of this object, when the index was opened after
  // an unclean stop, before any lookup: both lists are rebuilt from the
  // blocks' seals (links stitched from pages of different ages prove
  // nothing), then the lookup table from the valid list (a table from
  // before the stop may hold entries of any age). `restart_possible`: the
  // system tells the start, so a restart is not ruled out; else unsealed
  // blocks the valid list's links prove are kept (see
  // RebuildListsFromContent).
  void AfterUncleanStop(bool restart_possible);
  // The listed block of `record`'s path, from the lookup table when it can
  // answer (rebuilt first when stale), else from a walk of the list.
  int32_t Find(const FileRecord& record);
  // Under the lock, before a pass deletes for size: proves that no path is
  // listed twice, cheaply from the lookup table's checks, or else by a
  // rebuild of the table, which compares every path; a path listed twice
  // is repaired at once (logged). False when the lists were repaired: the
  // pass decides again.
  bool ProveEachPathListedOnce();
  // Rebuilds the lookup table and seals both lists with the ListedMark (a
  // new one when the table file was made afresh or the index has none);
  // marks the index damaged when the lists do not hold together or list a
  // path twice.
  void RebuildTable();
  // Logs `why` (a whole line) and marks the lookup table stale, for the
  // next lookup or pass to rebuild it.
  void MarkTableStale(const char* why);
  // Chooses the next ListedMark (never 0).
  void RenewListedMark();
  bool MagicMatches() const;
  void FormatIfNeeded();
  bool ListsAreConsistent() const;
  void RepairIfDamaged(bool force_check);
  // After a holder died (or the reserved area is not at rest): finishes a
  // rebuild from its plan, or undoes the recorded list operation, then
  // checks the lists. Returns with the reserved area at rest.
  void Recover(bool holder_died);

  // The repair of lists that no longer hold together, or of any lists
  // after an unclean stop (list_repair.cc): rebuilds both lists from the
  // blocks' seals, in AccessTime order; outside an unclean stop it also
  // keeps unsealed blocks the valid list's links prove (see layout.h). No
  // disk I/O, bounded by the block count.
  void RebuildListsFromContent(bool after_unclean_stop);
  // Whether a repair now must treat the stop before as unclean.
  bool SealsOnly() const { return assume_unclean_stop_for_testing_ || recovering_unclean_stop_; }
  // The repair of earlier releases, by links alone: keeps what the links
  // prove, salvages named blocks whose files still exist, frees the rest,
  // through a plan kept in the blocks' reserved words. Only for tests that
  // compare the two (SetRepairForTesting).
  void RebuildListsFromChains();
  // Links the blocks of `valid` and `free_list`, each in its order, as the
  // two lists, and sets the ends and totals from them.
  void LinkInOrder(const std::vector<int32_t>& valid, const std::vector<int32_t>& free_list);
  // Seals every named block of the free list with the header's mark.
  void SealFreeList();
  // Finishes an earlier release's rebuild: links both lists as its plan
  // says; false (and nothing changed) when the plan does not describe
  // every block exactly once.
  bool RelinkFromPlan();
  void ClearPlan();
  // Under the lock: when another process cut the file short, grows it back,
  // maps it afresh and has the lists checked (sets damaged_). Asks the
  // system for the files' lengths only when `look_at_length`; otherwise
  // only a fault in a view counts.
  void RecoverTruncation(bool look_at_length);
  // Logs, before the format, that an existing file without the magic text
  // is about to be formatted (a new, empty file is not worth a line).
  void NoteForeignContent(const std::string& index_path);
  ImageFileBlock* Block(int32_t i) { return BlockInRange(i) ? &blocks_[i] : nullptr; }
  Ends ValidEnds() { return {&header_->FirstValidBlock, &header_->LastValidBlock}; }
  Ends FreeEnds() { return {&header_->FirstInvalidBlock, &header_->LastInvalidBlock}; }
  // Record in `change` every word that unlinking `i` from `from`, or linking
  // a block at the front or back of `to`, will store to.
  void SaveUnlink(IntentChange& change, Ends from, int32_t i);
  void SaveLink(IntentChange& change, Ends to, bool at_front);
  void Unlink(IntentChange& change, Ends from, int32_t i);
  void Link(IntentChange& change, Ends to, int32_t i, bool at_front);
  PassOutcome RunPass(PassGoal goal, const RemoveFileFn& remove, const PassProgressFn& progress,
                      uint32_t identity, const PassRequest* request = nullptr);
  // Between two batches of a pass: lets the processes waiting for the lock
  // have it first. A waiter that does not get in within kWaiterPatienceMs
  // (longer than a waiter sleeps between two tries of the lock)
  // is taken for one that died while counted, and not waited for again.
  void LetWaitersIn();
  static constexpr int kWaiterPatienceMs = 5;
  // Moves a listed block to the tail of the free list, totals included.
  void FreeBlock(int32_t i);
  // Walks the valid list from `from` (see WalkList), marking the index
  // damaged when the walk meets damage, and says how it ended.
  template <typename Visit>
  WalkEnd WalkValid(int32_t from, int32_t back, Toward toward, Visit visit) {
    const WalkResult r = WalkList(blocks_, from, back, toward, visit);
    if (r.damaged()) damaged_ = true;
    return r.end;
  }

  CacheSettings settings_;
  std::unique_ptr<platform::NamedMutex> mutex_;
  std::unique_ptr<platform::SharedFile> file_;
  IndexFileHeader* header_ = nullptr;
  ImageFileBlock* blocks_ = nullptr;
  std::unique_ptr<LookupTable> table_;
  // The table matches the lists; set at each lock, kept by every change.
  bool table_ok_ = false;
  // This process formatted the index when it opened it: the counters of
  // the index that was there before start again.
  bool formatted_ = false;
  int64_t (*clock_)() = nullptr;
  // Set by a walk that met a link out of range or a cycle; the lists are
  // rebuilt before the lock is released. Only touched under the lock.
  bool damaged_ = false;
  // Waiters counted in the table that never came in (see LetWaitersIn);
  // passes of several threads of the process read and lower it.
  std::atomic<int32_t> stuck_waiters_{0};
  // See OpenedAfterUncleanStop. The first lock of this object decides it.
  bool opened_after_unclean_stop_ = false;
  // Within the first lock after an unclean stop, until the lists are
  // rebuilt from the seals: every repair on the way (of a change a holder
  // left half done, of lists found damaged) keeps only sealed blocks, as
  // links stitched from pages of different ages prove nothing, and a block
  // kept for them would be sealed as listed for the rebuild that follows.
  bool recovering_unclean_stop_ = false;
  bool first_lock_ = true;
  // The holding of MarkCleanStop: it leaves a clean mark as it finds it
  // and does not count as a change to sync.
  bool stop_hold_ = false;
  // Set by a lock that repaired or recovered the lists: a change the sync
  // before it did not cover.
  bool changed_at_lock_ = false;
  // The last sync of this process, when there is no lookup table to share
  // it with others.
  std::atomic<int64_t> own_sync_time_{0};
  int32_t pass_batch_ = kPassBatch;
  int32_t pass_looks_ = kPassLooks;
  static bool assume_unclean_stop_for_testing_;
  static bool use_chain_repair_for_testing_;
};

// Holds the index lock for one operation, also when it throws. When the
// lock cannot be had in time, a guard made with kThrow throws OsError (the
// system's time-out code); one made with kReport is not held(), and the
// operation returns its failure value.
class IndexFile::Guard {
 public:
  enum OnTimeout { kThrow, kReport };
  explicit Guard(IndexFile& index, OnTimeout on_timeout = kThrow)
      : index_(index), held_(index_.Lock()) {
    if (!held_ && on_timeout == kThrow) {
      throw OsError(platform::kErrorTimedOut, "index lock");
    }
  }
  ~Guard() {
    if (held_) index_.Unlock();  // never throws
  }
  bool held() const { return held_; }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  IndexFile& index_;
  const bool held_;
};

}  // namespace stow
