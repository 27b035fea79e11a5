// The repair of entries that the disk does not bear out: an entry whose
// file is gone (or is no regular file) leaves the index, one whose file
// changed size takes the new size. The caller looked at the files without
// the lock; here, under it, each change is made only to a block that still
// holds the registration the caller copied.
#include <string_view>
#include <unordered_set>

#include "index/index_file.h"
#include "index/intent_record.h"
#include "index/list_walk.h"

namespace stow {

bool IndexFile::RepairEntries(EntryRepair* repairs, size_t count) {
  if (header_ == nullptr) return false;
  Guard guard(*this, Guard::kReport);
  if (!guard.held()) return false;
  if (table_ != nullptr && !table_ok_) RebuildTable();
  // Without a table in step, one bounded walk tells which blocks are listed.
  std::unordered_set<int32_t> listed;
  bool walked = false;
  for (size_t k = 0; k < count; ++k) {
    EntryRepair& r = repairs[k];
    r.done = false;
    if (!BlockInRange(r.block)) continue;
    const int32_t i = r.block;
    ImageFileBlock& b = blocks_[i];
    if (b.AccessTime != r.access_time || b.FileSize != r.file_size ||
        StoredBytes(b) != std::string_view(r.path)) {
      continue;  // registered again, or another file's block now
    }
    bool on_list = false;
    if (table_ok_) {
      // Only a block on the valid list carries its mark, and it sits where
      // a block of that list can: its neighbours link back to it, and an
      // end of it is an end of the list.
      int32_t left = kNoBlock;
      int32_t right = kNoBlock;
      const bool links_ok =
          CheckStep(LinksIn{blocks_}, i, Toward::kHead, &left) == WalkEnd::kEnd &&
          CheckStep(LinksIn{blocks_}, i, Toward::kTail, &right) == WalkEnd::kEnd;
      on_list = CarriesListedMark(*header_, b) && links_ok &&
                (left != kNoBlock || i == header_->FirstValidBlock) &&
                (right != kNoBlock || i == header_->LastValidBlock);
    } else {
      if (!walked) {
        walked = true;
        WalkValid(header_->FirstValidBlock, kNoBlock, Toward::kTail, [&](int32_t at) {
          listed.insert(at);
          return true;
        });
      }
      on_list = listed.erase(i) > 0;
    }
    if (!on_list) continue;
    if (r.drop) {
      FreeBlock(i);
    } else {
      // The lookup table keeps a copy of the totals: stale while they change.
      if (table_ok_) table_->Begin();
      {
        IntentChange change(*header_, kIntentResize, i);
        change.Save(&b.FileSize);
        change.Save(&header_->CacheSize);
        change.Begin();
        change.Set(header_->CacheSize, header_->CacheSize - static_cast<int64_t>(b.FileSize) +
                                           static_cast<int64_t>(r.new_size));
        change.Set(b.FileSize, r.new_size);
      }
      if (table_ok_) table_->End(*header_);
    }
    r.done = true;
  }
  return true;
}

}  // namespace stow
