#include "index/report.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "index/eviction_rule.h"
#include "index/index_file.h"
#include "index/inspect.h"
#include "index/list_walk.h"
#include "index/pass_bounds.h"

namespace stow {
// --------------------------------------------------------------- status ---

StatusReport ReadStatus(const std::string& index_path, const CacheSettings& settings,
                        uint32_t identity, int64_t now) {
  StatusReport s;
  IndexInspection inspection(index_path);
  s.index_present = inspection.present();
  s.lists_consistent = !inspection.present();  // nothing yet is nothing amiss
  if (!inspection.mapped()) return s;
  // Figured from a copy, without the lock: the check and the walks look at
  // every block.
  inspection.ReadCopy([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
    if (!HasIndexMagic(h)) return;
    const BlockNote* notes = inspection.CopiedNotes();
    s.index_formatted = true;
    s.lists_consistent = CheckLists(h, blocks, nullptr);
    s.entries = h.TotalFileCount;
    s.bytes_in_use = h.CacheSize;
    // Registration times: the valid list is ordered by them unless the
    // clock moved back, so look at every entry.
    WalkValidList(h, blocks, Toward::kTail, [&](int32_t i) {
      if (notes != nullptr && RefusalHolds(notes[i], blocks[i], now)) {
        s.refused_files += 1;
        s.refused_bytes += blocks[i].FileSize;
      }
      const int64_t t = blocks[i].AccessTime;
      if (s.oldest_registration == 0 || t < s.oldest_registration) s.oldest_registration = t;
      if (t > s.newest_registration) s.newest_registration = t;
      return true;
    });
    // From the least recently registered on: what goes next, and what a
    // pass run now would delete if every deletion succeeded, reckoned as
    // the dry run reckons it.
    PassForecast forecast(settings, identity, now, h.CacheSize, 0);
    // A pass the bounds let skip deletes nothing.
    const int32_t tail = h.LastValidBlock;
    const bool has_tail = BlockInRange(tail);
    const PassBounds* bounds = inspection.CopiedBounds();
    bool stopped = bounds != nullptr &&
                   PassSkipped(*bounds, settings, identity, now, has_tail ? &blocks[tail] : nullptr,
                               has_tail && notes != nullptr ? &notes[tail] : nullptr);
    WalkValidList(h, blocks, Toward::kHead, [&](int32_t i) {
      const ImageFileBlock& b = blocks[i];
      const BlockNote* note = notes != nullptr ? &notes[i] : nullptr;
      int64_t wait = 0;
      if (s.next_path[0] == '\0' &&
          ActionFor(b, note, settings, identity, now, &wait) == PassAction::kTry) {
        CopyStoredName(b, s.next_path);
        s.next_registered = b.AccessTime;
      }
      if (!stopped) {
        const PassForecast::Step step = forecast.Next(b, note);
        stopped = step == PassForecast::Step::kStop;
        if (step == PassForecast::Step::kDelete) {
          s.evictable_files += 1;
          s.evictable_bytes += b.FileSize;
        }
      }
      return !stopped || s.next_path[0] == '\0';
    });
  });
  // A new index made from this file has nothing to reconcile.
  s.reconciliation_pending = s.index_formatted && inspection.ReconciliationPending();
  return s;
}

// -------------------------------------------------------------- batches ---

namespace {

// A walk of the valid list in batches, each in its own hold of the lock:
// where the last batch stopped, and what proves that place when the next
// one goes on. Every walk of it together takes at most kBlockCount steps.
class BatchCursor {
 public:
  enum class Stop { kNo, kEnd, kChanged, kDamaged };

  BatchCursor(const IndexInspection& inspection, Toward toward)
      : inspection_(inspection), toward_(toward) {}

