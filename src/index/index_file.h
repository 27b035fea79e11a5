// The process's handle on the shared index: one file, mapped by every
// process that uses the same cache folder, that lists every cached file from
// the most to the least recently registered, with the bytes they take up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/settings.h"
#include "index/layout.h"
#include "platform/platform.h"

namespace stow {

// Deletes one cached file. True when the file is gone and its block may be
// freed, false when the block must stay.
using RemoveFileFn = std::function<bool(const char* path)>;

// How far one call of RemoveAll or ShrinkCache goes, for a caller that does
// the work in batches so that it can run code of its own between them
// without holding the lock. The default does everything in one call.
struct PassBatch {
  // Calls of the removal routine after which the call returns; 0: no limit.
  int32_t max_calls = 0;
  // Entries that the routine would be called for to pass over first: those
  // that earlier batches could not delete, which stay in place.
  int32_t skip = 0;
  // ShrinkCache: the pass started in an earlier batch (above the high mark)
  // and goes on down to the low mark.
  bool continuing = false;
};

// What one call of RemoveAll or ShrinkCache did.
struct PassOutcome {
  bool more = false;        // stopped at max_calls with entries left to visit
  int32_t freed = 0;        // entries whose file the routine removed
  int64_t freed_bytes = 0;  // their FileSize total
  int32_t kept = 0;         // entries the routine was called for but kept
  int64_t kept_bytes = 0;
};

class IndexFile {
 public:
  // Opens or creates the index at `index_path` and formats it when it does
  // not carry the magic text. Throws OsError on any failure.
  IndexFile(const std::string& index_path, const CacheSettings& settings);
  ~IndexFile();
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;

  // Registers a file, or refreshes it when a block with the same path and
  // size is listed: either way it becomes the most recent entry. False when
  // every block is in use.
  bool AddFile(const FileRecord& record, uint32_t delay);

  // Frees the block of every listed file that `remove` deletes.
  PassOutcome RemoveAll(const RemoveFileFn& remove, const PassBatch& batch = PassBatch());

  // The eviction pass: above the high mark, deletes the least recently
  // registered files that are old enough until the bytes in use fall below
  // the low mark.
  PassOutcome ShrinkCache(const RemoveFileFn& remove, const PassBatch& batch = PassBatch());

  // Asks the system to write the mapped view to the file. Takes no lock.
  bool Flush();

  // Writes a text picture of the header and the valid list to `path`.
  // Nothing is written when the file cannot be opened.
  void DumpToFile(const char* path);

  // Releases the view, the mapping, the file and the lock. Idempotent.
  void Close();

  // Waits without time limit for the machine-wide lock / releases it. The
  // first holder after one that died checks the lists and rebuilds them if
  // they were left half-changed.
  void Lock();
  void Unlock();

  // Direct access to the mapped records, for tests and tools.
  IndexFileHeader* header() { return header_; }
  ImageFileBlock* blocks() { return blocks_; }

  // Replaces the clock used for AccessTime and ages. Null restores the
  // system clock.
  void SetClockForTesting(int64_t (*clock)()) { clock_ = clock; }

  // Checks both lists and the totals under the lock and rebuilds them when
  // they are inconsistent. True when a rebuild was needed.
  bool CheckAndRepair();

 private:
  class Guard;

  int64_t Now() const;
  bool MagicMatches() const;
  void FormatIfNeeded();
  bool ListsAreConsistent() const;
  void RebuildLists();
  void RepairIfDamaged(bool force_check);
  ImageFileBlock* Block(int32_t i) { return (i >= 0 && i < kBlockCount) ? &blocks_[i] : nullptr; }
  void UnlinkBlock(int32_t& head, int32_t& tail, int32_t i);
  void LinkBlock(int32_t& head, int32_t& tail, int32_t i, bool at_front);
  int32_t AllocateBlock();
  void FreeBlock(int32_t i);
  // Calls `visit(i)` for each block of the valid list from the tail (or the
  // head) while it returns true; the next block is read before the visit, so
  // the visit may move the block. Stops at a link outside the block range or
  // after kBlockCount steps.
  template <typename Visit>
  void WalkValid(bool from_tail, Visit visit);

  CacheSettings settings_;
  std::unique_ptr<platform::NamedMutex> mutex_;
  std::unique_ptr<platform::SharedFile> file_;
  IndexFileHeader* header_ = nullptr;
  ImageFileBlock* blocks_ = nullptr;
  int64_t (*clock_)() = nullptr;
  // Set by a walk that met a link out of range or a cycle; the lists are
  // rebuilt before the lock is released. Only touched under the lock.
  bool damaged_ = false;
};

// Holds the index lock for one operation, also when it throws.
class IndexFile::Guard {
 public:
  explicit Guard(IndexFile& index) : index_(index) { index_.Lock(); }
  ~Guard() { index_.Unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  IndexFile& index_;
};

template <typename Visit>
void IndexFile::WalkValid(bool from_tail, Visit visit) {
  int32_t i = from_tail ? header_->LastValidBlock : header_->FirstValidBlock;
  for (int32_t steps = 0; i != kNoBlock; ++steps) {
    if (steps >= kBlockCount || Block(i) == nullptr) {
      damaged_ = true;
      return;
    }
    const int32_t next = from_tail ? blocks_[i].LeftNode : blocks_[i].RightNode;
    if (!visit(i)) return;
    i = next;
  }
}

}  // namespace stow
