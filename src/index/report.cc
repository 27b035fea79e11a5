#include "index/report.h"

#include <cstring>
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
    // pass run now would delete if every deletion succeeded, by the pass's
    // own rules.
    const PassMarks marks(settings);
    const bool starts = marks.Starts(h.CacheSize);
    int64_t in_use = h.CacheSize;
    WalkValidList(h, blocks, Toward::kHead, [&](int32_t i) {
      const ImageFileBlock& b = blocks[i];
      int64_t wait = 0;
      const bool tried = ActionFor(b, notes != nullptr ? &notes[i] : nullptr, settings, identity,
                                   now, &wait) == PassAction::kTry;
      if (tried && s.next_path[0] == '\0') {
        CopyStoredName(b, s.next_path);
        s.next_registered = b.AccessTime;
      }
      if (!starts || marks.Done(in_use)) {
        if (s.next_path[0] != '\0') return false;
      } else if (tried) {
        s.evictable_files += 1;
        s.evictable_bytes += b.FileSize;
        in_use -= b.FileSize;
      }
      return true;
    });
  });
  return s;
}

// -------------------------------------------------------------- listing ---

ListEnd ListIndex(const std::string& index_path, const CacheSettings& settings, int32_t limit,
                  int32_t batch_size, const std::function<bool(const ListedEntry&)>& take,
                  int32_t* reported) {
  *reported = 0;
  IndexInspection inspection(index_path);
  if (!inspection.mapped()) return ListEnd::kEnd;  // no index: nothing listed

  enum class Stop { kNo, kEnd, kChanged, kDamaged };
  int32_t steps = 0;
  int32_t prev = kNoBlock;  // the last block copied
  int32_t next = kNoBlock;  // the block to copy next
  // prev's change stamp when it was copied, when the lookup table had one.
  bool stamped = false;
  uint32_t epoch = 0;
  uint32_t stamp = 0;
  bool first = true;
  std::vector<ListedEntry> batch;
  for (;;) {
    batch.clear();
    const int64_t now = platform::env().NowSeconds();
    const Stop stop = inspection.Read([&](const IndexFileHeader& h, const ImageFileBlock* blocks,
                                          bool) {
      if (!HasIndexMagic(h)) return Stop::kEnd;
      if (first) {
        next = h.FirstValidBlock;
      } else {
        // Go on only if the last block copied is still on the valid list
        // with `next` after it. An unchanged stamp proves the first at
        // once; without one, walk back from it to the head.
        if (!BlockInRange(prev) || blocks[prev].RightNode != next) return Stop::kChanged;
        uint32_t now_epoch = 0;
        uint32_t now_stamp = 0;
        if (!stamped || !inspection.StampOf(h, prev, &now_epoch, &now_stamp) ||
            now_epoch != epoch || now_stamp != stamp) {
          const WalkResult back =
              WalkList(blocks, prev, next, Toward::kHead, [](int32_t) { return true; });
          if (back.end != WalkEnd::kEnd || back.prev != h.FirstValidBlock) {
            return Stop::kChanged;
          }
        }
      }
      // A block whose back link does not name the one before it is not
      // where the list says: the list is damaged from here on.
      const WalkResult r = WalkList(
          blocks, next, prev, Toward::kTail,
          [&](int32_t i) {
            const ImageFileBlock& b = blocks[i];
            batch.emplace_back();
            ListedEntry& e = batch.back();
            e.block = i;
            CopyStoredName(b, e.path);
            e.file_size = b.FileSize;
            e.registered = b.AccessTime;
            e.delay = b.Delay;
            e.evictable = OldEnough(b, settings, now);
            const int32_t taken = *reported + static_cast<int32_t>(batch.size());
            return batch.size() < static_cast<size_t>(batch_size) && (limit == 0 || taken < limit);
          },
          kBlockCount - steps);
      steps += r.steps;
      if (r.damaged()) return Stop::kDamaged;
      if (r.end == WalkEnd::kStopped) {
        prev = r.at;
        next = r.next;
      } else {
        prev = r.prev;
        next = kNoBlock;
      }
      stamped = prev != kNoBlock && inspection.StampOf(h, prev, &epoch, &stamp);
      return next == kNoBlock ? Stop::kEnd : Stop::kNo;
    });
    first = false;
    // The caller's code runs without the lock.
    for (const ListedEntry& e : batch) {
      ++*reported;
      if (!take(e)) return ListEnd::kEnd;
    }
    if (stop == Stop::kChanged) return ListEnd::kChanged;
    if (stop == Stop::kDamaged) return ListEnd::kDamaged;
    if (stop == Stop::kEnd || (limit != 0 && *reported >= limit)) return ListEnd::kEnd;
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
      });
  return r;
}

}  // namespace stow
