// The lookup table: a hash table from a listed path to its block, kept in a
// companion file beside the index ("Index.Lkp") that every process maps, so
// that a registration finds its entry without walking the list.
//
// Contract with the index:
//  - Only valid-list blocks are in the table, keyed by their path; it is
//    changed only under the index lock, in the same operation as the lists.
//  - It is never trusted blindly. Its header keeps a copy of the index
//    header's list ends, totals and ListedMark as the last change that
//    maintained the table left them, and a fresh flag that is cleared
//    before every such change and set after it. A table whose flag is clear
//    (a holder died mid-change), whose copy differs from the index (a
//    process that does not maintain the table changed the lists, or the
//    index was replaced: a new index has another ListedMark), or that was
//    found shorter than its full length when this process opened it (it
//    was grown back with zeros) is rebuilt from one bounded walk of the
//    valid list before it is used. The rebuild seals every valid block
//    with a new ListedMark, and meets any path listed twice.
//  - An empty slot is all zeros, so a stretch of the file that was cut and
//    grown back reads as empty slots, never as entries.
//  - A positive answer is proved from the index alone: the block holds the
//    path, carries the valid list's seal with the index's ListedMark (which
//    only whole blocks on the valid list do) and sits where a valid-list
//    block can. An answer that is not
//    proved, or a slot that does not describe its block, means the table
//    is damaged: the caller rebuilds it.
//  - An "absent" answer is proved by the slot pages it read: each 4 KiB
//    page of slots has a check in the header (the number of its taken
//    slots and a sum of a mix of each slot's position and value), kept with
//    every slot written. A page zeroed or garbled behind the table's back
//    (a power cut that lost it, another user) does not match its check:
//    the answer is "unproven" and the caller rebuilds the table, rather
//    than list the path a second time.
//  - A probe is bounded: an entry lies at most kProbeLimit slots from its
//    home slot. A path that finds no room within that bound is left out of
//    the table and its home slot is marked crowded; a lookup of a path
//    whose home is crowded and that the probe does not find walks the list.
//    Paths crafted to share one hash (FNV-1a is unkeyed and the file can be
//    read by anyone) so cost a rebuild O(n x kProbeLimit) and a lookup at
//    most one walk of the list, never a probe through all of them.
//  - The file gets the protections of the index file itself: no link is
//    followed, only a regular file is used, its space is reserved at every
//    open, and a process that cuts it short cannot make a fault in its view
//    reach the host.
//  - Beside the slots it keeps what lets an eviction pass be cheap (see
//    PassBounds and BlockNote): a change stamp and a remembered refusal for
//    every block, and bounds that tell when no pass can delete anything.
//    They follow the same fresh flag: a rebuild starts a new epoch, which
//    voids every stamp a pass kept, and marks the bounds stale.
//  - Processes of earlier releases share the file: their table header has
//    the same fields at the same offsets, with their own magic text, so
//    each release sees the other's table as stale and rebuilds it before
//    use (an earlier release wrote an empty slot as -1; the previous one
//    keeps neither crowded marks nor page checks), and they write nothing
//    past their header's fields, slots and notes. Every change they make
//    leaves the table stale for this release, so their changes never pass
//    for ours; the oldest keep no ListedMark, which the rebuild renews.
//    Each release maps the file under a name of its own (its version).
//  - The header has reserved room, zero until later work uses it, so that
//    what is added to this file later does not change its layout again.
//  - Cost at rest: a 4 KiB header, 262,144 slots of 8 bytes (2 MiB) and
//    100,000 block notes of 20 bytes (2 MB), of disk and, once touched, of
//    shared memory; a rebuild at 100,000 entries hashes every path once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/layout.h"
#include "index/pass_bounds.h"
#include "platform/platform.h"

namespace stow {

extern const char kLookupFileName[];  // "Index.Lkp"

class LookupTable {
 public:
  static constexpr uint32_t kSlotCount = 1u << 18;
  // The slots follow the table's header at this offset of the file; each is
  // the path's 32-bit hash and its block + 1 (0: empty), whose top bit is
  // the crowded mark of the slot as a home.
  static constexpr size_t kSlotsOffset = 4096;
  // A slot page, the unit of the checks.
  static constexpr uint32_t kSlotsPerPage = 512;
  static constexpr uint32_t kSlotPages = kSlotCount / kSlotsPerPage;
  // The farthest an entry lies from its home slot, plus one. The table is
  // at most 38% full, where ordinary paths almost never probe this far;
  // one that does is only left to the walk.
  static constexpr uint32_t kProbeLimit = 64;
  // The length of the file.
  static const size_t kFileSize;

  // Maps the table at `path`, creating it (empty, stale) when missing.
  // Throws OsError.
  explicit LookupTable(const std::string& path);

  // True once a table has been built in the file (a new file is empty).
  bool Formatted() const;

  // True when the table may answer for `header`: formatted, fresh, and its
  // copy of the list ends and totals matches.
  bool InSync(const IndexFileHeader& header) const;