  // Inside IndexInspection::Read: visits the blocks from where the last
  // batch stopped on while `visit(i)` returns true; the block whose visit
  // returned false is the last of the batch. kNo when entries are left.
  template <typename Visit>
  Stop Walk(const IndexFileHeader& h, const ImageFileBlock* blocks, Visit visit) {
    const bool to_tail = toward_ == Toward::kTail;
    if (first_) {
      first_ = false;
      next_ = to_tail ? h.FirstValidBlock : h.LastValidBlock;
    } else {
      // Go on only if the last block visited is still on the valid list
      // with `next_` after it. An unchanged stamp proves the first at
      // once; without one, walk back from it to the end the walk started
      // from.
      if (!BlockInRange(prev_) ||
          (to_tail ? blocks[prev_].RightNode : blocks[prev_].LeftNode) != next_) {
        return Stop::kChanged;
      }
      uint32_t now_epoch = 0;
      uint32_t now_stamp = 0;
      if (!stamped_ || !inspection_.StampOf(h, prev_, &now_epoch, &now_stamp) ||
          now_epoch != epoch_ || now_stamp != stamp_) {
        const WalkResult back =
            WalkList(blocks, prev_, next_, to_tail ? Toward::kHead : Toward::kTail,
                     [](int32_t) { return true; });
        if (back.end != WalkEnd::kEnd ||
            back.prev != (to_tail ? h.FirstValidBlock : h.LastValidBlock)) {
          return Stop::kChanged;
        }
      }
    }
    // A block whose back link does not name the one before it is not
    // where the list says: the list is damaged from here on.
    const WalkResult r = WalkList(blocks, next_, prev_, toward_, visit, kBlockCount - steps_);
    steps_ += r.steps;
    if (r.damaged()) return Stop::kDamaged;
    if (r.end == WalkEnd::kStopped) {
      prev_ = r.at;
      next_ = r.next;
    } else {
      prev_ = r.prev;
      next_ = kNoBlock;
    }
    stamped_ = prev_ != kNoBlock && inspection_.StampOf(h, prev_, &epoch_, &stamp_);
    return next_ == kNoBlock ? Stop::kEnd : Stop::kNo;
  }

