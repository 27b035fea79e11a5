#include "index/index_file.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "config/log.h"
#include "index/block_seal.h"
#include "index/eviction_rule.h"
#include "index/intent_record.h"
#include "index/list_check.h"
#include "index/lookup.h"
#include "index/object_name.h"
#include "index/pass_bounds.h"
#include "stow_hooks.h"

namespace stow {

const char kIndexMagic[] = "Tessaron Stowmaster Index File v2.0 (DO NOT MODIFY THIS FILE!)\n\n";

IndexFile::IndexFile(const std::string& index_path, const CacheSettings& settings)
    : settings_(settings) {
  platform::env()
      .OpenNamedMutex(MakeObjectName(kMutexPrefix, index_path.c_str()), index_path, &mutex_)
      .ThrowIfFailed();
  platform::env()
      .OpenSharedFile(index_path, MakeObjectName(kMappingPrefix, index_path.c_str()),
                      kIndexFileSize, std::string(kIndexMagic, sizeof(kIndexMagic)), &file_)
      .ThrowIfFailed();
  header_ = reinterpret_cast<IndexFileHeader*>(file_->data());
  blocks_ = reinterpret_cast<ImageFileBlock*>(file_->data() + kHeaderRegionSize);
  NoteForeignContent(index_path);
  // The lookup table lies beside the index. Without it every lookup walks
  // the list: slower, never wrong. Opened before the first lock, which
  // reads in it how the index last stopped.
  const size_t cut = index_path.find_last_of(platform::kSeparator);
  const std::string table_path =
      index_path.substr(0, cut == std::string::npos ? 0 : cut + 1) + kLookupFileName;
  try {
    table_ = std::make_unique<LookupTable>(table_path);
  } catch (const OsError& e) {
    WriteLogBufferToFile("Lookup table unavailable, lookups walk the list: %s.\n", e.what());
  }
  FormatIfNeeded();
  if (formatted_ && table_ != nullptr) {
    // A new index: what was counted was the old one's, and it has nothing
    // to reconcile with the disk in this start of the machine.
    Guard guard(*this, Guard::kReport);
    if (guard.held()) {
      table_->RestartCounters(Now());
      table_->MarkReconciled();
    }
  }
}

IndexFile::~IndexFile() { Close(); }

void IndexFile::Close() {
  table_.reset();
  table_ok_ = false;
  header_ = nullptr;
  blocks_ = nullptr;
  file_.reset();
  mutex_.reset();
}

int64_t IndexFile::Now() const {
  return clock_ != nullptr ? clock_() : platform::env().NowSeconds();
}

bool HasIndexMagic(const IndexFileHeader& h) {
  return std::memcmp(h.Magic, kIndexMagic, sizeof(kIndexMagic)) == 0;
}

bool IndexFile::MagicMatches() const { return HasIndexMagic(*header_); }

// --------------------------------------------------------- the lock ---

bool IndexFile::TakeMutex(platform::NamedMutex::LockResult* result) {
  // Counted while waiting, so that a pass that lets go of the lock between
  // batches can let this holder in first.
  if (table_ != nullptr) table_->AddWaiter(1);
  try {
    mutex_->Lock(kIndexLockTimeoutMs, result).ThrowIfFailed();
  } catch (...) {
    if (table_ != nullptr) table_->AddWaiter(-1);
    throw;
  }
  if (table_ != nullptr) table_->AddWaiter(-1);
  if (*result == platform::NamedMutex::LockResult::kTimedOut) {
    WriteLogBufferToFile("The index lock was not released by its holder within %d seconds.\n",
                         static_cast<int>(kIndexLockTimeoutMs / 1000));
    return false;
  }
  return true;
}

bool IndexFile::Lock() {
  const bool first = first_lock_;
  first_lock_ = false;
  bool unclean = false;
  bool restart_possible = false;
  changed_at_lock_ = false;
  // A holder that finds the index marked stopped cleanly marks it in use
  // and syncs that, without the lock, before anything changes; another
  // process stopping meanwhile may mark it clean again, so this is tried a
  // few times, and then synced under the lock (only ever after that many
  // stops within one lock).
  constexpr int kSyncedMarkTries = 4;
  for (int tries = 1;; ++tries) {
    platform::NamedMutex::LockResult result;
    if (!TakeMutex(&result)) return false;
    try {
      RecoverTruncation(true);
      if (!MagicMatches()) return true;  // about to be formatted
      if (first && tries == 1) {
        // How the index last stopped, before this process changes it. A
        // table stamped in this start of the machine means nothing was
        // lost to a restart; else a clean mark, which the table synced
        // with it must confirm.
        const bool same_start = table_ != nullptr && table_->WrittenInThisBoot();
        const bool clean = MarkedClean(header_->StopGeneration) && table_ != nullptr &&
                           table_->StampedWith(*header_);
        unclean = !same_start && !clean;
        // Where the system tells the start, a stop the table does not place
        // in this start is taken for one across a restart (the table may
        // itself be lost to the cut). Where it does not, every first open
        // is unclean, and nothing says the pages are of different ages.
        restart_possible = unclean && table_ != nullptr && table_->BootKnown();
      }
      if (MarkedClean(header_->StopGeneration) && !stop_hold_) {
        MarkInUse();
        if (tries < kSyncedMarkTries) {
          mutex_->Unlock();
          SyncFiles();
          continue;
        }
        SyncFiles();
      }
      // A marker still set means the last holder died before it finished; a
      // reserved area not at rest is looked at in any case. After an
      // unclean stop its header may be of another moment than its blocks:
      // what is repaired on the way keeps only sealed blocks, as the
      // rebuild after it does (an index last kept by a release that seals
      // nothing is trusted as far as its links prove it, there as here, and
      // so is every index where the system does not tell the start).
      recovering_unclean_stop_ = restart_possible && header_->StopGeneration != 0;
      const bool died =
          result == platform::NamedMutex::LockResult::kAbandoned || header_->LockMarker != 0;
      if (died || header_->IntentKind != 0 || header_->IntentCount != 0 ||
          header_->RebuildState != 0) {
        Recover(died);
        changed_at_lock_ = true;
      } else if (damaged_) {
        RepairIfDamaged(false);
        changed_at_lock_ = true;
      }
      header_->LockMarker = 1;
      table_ok_ = table_ != nullptr && table_->InSync(*header_);
      // A table file made afresh: the counters start now (no clock read on
      // the way of every other lock).
      if (table_ != nullptr && !table_->CountingStartKnown()) table_->NoteCountingStart(Now());
      if (unclean) {
        opened_after_unclean_stop_ = true;
        changed_at_lock_ = true;
        AfterUncleanStop(restart_possible);
      }
      recovering_unclean_stop_ = false;
    } catch (...) {
      recovering_unclean_stop_ = false;
      // The lock is never kept by an operation that did not start.
      mutex_->Unlock();
      throw;
    }
    return true;
  }
}

void IndexFile::Unlock() noexcept {
  bool repaired = true;
  try {
    // The lengths were looked at when the lock was taken: a cut since then
    // matters only where this holding met it, which the fault flags tell.
    RecoverTruncation(false);
    if (damaged_) RepairIfDamaged(false);
  } catch (...) {
    // Out of memory in the middle of a repair: the marker stays set, so the
    // next holder checks the lists again.
    repaired = false;
    damaged_ = false;
  }
  if (repaired) header_->LockMarker = 0;
  // Said before the lock is let go, so that a clean stop that comes next
  // knows that this holding's changes may not be on the disk.
  if (table_ != nullptr && !stop_hold_) table_->NoteUnsynced();
  mutex_->Unlock();
  if (!stop_hold_) SyncIfDue();
}

void IndexFile::MarkInUse() {
  const bool stamped = table_ != nullptr && table_->StampedWith(*header_);
  if (stamped) table_->Begin();
  header_->StopGeneration = InUseAfter(header_->StopGeneration);
  if (stamped) table_->End(*header_);
}

void IndexFile::AfterUncleanStop(bool restart_possible) {
  if (restart_possible) {
    WriteLogBufferToFile(
        "The index was not stopped cleanly before the machine last started: pages of the index "
        "and of its lookup table may be of different ages; the lists are rebuilt from the "
        "blocks' seals and the lookup table from the lists.\n");
  } else {
    WriteLogBufferToFile(
        "The index was not stopped cleanly and the system does not tell whether the machine "
        "restarted since: the lists are rebuilt from the blocks' seals, keeping the unsealed "
        "entries their links prove, and the lookup table from the lists.\n");
  }
  if (header_->StopGeneration != 0) {
    // Links stitched from pages of different ages prove nothing: membership
    // is taken from each block's own seal, before any lookup. Where the
    // system does not tell the start (every first open is then taken for
    // an unclean stop), a block that an earlier release wrote without a
    // seal is kept where the valid list's links prove it, as a repair within
    // one start keeps it; a block with a free seal stays free either way.
    RebuildListsFromContent(restart_possible);
  } else if (table_ != nullptr) {
    // Last kept by a release that seals nothing: no block could pass, so
    // the lists are trusted as far as the check proves them, as that
    // release trusted them. The table's rebuild seals both lists, and from
    // then on the index is in use under seals.
    header_->StopGeneration = InUseAfter(CleanAfter(0));
  }
  if (table_ == nullptr) return;
  RebuildTable();
}

void IndexFile::Recover(bool holder_died) {
  switch (header_->RebuildState) {
    case kRebuildNone:
      break;
    case kRebuildRelinking:
      // An earlier release's plan was complete: finish linking from it. An
      // invalid plan is dropped and the lists are checked and rebuilt
      // afresh below.
      if (holder_died && RelinkFromPlan()) break;
      ClearPlan();
      break;
    case kRebuildFromContent:
      // The seals were written before the links: the same lists again.
      RebuildListsFromContent(SealsOnly());
      break;
    default:  // planning (links untouched), clearing (links done), or junk
      ClearPlan();
      break;
  }
  if (holder_died && header_->IntentKind != kIntentNone) {
    UndoIntent(*header_);
    // An undone change moved blocks back without new stamps.
    if (table_ != nullptr) table_->Begin();
  }
  ClearIntent(*header_);
  damaged_ = false;
  RepairIfDamaged(true);
}

// --------------------------------------------------- a file cut short ---

void IndexFile::RecoverTruncation(bool look_at_length) {
  if (table_ != nullptr && table_->RecoverTruncation(look_at_length)) {
    table_ok_ = false;
    WriteLogBufferToFile("Lookup table was truncated by another process and is rebuilt.\n");
  }
  if (!file_->CheckTruncated(look_at_length)) return;
  const bool restored = file_->Restore();
  WriteLogBufferToFile(restored ? "Index file was truncated by another process; its length is "
                                  "restored and its lists are checked.\n"
                                : "Index file was truncated by another process and cannot be "
                                  "grown back.\n");
  if (!restored) return;
  if (!MagicMatches()) {
    // The header itself was cut off: nothing says which blocks were listed,
    // so every block goes to the free list.
    std::memcpy(header_->Magic, kIndexMagic, sizeof(kIndexMagic));
    header_->FirstValidBlock = kNoBlock;
    header_->LastValidBlock = kNoBlock;
    header_->FirstInvalidBlock = kNoBlock;
    header_->LastInvalidBlock = kNoBlock;
  }
  damaged_ = true;
}

void IndexFile::NoteForeignContent(const std::string& index_path) {
  // Read without the lock: at worst a file that another process is just
  // formatting is named here once.
  if (MagicMatches()) return;
  bool empty = true;
  for (size_t i = 0; i < sizeof(header_->Magic) && empty; ++i) empty = header_->Magic[i] == 0;
  if (empty) return;  // a new file
  WriteLogBufferToFile("Index file does not carry the index header and is formatted: %s.\n",
                       index_path.c_str());
}

void IndexFile::RepairIfDamaged(bool force_check) {
  bool rebuild = damaged_;
  if (!rebuild && force_check) rebuild = !ListsAreConsistent();
  damaged_ = false;
  if (!rebuild) return;
  // Blocks change places without their stamps: the table and what it
  // proves are rebuilt before they are used again.
  if (table_ != nullptr) table_->Begin();
  table_ok_ = false;
  RebuildListsFromContent(SealsOnly());
}

bool IndexFile::RebuildAfterUncleanStop() {
  if (header_ == nullptr) return false;
  Guard guard(*this, Guard::kReport);
  if (!guard.held()) return false;
  RebuildListsFromContent(true);
  return true;
}

bool IndexFile::CheckAndRepair() {
  Guard guard(*this);
  if (ListsAreConsistent()) return false;
  damaged_ = true;
  return true;
}

void IndexFile::CountRefusedRegistrations(bool full, uint64_t n) noexcept {
  if (table_ == nullptr) return;
  table_->CountUnlocked(Counter::kRefused, n);
  if (full) table_->CountUnlocked(Counter::kFullRefusals, n);
}

bool IndexFile::ZeroCounters() {
  if (header_ == nullptr || table_ == nullptr) return false;
  Guard guard(*this, Guard::kReport);
  if (!guard.held()) return false;
  table_->ZeroCounters(Now());
  return true;
}

void IndexFile::ForgetPassBounds() {
  Guard guard(*this);
  if (guard.held() && table_ != nullptr) table_->InvalidateBounds();
}

void IndexFile::FormatIfNeeded() {
  Guard guard(*this);
  if (MagicMatches()) {
    // An index in use already: check it once on open, since a damaged file
    // keeps its magic text.
    if (!ListsAreConsistent()) damaged_ = true;
    return;
  }
  // The magic text goes in last, so that a process that dies while
  // formatting leaves a file that the next one formats again.
  formatted_ = true;
  std::memset(file_->data(), 0, kIndexFileSize);
  header_->CacheSize = 0;
  header_->ImageFileBlockOffset = kHeaderRegionSize;
  header_->ImageFileBlockNum = kBlockCount;
  header_->FirstValidBlock = kNoBlock;
  header_->LastValidBlock = kNoBlock;
  // Every block joins the free list in order, as appending them one by one
  // at its tail would leave them.
  for (int32_t i = 0; i < kBlockCount; ++i) {
    blocks_[i].LeftNode = i - 1;
    blocks_[i].RightNode = i + 1 < kBlockCount ? i + 1 : kNoBlock;
    if (i == kBlockCount / 2) hooks::CrashPoint();
  }
  header_->FirstInvalidBlock = 0;
  header_->LastInvalidBlock = kBlockCount - 1;
  header_->StopGeneration = InUseAfter(CleanAfter(0));  // in use
  hooks::CrashPoint();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(header_->Magic, kIndexMagic, sizeof(kIndexMagic));
}

// Maintains the lookup table around one change of the lists: marks it
// stale first, stamps it with the header after.
class IndexFile::TableChange {
 public:
  explicit TableChange(IndexFile& index) : index_(index) {
    if (index_.table_ok_) index_.table_->Begin();
  }
  ~TableChange() {
    if (index_.table_ok_) index_.table_->End(*index_.header_);
  }
  TableChange(const TableChange&) = delete;
  TableChange& operator=(const TableChange&) = delete;

