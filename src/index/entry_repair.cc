// The repair of entries that the disk does not bear out: an entry whose
// file is gone (or is no regular file) leaves the index, one whose file
// changed size takes the new size. The caller copied each entry with its
// change proof under the lock and looked at its file without the lock;
// here, under the lock again, each change is made only where the proof
// still holds, so that a registration between the copy and the change
// (whatever its time and size) is never undone by what the look saw
// before it.
#include <string_view>

#include "index/block_seal.h"
#include "index/index_file.h"
#include "index/intent_record.h"
#include "index/list_walk.h"

namespace stow {

bool IndexFile::RepairEntries(EntryRepair* repairs, size_t count) {
  if (header_ == nullptr) return false;
  Guard guard(*this, Guard::kReport);
  if (!guard.held()) return false;
  // A stale table is rebuilt, so that proofs read after this hold hold; the
  // rebuild starts a new epoch, which voids those read before it.
  if (table_ != nullptr && !table_ok_) RebuildTable();
  for (size_t k = 0; k < count; ++k) {
    EntryRepair& r = repairs[k];
    r.done = false;
    if (!BlockInRange(r.block)) continue;
    const int32_t i = r.block;
    // Unchanged mark, epoch and stamp: nothing registered, moved or freed
    // the block since the copy (see ChangeProof).
    const ChangeProof& p = r.proof;
    if (!p.known || !table_ok_ || header_->ListedMark != p.listed_mark ||
        table_->Epoch() != p.epoch || table_->Stamp(i) != p.stamp) {
      continue;
    }
    // What the copy held, on the valid list. Implied by the proof; checked
    // too, as the stamps live in a file that any user can write.
    ImageFileBlock& b = blocks_[i];
    if (b.AccessTime != r.access_time || b.FileSize != r.file_size ||
        StoredBytes(b) != std::string_view(r.path)) {
      continue;
    }
    // Only a block on the valid list carries its mark, and it sits where a
    // block of that list can: its neighbours link back to it, and an end of
    // it is an end of the list.
    int32_t left = kNoBlock;
    int32_t right = kNoBlock;
    const bool links_ok = CheckStep(LinksIn{blocks_}, i, Toward::kHead, &left) == WalkEnd::kEnd &&
                          CheckStep(LinksIn{blocks_}, i, Toward::kTail, &right) == WalkEnd::kEnd;
    if (!CarriesListedMark(*header_, b) || !links_ok ||
        (left == kNoBlock && i != header_->FirstValidBlock) ||
        (right == kNoBlock && i != header_->LastValidBlock)) {
      continue;
    }
    if (r.drop) {
      FreeBlock(i);  // a new stamp
      Count(Counter::kRepairDropped);
    } else {
      // The lookup table keeps a copy of the totals: stale while they change.
      table_->Begin();
      table_->Touch(i);
      {
        IntentChange change(*header_, kIntentResize, i);
        change.Save(&b.FileSize);
        change.Save(&b.Reserved);
        change.Save(&header_->CacheSize);
        change.Begin();
        change.Set(header_->CacheSize, header_->CacheSize - static_cast<int64_t>(b.FileSize) +
                                           static_cast<int64_t>(r.new_size));
        change.Set(b.FileSize, r.new_size);
        change.Set(b.Reserved, ListedSeal(header_->ListedMark, b));
      }
      table_->End(*header_);
    }
    r.done = true;
  }
  return true;
}

}  // namespace stow