 private:
  const IndexInspection& inspection_;
  const Toward toward_;
  bool first_ = true;
  int32_t steps_ = 0;
  int32_t prev_ = kNoBlock;  // the last block visited
  int32_t next_ = kNoBlock;  // the block to visit next
  // prev_'s change stamp when it was visited, when the lookup table had one.
  bool stamped_ = false;
  uint32_t epoch_ = 0;
  uint32_t stamp_ = 0;
};

ListEnd EndOf(BatchCursor::Stop stop) {
  switch (stop) {
    case BatchCursor::Stop::kChanged:
      return ListEnd::kChanged;
    case BatchCursor::Stop::kDamaged:
      return ListEnd::kDamaged;
    default:
      return ListEnd::kEnd;
  }
}

void CopyEntry(const ImageFileBlock& b, int32_t i, const CacheSettings& settings, int64_t now,
               ListedEntry* e) {
  e->block = i;
  CopyStoredName(b, e->path);
  e->file_size = b.FileSize;
  e->registered = b.AccessTime;
  e->delay = b.Delay;
  e->evictable = OldEnough(b, settings, now);
}

}  // namespace

// -------------------------------------------------------------- listing ---

ListEnd ListIndex(const std::string& index_path, const CacheSettings& settings, int32_t limit,
                  int32_t batch_size, const std::function<bool(const ListedEntry&)>& take,
                  int32_t* reported) {
  *reported = 0;
  IndexInspection inspection(index_path);
  if (!inspection.mapped()) return ListEnd::kEnd;  // no index: nothing listed

  BatchCursor cursor(inspection, Toward::kTail);
  std::vector<ListedEntry> batch;
  for (;;) {
    batch.clear();
    const int64_t now = platform::env().NowSeconds();
    const BatchCursor::Stop stop =
        inspection.Read([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
          if (!HasIndexMagic(h)) return BatchCursor::Stop::kEnd;
          return cursor.Walk(h, blocks, [&](int32_t i) {
            batch.emplace_back();
            CopyEntry(blocks[i], i, settings, now, &batch.back());
            batch.back().proof = inspection.ProofOf(h, i);
            const int32_t taken = *reported + static_cast<int32_t>(batch.size());
            return batch.size() < static_cast<size_t>(batch_size) && (limit == 0 || taken < limit);
          });
        });
    // The caller's code runs without the lock.
    for (const ListedEntry& e : batch) {
      ++*reported;
      if (!take(e)) return ListEnd::kEnd;
    }
    if (stop != BatchCursor::Stop::kNo) return EndOf(stop);
    if (limit != 0 && *reported >= limit) return ListEnd::kEnd;
  }
}

// -------------------------------------------------------------- dry run ---

ListEnd ForecastPass(const std::string& index_path, const CacheSettings& settings,
                     uint32_t identity, int64_t now, int64_t older_than, int32_t batch_size,
                     const std::function<bool(const ListedEntry&)>& take,
                     const std::function<void(const PassForecastTotals&)>& between,
                     PassForecastTotals* totals) {
  *totals = PassForecastTotals();
  IndexInspection inspection(index_path);
  if (!inspection.mapped()) return ListEnd::kEnd;  // no index: nothing to delete

  BatchCursor cursor(inspection, Toward::kHead);
  std::unique_ptr<PassForecast> forecast;
  std::vector<ListedEntry> batch;
  bool done = false;         // the pass would end here
  bool told_enough = false;  // `take` asked to stop
  for (bool first = true;; first = false) {
    batch.clear();
    const BatchCursor::Stop stop =
        inspection.Read([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
          if (!HasIndexMagic(h)) return BatchCursor::Stop::kEnd;
          if (first) {
            // The pass starts from the index as it is now.
            forecast.reset(new PassForecast(settings, identity, now, h.CacheSize, older_than));
            totals->remaining_files = h.TotalFileCount;
            totals->remaining_bytes = h.CacheSize;
            // A pass the bounds let skip deletes nothing; the pass by age
            // does not ask them.
            PassBounds bounds;
            BlockNote note;
            const int32_t tail = h.LastValidBlock;
            const bool has_tail = BlockInRange(tail);
            if (older_than <= 0 && inspection.BoundsOf(h, &bounds) &&
                PassSkipped(bounds, settings, identity, now, has_tail ? &blocks[tail] : nullptr,
                            has_tail && inspection.NoteOf(tail, &note) ? &note : nullptr)) {
              KeptBySkip(bounds, identity, &totals->kept_files, &totals->kept_bytes);
              done = true;
              return BatchCursor::Stop::kEnd;
            }
          }
          // Bounded by the entries looked at and, as a pass's batches are,
          // by time.
          int32_t looks = 0;
          const auto until = std::chrono::steady_clock::now() +
                             std::chrono::microseconds(IndexFile::kPassHoldUs);
          return cursor.Walk(h, blocks, [&](int32_t i) {
            const ImageFileBlock& b = blocks[i];
            BlockNote note;
            const bool noted = inspection.NoteOf(i, &note);
            switch (forecast->Next(b, noted ? &note : nullptr)) {
              case PassForecast::Step::kStop:
                done = true;
                return false;
              case PassForecast::Step::kDelete:
                batch.emplace_back();
                CopyEntry(b, i, settings, now, &batch.back());
                break;
              case PassForecast::Step::kKeep:
                totals->kept_files += 1;
                totals->kept_bytes += b.FileSize;
                break;
              case PassForecast::Step::kPass:
                break;
            }
            return ++looks < batch_size &&
                   (looks % 64 != 0 || std::chrono::steady_clock::now() < until);
          });
        });
    // The caller's code runs without the lock.
    for (const ListedEntry& e : batch) {
      totals->deleted_files += 1;
      totals->deleted_bytes += e.file_size;
      totals->remaining_files -= 1;
      totals->remaining_bytes -= e.file_size;
      if (take && !told_enough && !take(e)) told_enough = true;  // the batch in hand still counts
    }
    if (done || told_enough || stop != BatchCursor::Stop::kNo) return EndOf(stop);
    if (between) between(*totals);
  }
}

// ---------------------------------------------------------------- check ---

IndexCheck CheckIndex(const std::string& index_path) {
  IndexCheck r;
  IndexInspection inspection(index_path);
  r.present = inspection.present();
  if (!r.present) {
    r.consistent = true;
    return r;
  }
  if (!inspection.mapped()) {
    r.lists.problem = "the index file holds " + std::to_string(inspection.file_size()) +
                      " bytes instead of " + std::to_string(kIndexFileSize);
    return r;
  }
  // Checked on a copy, without the lock: the check looks at every block.
  inspection.ReadCopy(
      [&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool interrupted) {
        r.interrupted = interrupted;
        if (!HasIndexMagic(h)) {
          r.lists.problem = "the index file does not start with the index mark";
          return;
        }
        r.formatted = true;
        r.consistent = CheckLists(h, blocks, &r.lists);
        r.header_count = h.TotalFileCount;
        r.header_bytes = h.CacheSize;
        // Bounds that claim less than the list shows would let passes skip
        // entries a walk deletes.
        const PassBounds* bounds = inspection.CopiedBounds();
        if (!r.consistent || bounds == nullptr) return;
        BoundsProof proof(*bounds);
        const BlockNote* notes = inspection.CopiedNotes();
        WalkValidList(h, blocks, Toward::kTail, [&](int32_t i) {
          proof.Add(blocks[i], notes != nullptr ? &notes[i] : nullptr);
          return true;
        });
        if (const char* contradiction = proof.Contradiction()) {
          r.bounds_hold = false;
          r.lists.problem = contradiction;
        }
      });
  return r;
}

}  // namespace stow
