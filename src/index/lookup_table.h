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
//    with the index's ListedMark (writing only the words that differ; a
//    new mark when the table file was made afresh), and meets any path
//    listed twice.
//  - An empty slot is all zeros, so a stretch of the file that was cut and
//    grown back reads as empty slots, never as entries.
//  - A positive answer is proved from the index alone: the block holds the
//    path, carries the valid list's seal with the index's ListedMark (which
//    only whole blocks on the valid list do) and sits where a valid-list
//    block can. An answer that is not
//    proved, or a slot that does not describe its block, means the table
//    is damaged: the caller rebuilds it.
//  - An "absent" answer is proved by the slot lines it read: the slots
//    lie in lines of 64 bytes, seven slots and a check word that mixes
//    the line's place with each of its slots, kept with every slot
//    written. A line of zeros (a power cut that lost its page, a cut file
//    grown back) or a garbled one does not match its check: the answer is
//    "unproven" and the caller rebuilds the table, rather than list the
//    path a second time. A line never straddles a page, so a cut keeps or
//    loses a line and its check together.
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
//    keeps neither crowded marks nor slot checks), and they write nothing
//    past their header's fields, slots and notes. Every change they make
//    leaves the table stale for this release, so their changes never pass
//    for ours; the oldest keep no ListedMark, which the rebuild renews.
//    Each release maps the file under a name of its own (its version).
//  - The header keeps the cache's counters (see Counter): cumulative since
//    the index was made, and kept apart from everything a rebuild renews,
//    so that no rebuild, epoch or stale mark resets them. They live only in
//    this file: a table file made afresh (deleted, or cut through its
//    header) starts them again at zero, and the time counting started says
//    so. Processes of earlier releases never write them, and count nothing.
//  - It cannot outlive its index across a power cut: each stamp records
//    the index's StopGeneration and the start of the machine it was made
//    in, and a table stamped in another start or under another generation
//    is stale. After a restart it is rebuilt once; a copy kept from an
//    earlier run of the index and put back is never trusted. The index
//    marks a clean stop only after both files were synced, and a table
//    that does not agree with a clean mark makes the stop unclean (see
//    IndexFileHeader::StopGeneration).
//  - The header has reserved room, zero until later work uses it, so that
//    what is added to this file later does not change its layout again.
//  - Cost at rest: a 4 KiB header, 229,376 slots of 8 bytes in 32,768
//    lines (2 MiB) and
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

// The cache's cumulative counters, by their place in the table's header.
// Never renumber: the places are shared by every process of this release.
enum class Counter : uint32_t {
  kRegisteredNew = 0,  // registrations that listed a new entry
  kRefreshed,          // registrations of a path already listed
  kRefused,            // registrations turned down, full index included
  kFullRefusals,       // of them, turned down because the index was full
  kPasses,             // eviction passes that looked at the list
  kPassFiles,          // files deleted by passes
  kPassBytes,          // and their listed bytes
  kEmptiedFiles,       // files deleted by emptying the cache
  kEmptiedBytes,       // and their listed bytes
  kDeletionsRefused,   // deletions a pass or emptying tried and was refused
  kRepairDropped,      // entries dropped by repairs of the index
};
constexpr uint32_t kCounterCount = 11;

// The counters as read at one time, with when counting started (the index
// was made, or the counters were lost with the table file; 0: not known)
// and when they were last zeroed on request (0: never).
struct CounterValues {
  uint64_t value[kCounterCount] = {};
  int64_t counting_since = 0;
  int64_t last_reset = 0;
  uint64_t operator[](Counter c) const { return value[static_cast<uint32_t>(c)]; }
};

class LookupTable {
 public:
  // The slots follow the table's header at this offset of the file, in
  // lines of kLineSlots slots and a check word; each slot is the path's
  // 32-bit hash and its block + 1 (0: empty), whose top bit is the crowded
  // mark of the slot as a home.
  static constexpr size_t kSlotsOffset = 4096;
  static constexpr uint32_t kLineSlots = 7;
  static constexpr uint32_t kLineCount = 1u << 15;
  static constexpr uint32_t kSlotCount = kLineSlots * kLineCount;
  // Where slot `at` lies in the file, and the home slot of a hash.
  static constexpr size_t SlotOffset(uint32_t at) {
    return kSlotsOffset + 8 * (size_t{at / kLineSlots} * (kLineSlots + 1) + at % kLineSlots);
  }
  static constexpr uint32_t HomeOf(uint32_t hash) {
    return static_cast<uint32_t>((uint64_t{hash} * kSlotCount) >> 32);
  }
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