 private:
  IndexFile& index_;
};

// ------------------------------------------------------------- the lists ---

void IndexFile::SaveUnlink(IntentChange& change, Ends from, int32_t i) {
  change.Save(from.head);
  change.Save(from.tail);
  ImageFileBlock& b = blocks_[i];
  change.Save(&b.LeftNode);
  change.Save(&b.RightNode);
  if (ImageFileBlock* prev = Block(b.LeftNode)) change.Save(&prev->RightNode);
  if (ImageFileBlock* next = Block(b.RightNode)) change.Save(&next->LeftNode);
}

void IndexFile::SaveLink(IntentChange& change, Ends to, bool at_front) {
  change.Save(to.head);
  change.Save(to.tail);
  const int32_t end = at_front ? *to.head : *to.tail;
  if (ImageFileBlock* old = Block(end)) {
    change.Save(at_front ? &old->LeftNode : &old->RightNode);
  }
}

void IndexFile::Unlink(IntentChange& change, Ends from, int32_t i) {
  ImageFileBlock& b = blocks_[i];
  const int32_t left = b.LeftNode;
  const int32_t right = b.RightNode;
  if (i == *from.head) {
    change.Set(*from.head, right);
    if (right == kNoBlock) {
      change.Set(*from.tail, kNoBlock);
    } else if (ImageFileBlock* next = Block(right)) {
      change.Set(next->LeftNode, kNoBlock);
    }
  } else {
    if (ImageFileBlock* prev = Block(left)) change.Set(prev->RightNode, right);
    if (right == kNoBlock) {
      change.Set(*from.tail, left);
    } else if (ImageFileBlock* next = Block(right)) {
      change.Set(next->LeftNode, left);
    }
  }
  change.Set(b.LeftNode, kNoBlock);
  change.Set(b.RightNode, kNoBlock);
}

void IndexFile::Link(IntentChange& change, Ends to, int32_t i, bool at_front) {
  ImageFileBlock& b = blocks_[i];
  if (at_front) {
    const int32_t head = *to.head;
    change.Set(b.RightNode, head);
    change.Set(b.LeftNode, kNoBlock);
    if (head == kNoBlock) {
      change.Set(*to.tail, i);
    } else if (ImageFileBlock* old = Block(head)) {
      change.Set(old->LeftNode, i);
    }
    change.Set(*to.head, i);
  } else {
    const int32_t tail = *to.tail;
    change.Set(b.RightNode, kNoBlock);
    change.Set(b.LeftNode, tail);
    if (tail == kNoBlock) {
      change.Set(*to.head, i);
    } else if (ImageFileBlock* old = Block(tail)) {
      change.Set(old->RightNode, i);
    }
    change.Set(*to.tail, i);
  }
}

void IndexFile::FreeBlock(int32_t i) {
  ImageFileBlock& b = blocks_[i];
  TableChange table_change(*this);
  if (table_ok_) {
    table_->Erase(StoredName(b).text, i);
    table_->Touch(i);
  }
  IntentChange change(*header_, kIntentFree, i);
  SaveUnlink(change, ValidEnds(), i);
  SaveLink(change, FreeEnds(), false);
  change.Save(&header_->CacheSize);
  change.Save(&header_->TotalFileCount);
  change.Save(&b.Reserved);
  change.Begin();
  // Off the valid list: the free seal goes first.
  change.Set(b.Reserved, FreeSeal(header_->ListedMark, b));
  change.Set(header_->CacheSize, header_->CacheSize - static_cast<int64_t>(b.FileSize));
  change.Set(header_->TotalFileCount, header_->TotalFileCount - 1);
  Unlink(change, ValidEnds(), i);
  Link(change, FreeEnds(), i, false);
}

bool IndexFile::ListsAreConsistent() const {
  ListReport report;
  return CheckLists(*header_, blocks_, &report);
}

// ------------------------------------------------------------ operations ---

void IndexFile::RenewListedMark() {
  uint32_t mark = header_->ListedMark + 1;
  if (header_->ListedMark == 0) {
    // The first mark of an index: from the clock, so that a lookup table
    // left from another index is unlikely to carry it.
    const uint64_t t =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<uint64_t>(platform::env().NowSeconds()) * 0x9E3779B97F4A7C15ull;
    mark = static_cast<uint32_t>(t ^ (t >> 32));
  }
  header_->ListedMark = mark == 0 ? 1 : mark;
}

void IndexFile::RebuildTable() {
  // A table built before and found stale is worth a line; the first build
  // in a new file is not.
  const bool stale = table_->Formatted();
  // A new mark only with a table file whose epochs and change stamps start
  // afresh (made, or found blank): a change proof read with the table it
  // replaces then fails on the mark. A stale table of this file keeps
  // counting its epochs, so its rebuild keeps the mark, and seals only the
  // blocks that do not carry it yet instead of writing every block (which
  // cost a table rebuild most of its time and dirtied every page of the
  // index for the next sync).
  if (!stale || header_->ListedMark == 0) RenewListedMark();
  const int32_t entries = table_->Rebuild(*header_, blocks_);
  if (entries >= 0) {
    // The valid list is sealed with the mark by the table's rebuild; the
    // free list is too, so that a listed seal left on a block freed by a
    // writer that keeps no seals stops counting.
    SealFreeList();
    table_ok_ = true;
    if (stale) WriteLogBufferToFile("Lookup table rebuilt: %d entries.\n", entries);
  } else {
    // Lists that do not hold together or list a path twice: repaired
    // before the lock is let go.
    damaged_ = true;
  }
}

void IndexFile::MarkTableStale(const char* why) {
  WriteLogBufferToFile("%s", why);
  table_->Begin();
  table_ok_ = false;
}

bool IndexFile::ProveEachPathListedOnce() {
  // Without a table every lookup walks the list, and a walk's "absent" is
  // proved; only a damaged index lists a path twice, which the check at
  // open and every rebuild of the table meet.
  if (table_ == nullptr) return true;
  if (table_ok_ && table_->ProvesEachPathOnce(*header_)) return true;
  if (table_ok_) {
    MarkTableStale(
        "Lookup table does not match its checks before a pass deletes for size and is "
        "rebuilt.\n");
  }
  // The rebuild compares every listed path.
  RebuildTable();
  if (!damaged_) return true;
  WriteLogBufferToFile(
      "A pass about to delete for size found the lists damaged or a path listed twice; they "
      "are repaired first.\n");
  RepairIfDamaged(false);
  RebuildTable();
  return false;
}

int32_t IndexFile::Find(const FileRecord& record) {
  // A table that named what the index does not prove is rebuilt and asked
  // once more.
  for (int attempt = 0; table_ != nullptr && attempt < 2; ++attempt) {
    if (!table_ok_) RebuildTable();
    if (!table_ok_) break;
    int32_t block = kNoBlock;
    switch (table_->Find(*header_, blocks_, record.ImageFileName, &block)) {
      case LookupTable::Answer::kFound:
        return block;
      case LookupTable::Answer::kAbsent:
        return kNoBlock;
      case LookupTable::Answer::kListedTwice:
        // The walk answers with the first; the lists are repaired before
        // the lock is let go.
        damaged_ = true;
        return FindListed(*header_, blocks_, record, &damaged_);
      case LookupTable::Answer::kCrowded:
        // A path whose home slot is crowded may be left out of the table:
        // the walk decides.
        return FindListed(*header_, blocks_, record, &damaged_);
      case LookupTable::Answer::kDamaged:
        MarkTableStale(
            "Lookup table named a block the index does not list for that path and is "
            "rebuilt.\n");
        break;
      case LookupTable::Answer::kUnproven:
        MarkTableStale(
            "Lookup table slots do not match their checks (zeroed or overwritten) and the "
            "table is rebuilt.\n");
        break;
    }
  }
  return FindListed(*header_, blocks_, record, &damaged_);
}

bool IndexFile::AddFile(const FileRecord& record, uint32_t delay) {
  if (header_ == nullptr) return false;
  Guard guard(*this, Guard::kReport);
  if (!guard.held()) return false;
  const int64_t clock = Now();
  const int32_t now = static_cast<int32_t>(clock);
  const int32_t found = Find(record);
  TableChange table_change(*this);
  if (found != kNoBlock) {
    // A refresh: the entry moves to the head with a new time and keeps its
    // own delay; a file rewritten at another size takes the new size.
    ImageFileBlock& b = blocks_[found];
    if (table_ok_) {
      table_->Touch(found);
      table_->LowerBounds(clock, b.Delay);
    }
    const bool resized = b.FileSize != record.FileSize;
    IntentChange change(*header_, resized ? kIntentResize : kIntentRefresh, found);
    SaveUnlink(change, ValidEnds(), found);
    SaveLink(change, ValidEnds(), true);
    change.Save(&b.AccessTime);
    if (resized) {
      change.Save(&b.FileSize);
      change.Save(&b.Reserved);
      change.Save(&header_->CacheSize);
    }
    change.Begin();
    change.Set(b.AccessTime, now);
    if (resized) {
      change.Set(header_->CacheSize, header_->CacheSize - static_cast<int64_t>(b.FileSize) +
                                         static_cast<int64_t>(record.FileSize));
      change.Set(b.FileSize, record.FileSize);
      // The seal follows the size it covers; a refresh leaves it alone, as
      // the time is not sealed.
      change.Set(b.Reserved, ListedSeal(header_->ListedMark, b));
    }
    Unlink(change, ValidEnds(), found);
    Link(change, ValidEnds(), found, true);
    Count(Counter::kRefreshed);
    return true;
  }
  const int32_t i = header_->FirstInvalidBlock;
  if (i == kNoBlock) return false;
  if (Block(i) == nullptr) {
    damaged_ = true;
    return false;
  }
  ImageFileBlock& b = blocks_[i];
  IntentChange change(*header_, kIntentAllocate, i);
  SaveUnlink(change, FreeEnds(), i);
  SaveLink(change, ValidEnds(), true);
  change.Save(&b.FileSize);
  change.Save(&b.AccessTime);
  change.Save(&b.Delay);
  change.Save(&b.Reserved);
  change.Save(&header_->CacheSize);
  change.Save(&header_->TotalFileCount);
  change.Begin();
  Unlink(change, FreeEnds(), i);
  Link(change, ValidEnds(), i, true);
  if (table_ok_) {
    if (table_->Insert(blocks_, record.ImageFileName, i)) {
      table_->Touch(i);
      table_->LowerBounds(clock, delay);
    } else {
      // No room, or an entry the lookup did not find: a damaged table,
      // left stale for the next lookup to rebuild.
      table_ok_ = false;
    }
  }
  // The name is not saved: a block that an undo puts back on the free list
  // may keep any name. Its word, restored, is then the free seal of the old
  // content, which the new name fails: unproven, as a free block may be.
  std::memcpy(b.ImageFileName, record.ImageFileName, kFileNameSize);
  hooks::CrashPoint();
  change.Set(b.FileSize, record.FileSize);
  change.Set(b.Delay, static_cast<int64_t>(delay));
  change.Set(b.AccessTime, now);
  // On the valid list and whole: the seal goes last, over the new content.
  change.Set(b.Reserved, ListedSeal(header_->ListedMark, b));
  change.Set(header_->CacheSize, header_->CacheSize + static_cast<int64_t>(record.FileSize));
  change.Set(header_->TotalFileCount, header_->TotalFileCount + 1);
  Count(Counter::kRegisteredNew);
  return true;
}

namespace {

// Calls `remove` for block `i` within the limits of `batch`: false when the
// batch is used up (the block is left for the next one).
template <typename Free>
bool RemoveInBatch(const ImageFileBlock& b, int32_t i, const RemoveFileFn& remove,
                   const PassBatch& batch, int32_t* skip, PassOutcome* out, Free free_block) {
  if (batch.max_calls > 0 && out->freed + out->kept >= batch.max_calls) {
    out->more = true;
    return false;
  }
  if (*skip > 0) {
    --*skip;
    return true;
  }
  const uint32_t size = b.FileSize;
  if (remove(StoredName(b).text)) {
    free_block(i);
    out->freed += 1;
    out->freed_bytes += size;
  } else {
    out->kept += 1;
    out->kept_bytes += size;
  }
  return true;
}

}  // namespace

PassOutcome IndexFile::RemoveAll(const RemoveFileFn& remove, const PassBatch& batch) {
  PassOutcome out;
  if (header_ == nullptr) return out;
  Guard guard(*this, Guard::kReport);
  if (!guard.held()) return out;
  int32_t skip = batch.skip;
  WalkValid(header_->FirstValidBlock, kNoBlock, Toward::kTail, [&](int32_t i) {
    return RemoveInBatch(blocks_[i], i, remove, batch, &skip, &out,
                         [this](int32_t k) { FreeBlock(k); });
  });
  // Each entry is tried once per batch: the kept ones are passed over by
  // the next batches.
  Count(Counter::kEmptiedFiles, static_cast<uint64_t>(out.freed));
  Count(Counter::kEmptiedBytes, static_cast<uint64_t>(out.freed_bytes));
  Count(Counter::kDeletionsRefused, static_cast<uint64_t>(out.kept));
  return out;
}

PassOutcome IndexFile::ShrinkCache(const RemoveFileFn& remove, const PassProgressFn& progress,
                                   uint32_t identity) {
  return RunPass(PassGoal::kLowMark, remove, progress, identity);
}

PassOutcome IndexFile::MakeRoom(const RemoveFileFn& remove, uint32_t identity) {
  return RunPass(PassGoal::kRoom, remove, nullptr, identity);
}

PassOutcome IndexFile::RunRequest(const RemoveFileFn& remove, const PassRequest& request,
                                  uint32_t identity) {
  return RunPass(request.older_than > 0 ? PassGoal::kOlderThan : PassGoal::kLowMark, remove,
                 nullptr, identity, &request);
}

bool IndexFile::Full() const {
  if (header_ == nullptr) return false;
  static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t), "lock-free word");
  return reinterpret_cast<const std::atomic<int32_t>*>(&header_->FirstInvalidBlock)
             ->load(std::memory_order_relaxed) == kNoBlock;
}