  // Fills the table from the valid list (a walk bounded by the block count),
  // seals each of its blocks with the header's ListedMark, and stamps the
  // table with `header`. Returns the entries listed with a path (in the
  // table or left out as crowded), or -1 (the table left stale) when the
  // list does not hold together or lists a path twice: crowded paths are
  // compared through a keyed hash of their own, so that a flood of them
  // costs no more than ordinary paths.
  // O(n x kProbeLimit) whatever the paths.
  int32_t Rebuild(const IndexFileHeader& header, ImageFileBlock* blocks);

  enum class Answer {
    kFound,        // `*block` is the listed block of the path
    kAbsent,       // the table holds no entry for the path
    kListedTwice,  // two listed blocks hold the path: the index is damaged
    kDamaged,      // the table named what the index does not prove: rebuild it
    kUnproven,     // not found, but a slot page read does not match its check: rebuild
    kCrowded,      // not found, and the path's home is crowded: walk the list
  };
  Answer Find(const IndexFileHeader& header, const ImageFileBlock* blocks, const char* path,
              int32_t* block) const;

  // Maintenance around one change of the lists: Begin clears the fresh
  // flag, Insert and Erase follow the change, End copies the header and sets
  // the flag again.
  void Begin();
  // False when the path already has an entry for another block that holds
  // it too (it is damaged): the table is left without the entry. A path
  // whose home is crowded is left out too, and counted (true).
  bool Insert(const ImageFileBlock* blocks, const char* path, int32_t block);
  void Erase(const char* path, int32_t block);
  void End(const IndexFileHeader& header);

  // Under the index lock: when another process cut the file short, grows
  // it back and marks the table stale. True when it had been cut, or when
  // this process found it short at open. See SharedFile::CheckTruncated for
  // `look_at_length`.
  bool RecoverTruncation(bool look_at_length);

  // True when the table, in sync with `header`, proves that no path is
  // listed twice: every slot page matches its check, and the taken slots
  // and the listed entries left out of the table add up to the listed
  // count. Every entry was inserted by a rebuild, which compares every
  // path, or after a lookup that the same checks proved absent. Reads every
  // slot (2 MiB): for a pass about to delete for size.
  bool ProvesEachPathOnce(const IndexFileHeader& header) const;
  // Home slots marked crowded since the last rebuild.
  uint32_t CrowdedHomes() const;

  // Processes waiting for the index lock right now; a pass that lets go of
  // the lock between batches waits for them to get in first. A process
  // killed while waiting never takes itself off: the count can only be
  // trusted to go down, never to reach zero.
  int32_t Waiters() const;
  void AddWaiter(int32_t delta);

  // ---- Under the index lock, while the table is in sync.

  // Changes with every rebuild of the table: stamps of another epoch prove
  // nothing.
  uint32_t Epoch() const;
  // The change count when `block` was last linked or unlinked. A stamp a
  // pass read that is still the block's stamp (in the same epoch) proves
  // that the block has stayed on the valid list, in its place, since.
  uint32_t Stamp(int32_t block) const;
  // Records that `block` is being linked or unlinked: a new stamp, and any
  // refusal remembered for it is forgotten.
  void Touch(int32_t block);

  BlockNote& Note(int32_t block);
  const BlockNote& Note(int32_t block) const;

  // The pass bounds, as the last full walk and the registrations since left
  // them. Invalid when any holder since could not maintain them.
  PassBounds Bounds() const;
  void SetBounds(const PassBounds& bounds);
  // A registration at `now` of an entry with its own minimum age `delay`.
  void LowerBounds(int64_t now, int64_t delay);
  void InvalidateBounds();

 private:
  struct Header;
  struct Slot {
    uint32_t Hash;
    uint32_t Entry;  // the block's index + 1; 0: empty
  };
  Header* header();
  const Header* header() const;
  Slot* slots() const;
  BlockNote* notes() const;
  enum class Placed { kInTable, kCrowded, kTwice };
  Placed Place(const ImageFileBlock* blocks, const char* path, uint32_t hash, int32_t block);
  // Every slot write goes through Put, which keeps the page's check.
  void Put(uint32_t at, Slot value);
  void MarkCrowded(uint32_t home);
  // True when slot page `page` matches its check; counts its taken slots.
  bool PageMatches(uint32_t page, uint32_t* taken = nullptr) const;
  // Whether the rebuild's crowded paths (by a keyed hash of their own)
  // list one twice, the entries in the table of their homes included.
  using KeyedBlock = std::pair<uint64_t, int32_t>;
  bool CrowdedListedTwice(const ImageFileBlock* blocks, std::vector<KeyedBlock>* left_out,
                          const std::vector<uint32_t>& crowded_homes) const;

  std::unique_ptr<platform::SharedFile> file_;
  // The file was shorter than kFileSize when this process opened it, with
  // the table's header: it is marked stale under the index lock, at the
  // next RecoverTruncation.
  bool found_short_ = false;
};

}  // namespace stow