  // True when the table may answer for `header`: StampedWith(header), and
  // stamped in this start of the machine (or, where the system does not
  // tell the start, by a process that could not tell it either).
  bool InSync(const IndexFileHeader& header) const;
  // Formatted, fresh, its copy of the list ends, totals and ListedMark
  // matches, and it was stamped under the index's StopGeneration: the
  // table was kept with the lists as they are, since the index last stopped
  // cleanly or began to be used again after that.
  bool StampedWith(const IndexFileHeader& header) const;
  // True when the last process that stamped the table ran in this start of
  // the machine (see Env::BootIdentity): the machine did not restart since,
  // so what the files hold is what that process left in the system's
  // memory, whatever reached the disk. Read also from a table that an
  // earlier release rewrote in its own format (it leaves the word alone).
  // False where the system does not tell the start: a restart cannot be
  // ruled out.
  bool WrittenInThisBoot() const;
  // True when the system tells this process which start of the machine
  // this is (see Env::BootIdentity).
  bool BootKnown() const { return boot_known_; }

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
    kUnproven,     // not found, but a slot line read does not match its check: rebuild
    kCrowded,      // not found, and the path's home is crowded: walk the list
  };
  Answer Find(const IndexFileHeader& header, const ImageFileBlock* blocks, const char* path,
              int32_t* block) const;

  // Maintenance around one change of the lists: Begin clears the fresh
  // flag, Insert and Erase follow the change, End copies the header (its
  // StopGeneration too), records this start of the machine as the writer's
  // and sets the flag again.
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
  // listed twice: every slot line matches its check, and the taken slots
  // and the listed entries left out of the table add up to the listed
  // count. Every entry was inserted by a rebuild, which compares every
  // path, or after a lookup that the same checks proved absent. Reads every
  // slot (2 MiB): for a pass about to delete for size.
  bool ProvesEachPathOnce(const IndexFileHeader& header) const;
  // Home slots marked crowded since the last rebuild.
  uint32_t CrowdedHomes() const;

  // ---- The shared rhythm of syncs (see IndexFile::SyncIfDue), with or
  // without the index lock.
  static constexpr int64_t kSyncPeriodSeconds = 1;
  // A holder of the index lock that may have changed the files says so
  // before it lets go of the lock.
  void NoteUnsynced();
  // True when a holder let go of the lock since the last sync was claimed.
  bool Unsynced() const;
  // Claims the next sync of both files for the caller: true when the last
  // one was claimed kSyncPeriodSeconds or more before `now` (or in the
  // future: a clock set back), a holder let go of the lock since, and no
  // other process or thread claimed it first; with `force`, whatever the
  // time. A claim clears Unsynced; the caller then syncs, without the lock.
  bool ClaimSync(int64_t now, bool force);
  // Writes the table's changed pages to the disk and waits for it.
  bool Flush();

  // Processes waiting for the index lock right now; a pass that lets go of
  // the lock between batches waits for them to get in first. A process
  // killed while waiting never takes itself off: the count can only be
  // trusted to go down, never to reach zero.
  int32_t Waiters() const;
  void AddWaiter(int32_t delta);

  // ---- The counters (see Counter); kept whether the table is in sync or not.

  // Under the index lock: adds `n` (the counters changed under the lock are
  // only read and written under it, or with atomic operations).
  void Count(Counter c, uint64_t n = 1);
  // Without the lock: adds `n` with an atomic operation.
  void CountUnlocked(Counter c, uint64_t n = 1);
  CounterValues Counters() const;
  // Under the index lock: every counter to zero, the reset time to `now`.
  void ZeroCounters(int64_t now);
  // Under the index lock, for an index just made: every counter to zero,
  // counting since `now`, never reset.
  void RestartCounters(int64_t now);
  // Under the index lock: when the start of the counting is not known (a
  // table file made afresh), it is `now`.
  bool CountingStartKnown() const;
  void NoteCountingStart(int64_t now);

  // ---- The agreement of the index with the disk after a restart of the
  // machine: files may have been lost, or left behind unlisted, by the
  // power cut or by whatever ran while no client did. Kept apart from what
  // a rebuild renews, with or without the lock. A table file made afresh
  // for an existing index (deleted, cut through its header) leaves it
  // pending; one made with a new index is marked reconciled at once.

  // True when this start of the machine is known and no reconciliation
  // finished in it. One read of 16 bytes: the values are read from the
  // file, and a forged one can at most cause or skip one reconciliation.
  bool ReconciliationPending() const;
  // Records this start of the machine as reconciled (a new index: nothing
  // to reconcile).
  void MarkReconciled();
  // A claim older than this is taken for one whose process died.
  static constexpr int64_t kReconcileClaimSeconds = 600;
  // Claims the reconciliation at `now`: false when another process holds
  // a claim younger than kReconcileClaimSeconds, or took it first. The
  // claim to give back is set in `*claim`.
  bool ClaimReconciliation(int64_t now, int64_t* claim);
  // Gives the claim back at `now`; when `finished`, records this start of
  // the machine as reconciled first. Unfinished, no process claims it again
  // for kReconcileRetrySeconds.
  static constexpr int64_t kReconcileRetrySeconds = 30;
  void EndReconciliation(int64_t claim, bool finished, int64_t now);

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
  struct Line {
    Slot slots[kLineSlots];
    uint64_t check;
  };
  Line* lines() const;
  Slot& SlotAt(uint32_t at) const { return lines()[at / kLineSlots].slots[at % kLineSlots]; }
  BlockNote* notes() const;
  enum class Placed { kInTable, kCrowded, kTwice };
  Placed Place(const ImageFileBlock* blocks, const char* path, uint32_t hash, int32_t block);
  // Every slot write goes through Put, which keeps the line's check.
  void Put(uint32_t at, Slot value);
  void MarkCrowded(uint32_t home);
  // True when slot line `line` matches its check; counts its taken slots.
  bool LineMatches(uint32_t line, uint32_t* taken = nullptr) const;
  static bool LineMatches(const Line& l, uint32_t line, uint32_t* taken);
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
  // This start of the machine (Env::BootIdentity), zeros when unknown.
  uint8_t boot_[16] = {};
  bool boot_known_ = false;
  bool StampedInThisBoot() const;
};

}  // namespace stow