namespace {

// An entry a pass looked at and kept, with what proves later that it is
// still where the pass left it.
struct KeptEntry {
  int32_t block;
  uint32_t stamp;
  int32_t access;
};

}  // namespace

PassOutcome IndexFile::RunPass(PassGoal goal, const RemoveFileFn& remove,
                               const PassProgressFn& progress, uint32_t identity,
                               const PassRequest* request) {
  PassOutcome out;
  if (header_ == nullptr) return out;
  const PassMarks marks(settings_);
  const bool by_age = goal == PassGoal::kOlderThan;
  const int64_t older_than = request != nullptr ? request->older_than : 0;
  if (by_age && older_than <= 0) return out;
  const auto reached = [&] {
    switch (goal) {
      case PassGoal::kRoom:
        return kBlockCount - header_->TotalFileCount >= kRoomTarget;
      case PassGoal::kOlderThan:
        return false;  // every entry is looked at
      case PassGoal::kLowMark:
        break;
    }
    return marks.Done(header_->CacheSize);
  };
  // The entries kept so far, from the tail on. After the lock was let go
  // the pass goes on before the newest of them whose stamp is unchanged:
  // that block is still on the valid list in its place, every entry behind
  // it was looked at, and every entry before it was not, or was registered
  // since. Entries whose stamps changed (registered again, or deleted by
  // another pass) are dropped for good, so that resuming costs O(1)
  // amortised however often others change the list between batches.
  std::vector<KeptEntry> kept;
  uint32_t epoch = 0;
  // Without that proof (the table went stale: a holder died, the lists
  // were repaired, a process of another release changed them) the pass
  // starts again from the tail, passing over the entries it kept, known by
  // block and registration time; it then takes no bounds.
  bool proved = false;
  std::unordered_map<int32_t, int32_t> passed;
  BoundsBuilder bounds(settings_.Delay, 0);
  for (bool first = true;; first = false) {
    bool more = false;
    {
      Guard guard(*this, Guard::kReport);
      if (!guard.held()) return out;  // the pass is skipped, or its rest
      int32_t from = header_->LastValidBlock;
      int32_t back = kNoBlock;
      if (first) {
        if (goal == PassGoal::kLowMark
                ? !marks.Starts(header_->CacheSize)
                : goal == PassGoal::kRoom && header_->FirstInvalidBlock != kNoBlock) {
          return out;
        }
        // The bounds leave out entries refused within their back-off, which
        // the pass by age tries again.
        const int32_t tail = header_->LastValidBlock;
        if (!by_age && table_ok_ &&
            PassSkipped(table_->Bounds(), settings_, identity, Now(), Block(tail),
                        BlockInRange(tail) ? &table_->Note(tail) : nullptr)) {
          KeptBySkip(table_->Bounds(), identity, &out.kept, &out.kept_bytes);
          return out;
        }
        // A path listed twice counts its bytes twice: a pass for size would
        // delete files for bytes that are not in use. Proved first, and
        // decided again after a repair.
        if (!by_age && !ProveEachPathListedOnce() &&
            (goal == PassGoal::kLowMark ? !marks.Starts(header_->CacheSize)
                                        : header_->FirstInvalidBlock != kNoBlock)) {
          return out;
        }
        // From here the pass looks at the list.
        Count(Counter::kPasses);
        proved = table_ok_;
        epoch = proved ? table_->Epoch() : 0;
        bounds = BoundsBuilder(settings_.Delay, Now());
      } else if (proved && table_ok_ && table_->Epoch() == epoch) {
        while (!kept.empty() && table_->Stamp(kept.back().block) != kept.back().stamp) {
          kept.pop_back();
        }
        if (!kept.empty()) {
          back = kept.back().block;
          from = blocks_[back].LeftNode;
        }
      } else if (proved) {
        proved = false;
        for (const KeptEntry& k : kept) passed[k.block] = k.access;
      }
      int32_t removals = 0;
      int32_t looks = 0;
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kPassHoldUs);
      const auto visit = [&](int32_t i) {
        if (reached()) return false;
        const ImageFileBlock& b = blocks_[i];
        if (!proved) {
          const auto it = passed.find(i);
          if (it != passed.end() && it->second == b.AccessTime) return true;
        }
        if (removals >= pass_batch_ || looks >= pass_looks_ ||
            (looks > 0 && looks % 64 == 0 && std::chrono::steady_clock::now() >= until) ||
            (removals > 0 && std::chrono::steady_clock::now() >= until)) {
          more = true;  // the rest after the others have had the lock
          return false;
        }
        ++looks;
        ++out.looked_at;
        const int64_t now = Now();
        const uint32_t size = b.FileSize;
        int64_t wait = 0;
        // Notes outlive a stale table: each names the registration it is
        // about.
        PassAction action = ActionFor(b, table_ != nullptr ? &table_->Note(i) : nullptr, settings_,
                                      identity, now, &wait);
        // By age: the entries old enough are tried whatever their back-off;
        // the others are kept as too young (`wait` still tells the bounds
        // of a refusal that holds for them).
        if (by_age) {
          action =
              OlderThanDue(b, settings_, older_than, now) ? PassAction::kTry : PassAction::kYoung;
        }
        if (action != PassAction::kYoung) {
          if (action == PassAction::kTry) {
            ++removals;
            if (remove(StoredName(b).text)) {
              if (request != nullptr && request->deleted) request->deleted(i, b);
              FreeBlock(i);
              out.freed += 1;
              out.freed_bytes += size;
              Count(Counter::kPassFiles);
              Count(Counter::kPassBytes, size);
              return true;
            }
            Count(Counter::kDeletionsRefused);
            if (table_ != nullptr && identity != 0) {
              BlockNote& note = table_->Note(i);
              note = RefusalNote(note, b, identity, now);
              wait = note.Backoff;
            }
          }
          out.kept += 1;
          out.kept_bytes += size;
        }
        bounds.Add(b, now, identity, wait);
        kept.push_back({i, table_ok_ ? table_->Stamp(i) : 0u, b.AccessTime});
        if (!proved) passed[i] = b.AccessTime;
        return true;
      };
      const WalkEnd end =
          from == kNoBlock ? WalkEnd::kEnd : WalkValid(from, back, Toward::kHead, visit);
      // A walk that reached the head looked at every entry still listed:
      // its bounds hold for the whole list.
      if (end == WalkEnd::kEnd && proved && table_ok_ && table_->Epoch() == epoch) {
        table_->SetBounds(bounds.Finish());
      }
    }
    if (!more) return out;
    // Between batches, without the lock.
    if (progress) progress(out);
    if (request != nullptr && request->between && !request->between(out)) return out;
    LetWaitersIn();
  }
}

void IndexFile::LetWaitersIn() {
  // The lock is not fair: taken again at once, it would mostly go to this
  // thread again. Wait until every process that was waiting has had its
  // turn, but not for waiters that were counted and never came in (killed
  // while waiting): the count only tells who may still come.
  if (table_ == nullptr) return;
  int32_t waiting = table_->Waiters();
  if (waiting < stuck_waiters_) stuck_waiters_ = waiting < 0 ? 0 : waiting;
  if (waiting <= stuck_waiters_) return;
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaiterPatienceMs);
  for (;;) {
    platform::env().SleepMs(0);
    waiting = table_->Waiters();
    if (waiting <= stuck_waiters_) return;
    if (std::chrono::steady_clock::now() >= give_up) {
      stuck_waiters_ = waiting;
      return;
    }
  }
}

bool IndexFile::SyncFiles() {
  const bool index_synced = file_ != nullptr && file_->Flush();
  const bool table_synced = table_ == nullptr || table_->Flush();
  return index_synced && table_synced;
}

bool IndexFile::Flush() {
  if (file_ == nullptr) return false;
  const int64_t now = platform::env().NowSeconds();
  if (table_ != nullptr) {
    table_->ClaimSync(now, true);
  } else {
    own_sync_time_.store(now);
  }
  return SyncFiles();
}

bool IndexFile::SyncIfDue() {
  if (file_ == nullptr) return false;
  const int64_t now = platform::env().NowSeconds();
  if (table_ != nullptr) {
    if (!table_->ClaimSync(now, false)) return false;
  } else {
    // Alone: this process's own rhythm.
    int64_t last = own_sync_time_.load();
    if (last <= now && last > now - LookupTable::kSyncPeriodSeconds) return false;
    if (!own_sync_time_.compare_exchange_strong(last, now)) return false;
  }
  SyncFiles();
  return true;
}

bool IndexFile::MarkCleanStop() {
  if (header_ == nullptr) return false;
  Flush();
  // Without the table nothing tells whether another holder came in since
  // the sync, and nothing confirms a mark at the next start.
  if (table_ == nullptr) return false;
  bool marked = false;
  stop_hold_ = true;
  try {
    Guard guard(*this, Guard::kReport);
    // Only a table that agrees with the lists can confirm the mark at the
    // next start; without one the index is left in use (the next start
    // repairs what it need not: the safe side).
    if (guard.held() && !changed_at_lock_ && !damaged_ && !table_->Unsynced() &&
        !MarkedClean(header_->StopGeneration) && table_->StampedWith(*header_)) {
      table_->Begin();
      header_->StopGeneration = CleanAfter(header_->StopGeneration);
      table_->End(*header_);
      marked = true;
    }
  } catch (...) {
    stop_hold_ = false;
    throw;
  }
  stop_hold_ = false;
  SyncFiles();
  return marked;
}

}  // namespace stow
