#include "index/lookup_table.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <utility>

#include "index/block_seal.h"
#include "index/hash.h"
#include "index/list_walk.h"
#include "index/object_name.h"

namespace stow {

const char kLookupFileName[] = "Index.Lkp";

namespace {

constexpr char kLookupMagic[] = "Stowmaster lookup table v4\n";
constexpr size_t kHeaderSize = LookupTable::kSlotsOffset;
constexpr size_t kSlotsSize = size_t{64} * LookupTable::kLineCount;
constexpr size_t kNotesSize = sizeof(BlockNote) * size_t{kBlockCount};

uint32_t HashPath(const char* path) {
  // The stored path, which is at most kFileNameSize bytes.
  const void* end = std::memchr(path, '\0', kFileNameSize);
  return Fnv1a(path, end == nullptr ? kFileNameSize
                                    : static_cast<size_t>(static_cast<const char*>(end) - path));
}

// A slot names block i as i + 1, so that a slot of zeros, as a file grown
// back after a cut reads, is empty. The top bit of the word is the slot's
// crowded mark as a home, which stays with the slot when entries move.
struct SlotCode {
  static constexpr uint32_t kEmpty = 0;
  static constexpr uint32_t kCrowded = 0x80000000u;
  static uint32_t Of(int32_t block) { return static_cast<uint32_t>(block) + 1; }
  static uint32_t EntryOf(uint32_t word) { return word & ~kCrowded; }
  static bool Crowded(uint32_t word) { return (word & kCrowded) != 0; }
  // The block a taken slot names: may be out of range in a damaged table.
  static int64_t BlockOf(uint32_t word) { return static_cast<int64_t>(EntryOf(word)) - 1; }
};

// A slot's part of its line's check: 0 for a slot of zeros, else a mix of
// its position and its whole value, so that a slot moved, changed or
// cleared changes the check.
constexpr uint64_t kPlaceStep = 0x9E3779B97F4A7C15ull;
uint64_t SlotMix(uint64_t place, uint64_t value) {
  // One multiply and no branch: the check of a line is on the way of every
  // "absent" answer.
  const uint64_t x = (value ^ place) * 0xBF58476D1CE4E5B9ull;
  const uint64_t none = 0 - static_cast<uint64_t>(value != 0);  // all ones, or 0 for zeros
  return (x ^ (x >> 31)) & none;
}
// The mix of slot `at` holding `hash` and `word`.
uint64_t SlotMix(uint32_t at, uint32_t hash, uint32_t word) {
  return SlotMix((uint64_t{at} + 1) * kPlaceStep, (uint64_t{hash} << 32) | word);
}

// The check of a line of empty slots: never zero, so that a line of zeros
// (lost, cut, or never written by this release) does not match.
uint64_t EmptyLineCheck(uint32_t line) {
  const uint64_t x = (uint64_t{line} + 0x5157u) * 0xD6E8FEB86659FD93ull;
  return (x ^ (x >> 32)) | 1u;
}

uint32_t NextSlot(uint32_t at) { return at + 1 == LookupTable::kSlotCount ? 0 : at + 1; }

bool SamePath(const ImageFileBlock& b, const char* path) {
  return std::strncmp(b.ImageFileName, path, kFileNameSize) == 0;
}

}  // namespace

struct LookupTable::Header {
  char Magic[32];
  uint32_t SlotCount;
  uint32_t Fresh;
  int32_t Waiters;  // changed with atomic operations only
  int32_t TotalFileCount;
  int64_t CacheSize;
  int32_t FirstValidBlock;
  int32_t LastValidBlock;
  int32_t FirstInvalidBlock;
  int32_t LastInvalidBlock;
  // Up to here the fields and their offsets are those of the previous
  // release, which shares this file; what follows is this release's own.
  uint32_t Epoch;        // changed by every rebuild
  uint32_t ChangeCount;  // the last stamp given
  PassBounds Bounds;
  uint32_t ListedMark;  // the index's ListedMark the table was built with
  // Up to here the fields and their offsets are those of the previous
  // release too (magic text v3), which writes them; what follows is new.
  uint32_t CrowdedHomes;  // home slots marked crowded since the rebuild
  // Listed entries not in the slots: crowded paths, and blocks without a
  // path (only in a damaged index).
  int32_t LeftOut;
  uint32_t HeaderPad;
  // The cache's counters, by Counter; the places after kCounterCount are
  // zero, room for more. Every access is a relaxed atomic one (under the
  // lock a plain load and store; without it an atomic add), as processes
  // that do not hold the lock add to some of them.
  uint64_t Counters[14];
  int64_t CountingSince;  // 0: not known yet
  int64_t CountersReset;  // 0: never zeroed on request
  // ---- What ties the table to the index's stops and to the machine's
  // starts (see IndexFileHeader::StopGeneration), written with every stamp
  // (End): the start of the machine the last stamping process ran in, and
  // the index's StopGeneration it was stamped under.
  uint8_t WriterBoot[16];
  uint32_t Generation;
  // The time of the last sync of both files, seconds since 1970 (claimed
  // with a compare-exchange, so that one process syncs per second), and
  // whether a holder of the index lock let it go since that sync was
  // claimed (changed with atomic operations only).
  uint32_t Unsynced;
  int64_t SyncTime;
  // ---- Reserved, zero: room for what later work keeps here, so that
  // the layout of this file changes once. Nothing reads the wake-up word yet.
  uint32_t ReservedWakeWord;  // a wake-up word for lock waiters
  uint32_t ReconcilePad;      // reserved, zero
  // ---- The agreement of the index with the disk after a restart (see
  // ReconciliationPending), kept apart from everything a rebuild renews:
  // when the process reconciling claimed it, seconds since 1970 (0: no
  // claim; taken with a compare-exchange), and the start of the machine
  // whose reconciliation finished.
  int64_t ReconcileClaim;
  uint8_t ReconciledBoot[16];
  uint32_t ReservedWords[926];  // reserved, zero
};
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t), "lock-free word in shared memory");
static_assert(sizeof(std::atomic<uint64_t>) == sizeof(uint64_t) &&
                  std::atomic<uint64_t>::is_always_lock_free,
              "lock-free counters in shared memory");

namespace {

std::atomic<uint64_t>& AtomicWord(uint64_t& word) {
  return *reinterpret_cast<std::atomic<uint64_t>*>(&word);
}
const std::atomic<uint64_t>& AtomicWord(const uint64_t& word) {
  return *reinterpret_cast<const std::atomic<uint64_t>*>(&word);
}
std::atomic<int64_t>& AtomicWord(int64_t& word) {
  return *reinterpret_cast<std::atomic<int64_t>*>(&word);
}
const std::atomic<int64_t>& AtomicWord(const int64_t& word) {
  return *reinterpret_cast<const std::atomic<int64_t>*>(&word);
}

}  // namespace

const size_t LookupTable::kFileSize = kHeaderSize + kSlotsSize + kNotesSize;

LookupTable::LookupTable(const std::string& path) {
  static_assert(offsetof(Header, Waiters) == 40, "waiters where the previous release has them");
  static_assert(offsetof(Header, Epoch) == 72,
                "this release's fields after the previous release's");
  static_assert(offsetof(Header, ListedMark) == 184, "the previous release's fields");
  static_assert(offsetof(Header, Counters) == 200, "counters past every earlier release's fields");
  static_assert(kCounterCount <= sizeof(Header::Counters) / sizeof(uint64_t), "room for each");
  static_assert(offsetof(Header, ReservedWakeWord) % 4 == 0, "wake-up word aligned");
  static_assert(sizeof(Line) == 64, "a slot line is a cache line");
  static_assert(offsetof(Header, WriterBoot) == 328 && offsetof(Header, SyncTime) == 352,
                "the stop and sync fields in the room reserved for them");
  static_assert(offsetof(Header, SyncTime) % 8 == 0 && offsetof(Header, Unsynced) % 4 == 0,
                "atomic words aligned");
  static_assert(offsetof(Header, ReservedWakeWord) == 360,
                "the wake-up word where it was reserved");
  static_assert(offsetof(Header, ReconcileClaim) == 368 && offsetof(Header, ReconciledBoot) == 376,
                "the reconciliation's fields in the reserved room, the claim aligned");
  static_assert(sizeof(Header) == kHeaderSize, "table header size");
  // The mapping's name carries the table's version, so that releases whose
  // tables differ never share a mapping object where names matter
  // (Windows): an earlier release's mapping may be shorter than this one.
  // All map the same file, so all see each other's stores.
  const std::string mapping_name = path + ":4";
  platform::env()
      .OpenSharedFile(path, MakeObjectName(kMappingPrefix, mapping_name.c_str()), kFileSize,
                      std::string(kLookupMagic, sizeof(kLookupMagic)), &file_)
      .ThrowIfFailed();
  // Only a table that still had its header can have lost slots to the cut;
  // one without (a new file among them) is stale by its header alone, and
  // a rebuild by another process since needs no second one from this.
  found_short_ = file_->GrownAtOpen() && Formatted();
  // Unknown, it stays all zeros: restarts are then told by the index's
  // stop mark alone.
  const platform::BootId boot = platform::env().BootIdentity();
  if (boot.known) std::memcpy(boot_, boot.bytes, sizeof(boot_));
  boot_known_ = boot.known;
}

LookupTable::Header* LookupTable::header() { return reinterpret_cast<Header*>(file_->data()); }
const LookupTable::Header* LookupTable::header() const {
  return reinterpret_cast<const Header*>(file_->data());
}
LookupTable::Line* LookupTable::lines() const {
  return reinterpret_cast<Line*>(file_->data() + kHeaderSize);
}
BlockNote* LookupTable::notes() const {
  return reinterpret_cast<BlockNote*>(file_->data() + kHeaderSize + kSlotsSize);
}

bool LookupTable::Formatted() const {
  return std::memcmp(header()->Magic, kLookupMagic, sizeof(kLookupMagic)) == 0;
}

bool LookupTable::InSync(const IndexFileHeader& h) const {
  return StampedWith(h) && StampedInThisBoot();
}

bool LookupTable::StampedInThisBoot() const {
  return Formatted() && std::memcmp(header()->WriterBoot, boot_, sizeof(boot_)) == 0;
}

// The start a stamp recorded is read whatever the magic says: an earlier
// release that rewrites the table in its own format leaves this word, past
// its fields, as this release's last stamp left it.
bool LookupTable::WrittenInThisBoot() const {
  return boot_known_ && std::memcmp(header()->WriterBoot, boot_, sizeof(boot_)) == 0;
}

bool LookupTable::StampedWith(const IndexFileHeader& h) const {
  const Header& t = *header();
  return t.Fresh == 1 && t.SlotCount == kSlotCount && t.Generation == h.StopGeneration &&
         std::memcmp(t.Magic, kLookupMagic, sizeof(kLookupMagic)) == 0 && h.ListedMark != 0 &&
         t.ListedMark == h.ListedMark && t.TotalFileCount == h.TotalFileCount &&
         t.CacheSize == h.CacheSize && t.FirstValidBlock == h.FirstValidBlock &&
         t.LastValidBlock == h.LastValidBlock && t.FirstInvalidBlock == h.FirstInvalidBlock &&
         t.LastInvalidBlock == h.LastInvalidBlock;
}

int32_t LookupTable::Rebuild(const IndexFileHeader& h, ImageFileBlock* blocks) {
  Begin();
  // Whatever was proved with the stamps of the table before no longer is.
  header()->Epoch += 1;
  InvalidateBounds();
  // Stores the cache keeps (a memset of this size may bypass it), so that
  // the inserts below find their slots at hand.
  Line* l = lines();
  for (uint32_t line = 0; line < kLineCount; ++line) {
    for (Slot& slot : l[line].slots) slot = Slot{0, SlotCode::kEmpty};
    l[line].check = EmptyLineCheck(line);
  }
  Header& t = *header();
  t.CrowdedHomes = 0;
  t.LeftOut = 0;
  int32_t listed = 0;
  bool inserts_ok = true;
  // The crowded paths by their keyed hash (taken while the block is at
  // hand), compared once the walk is done.
  std::vector<KeyedBlock> left_out;
  std::vector<uint32_t> crowded_homes;
  const WalkResult r = WalkValidList(h, blocks, Toward::kTail, [&](int32_t at) {
    // Sealed as listed with the mark: a block written by a process that
    // keeps no seals passes from here on. A block already sealed so is not
    // written, so that its page stays clean.
    const uint32_t seal = ListedSeal(h.ListedMark, blocks[at]);
    if (blocks[at].Reserved != seal) blocks[at].Reserved = seal;
    // A block without a path no lookup asks for stays out of the table.
    std::string_view path;
    if (!ListedPath(blocks[at], &path)) {
      t.LeftOut += 1;
      return true;
    }
    const uint32_t hash = Fnv1a(path.data(), path.size());  // HashPath, the end known
    const uint32_t before = t.CrowdedHomes;
    switch (Place(blocks, blocks[at].ImageFileName, hash, at)) {
      case Placed::kInTable:
        break;
      case Placed::kCrowded:
        left_out.emplace_back(ProcessKeyedHash(path), at);
        if (t.CrowdedHomes != before) crowded_homes.push_back(HomeOf(hash));
        break;
      case Placed::kTwice:
        inserts_ok = false;
        return false;
    }
    ++listed;
    return true;
  });
  // A list that does not hold together, or that lists a path twice, is
  // left to the repair: the table stays stale and lookups walk.
  if (r.damaged() || !inserts_ok || CrowdedListedTwice(blocks, &left_out, crowded_homes)) {
    return -1;
  }
  std::memcpy(t.Magic, kLookupMagic, sizeof(kLookupMagic));
  t.SlotCount = kSlotCount;
  End(h);
  return listed;
}

bool LookupTable::CrowdedListedTwice(const ImageFileBlock* blocks,
                                     std::vector<KeyedBlock>* left_out,
                                     const std::vector<uint32_t>& crowded_homes) const {
  if (left_out->empty()) return false;
  // A path left out meets its twin either among the others left out or
  // among the entries of its home that got in before the home was marked.
  for (const uint32_t home : crowded_homes) {
    for (uint32_t k = 0, at = home; k < kProbeLimit; ++k, at = NextSlot(at)) {
      const Slot slot = SlotAt(at);
      if (SlotCode::EntryOf(slot.Entry) == SlotCode::kEmpty) break;
      const int64_t b = SlotCode::BlockOf(slot.Entry);
      std::string_view path;
      if (HomeOf(slot.Hash) == home && b >= 0 && b < kBlockCount && ListedPath(blocks[b], &path)) {
        left_out->emplace_back(ProcessKeyedHash(path), static_cast<int32_t>(b));
      }
    }
  }
  // Sorted by a keyed hash, equal paths are neighbours; paths of equal
  // keyed hash are compared (in effect, only equal ones have one).
  std::vector<KeyedBlock>& keyed = *left_out;
  std::sort(keyed.begin(), keyed.end());
  for (size_t i = 0; i < keyed.size(); ++i) {
    for (size_t j = i + 1; j < keyed.size() && keyed[j].first == keyed[i].first; ++j) {
      if (keyed[j].second != keyed[i].second &&
          SamePath(blocks[keyed[i].second], blocks[keyed[j].second].ImageFileName)) {
        return true;
      }
    }
  }
  return false;
}

LookupTable::Answer LookupTable::Find(const IndexFileHeader& h, const ImageFileBlock* blocks,
                                      const char* path, int32_t* block) const {
  const uint32_t hash = HashPath(path);
  const uint32_t home = HomeOf(hash);
  uint32_t last = home;
  int32_t found = kNoBlock;
  // No entry lies kProbeLimit slots or more from its home.
  for (uint32_t k = 0, at = home; k < kProbeLimit; ++k, at = NextSlot(at)) {
    const Slot slot = SlotAt(at);
    last = at;
    if (SlotCode::EntryOf(slot.Entry) == SlotCode::kEmpty) break;
    if (slot.Hash != hash) continue;
    const int64_t b = SlotCode::BlockOf(slot.Entry);
    if (b < 0 || b >= kBlockCount) return Answer::kDamaged;
    const ImageFileBlock& named = blocks[b];
    if (!SamePath(named, path)) {
      // Two listed paths may share a hash; a slot whose block holds a path
      // of another hash does not describe its block.
      if (HashPath(named.ImageFileName) != hash) return Answer::kDamaged;
      continue;
    }
    // Only a block on the valid list carries the mark.
    if (!CarriesListedMark(h, named) || found == b) return Answer::kDamaged;
    if (found != kNoBlock) return Answer::kListedTwice;
    found = static_cast<int32_t>(b);
  }
  if (found == kNoBlock) {
    // "Absent" holds only if the slots read are those the table wrote:
    // every line the probe read matches its check (a probe that wrapped
    // read the lines from the home's to the last and the first one).
    for (uint32_t line = home / kLineSlots;; line = line + 1 == kLineCount ? 0 : line + 1) {
      if (!LineMatches(line)) return Answer::kUnproven;
      if (line == last / kLineSlots) break;
    }
    return SlotCode::Crowded(SlotAt(home).Entry) ? Answer::kCrowded : Answer::kAbsent;
  }
  // The block must sit where a valid-list block can: its neighbours link
  // back to it, and an end of it is an end of the valid list.
  const ImageFileBlock& b = blocks[found];
  const bool left_ok = b.LeftNode == kNoBlock
                           ? found == h.FirstValidBlock
                           : BlockInRange(b.LeftNode) && blocks[b.LeftNode].RightNode == found;
  const bool right_ok = b.RightNode == kNoBlock
                            ? found == h.LastValidBlock
                            : BlockInRange(b.RightNode) && blocks[b.RightNode].LeftNode == found;
  if (!left_ok || !right_ok) return Answer::kDamaged;
  *block = found;
  return Answer::kFound;
}

bool LookupTable::LineMatches(uint32_t line, uint32_t* taken) const {
  return LineMatches(lines()[line], line, taken);
}

bool LookupTable::LineMatches(const Line& l, uint32_t line, uint32_t* taken) {
  // The places of the line's slots step by a constant: no multiply for
  // them, and the seven mixes are independent of each other.
  uint64_t place = (uint64_t{line} * kLineSlots + 1) * kPlaceStep;
  uint64_t check = EmptyLineCheck(line);
  uint32_t count = 0;
  for (uint32_t k = 0; k < kLineSlots; ++k, place += kPlaceStep) {
    const Slot slot = l.slots[k];
    check ^= SlotMix(place, (uint64_t{slot.Hash} << 32) | slot.Entry);
    count += static_cast<uint32_t>((slot.Entry & ~SlotCode::kCrowded) != 0);
  }
  if (taken != nullptr) *taken = count;
  return check == l.check;
}

bool LookupTable::ProvesEachPathOnce(const IndexFileHeader& h) const {
  if (!InSync(h)) return false;
  int64_t taken = 0;
  const Line* l = lines();
  for (uint32_t line = 0; line < kLineCount; ++line) {
    uint32_t count = 0;
    if (!LineMatches(l[line], line, &count)) return false;
    taken += count;
  }
  return header()->LeftOut >= 0 && taken + header()->LeftOut == h.TotalFileCount;
}

uint32_t LookupTable::CrowdedHomes() const { return header()->CrowdedHomes; }

bool LookupTable::RecoverTruncation(bool look_at_length) {
  if (found_short_) {
    // Grown back with zeros at open: stale, unless there was no table yet.
    found_short_ = false;
    if (Formatted()) {
      Begin();
      return true;
    }
  }
  if (!file_->CheckTruncated(look_at_length)) return false;
  // Whatever the view read meanwhile was zeros: grown back, the table is
  // stale until the next rebuild.
  if (file_->Restore()) Begin();
  return true;
}

void LookupTable::Begin() {
  header()->Fresh = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void LookupTable::Put(uint32_t at, Slot value) {
  Line& line = lines()[at / kLineSlots];
  Slot& slot = line.slots[at % kLineSlots];
  line.check ^= SlotMix(at, slot.Hash, slot.Entry) ^ SlotMix(at, value.Hash, value.Entry);
  slot = value;
}

void LookupTable::MarkCrowded(uint32_t home) {
  const Slot slot = SlotAt(home);
  if (SlotCode::Crowded(slot.Entry)) return;
  Put(home, Slot{slot.Hash, slot.Entry | SlotCode::kCrowded});
  header()->CrowdedHomes += 1;
}

LookupTable::Placed LookupTable::Place(const ImageFileBlock* blocks, const char* path,
                                       uint32_t hash, int32_t block) {
  const uint32_t home = HomeOf(hash);
  if (!SlotCode::Crowded(SlotAt(home).Entry)) {
    for (uint32_t k = 0, at = home; k < kProbeLimit; ++k, at = NextSlot(at)) {
      const Slot slot = SlotAt(at);
      if (SlotCode::EntryOf(slot.Entry) == SlotCode::kEmpty) {
        Put(at, Slot{hash, SlotCode::Of(block) | (slot.Entry & SlotCode::kCrowded)});
        return Placed::kInTable;
      }
      const int64_t other = SlotCode::BlockOf(slot.Entry);
      if (slot.Hash == hash && other >= 0 && other < kBlockCount && other != block &&
          SamePath(blocks[other], path)) {
        return Placed::kTwice;
      }
    }
    MarkCrowded(home);
  }
  header()->LeftOut += 1;
  return Placed::kCrowded;
}

bool LookupTable::Insert(const ImageFileBlock* blocks, const char* path, int32_t block) {
  return Place(blocks, path, HashPath(path), block) != Placed::kTwice;
}

void LookupTable::Erase(const char* path, int32_t block) {
  const uint32_t hash = HashPath(path);
  const uint32_t entry = SlotCode::Of(block);
  uint32_t hole = HomeOf(hash);
  uint32_t k = 0;
  for (; k < kProbeLimit; ++k, hole = NextSlot(hole)) {
    if (SlotCode::EntryOf(SlotAt(hole).Entry) == SlotCode::kEmpty) break;
    if (SlotCode::EntryOf(SlotAt(hole).Entry) == entry) break;
  }
  if (k == kProbeLimit || SlotCode::EntryOf(SlotAt(hole).Entry) != entry) {
    // Left out of the table (crowded, or without a path).
    if (header()->LeftOut > 0) header()->LeftOut -= 1;
    return;
  }
  // Backward shift: move later entries of the run into the hole when the
  // hole lies between their home slot and where they are; each entry only
  // comes nearer its home. The crowded marks stay with their slots.
  const auto entry_with_mark = [&](uint32_t word, uint32_t at) {
    return SlotCode::EntryOf(word) | (SlotAt(at).Entry & SlotCode::kCrowded);
  };
  for (uint32_t at = NextSlot(hole), n = 0; n < kSlotCount; ++n, at = NextSlot(at)) {
    const Slot slot = SlotAt(at);
    if (SlotCode::EntryOf(slot.Entry) == SlotCode::kEmpty) break;
    const uint32_t home = HomeOf(slot.Hash);
    const bool movable = hole <= at ? (home <= hole || home > at) : (home <= hole && home > at);
    if (movable) {
      Put(hole, Slot{slot.Hash, entry_with_mark(slot.Entry, hole)});
      hole = at;
    }
  }
  Put(hole, Slot{0, SlotAt(hole).Entry & SlotCode::kCrowded});
}

void LookupTable::End(const IndexFileHeader& h) {
  Header& t = *header();
  t.TotalFileCount = h.TotalFileCount;
  t.CacheSize = h.CacheSize;
  t.FirstValidBlock = h.FirstValidBlock;
  t.LastValidBlock = h.LastValidBlock;
  t.FirstInvalidBlock = h.FirstInvalidBlock;
  t.LastInvalidBlock = h.LastInvalidBlock;
  t.ListedMark = h.ListedMark;
  t.Generation = h.StopGeneration;
  std::memcpy(t.WriterBoot, boot_, sizeof(boot_));
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t.Fresh = 1;
}

namespace {

std::atomic<int64_t>& SharedTime(int64_t& word) {
  static_assert(sizeof(std::atomic<int64_t>) == sizeof(int64_t), "lock-free word");
  return *reinterpret_cast<std::atomic<int64_t>*>(&word);
}
std::atomic<uint32_t>& SharedFlag(uint32_t& word) {
  return *reinterpret_cast<std::atomic<uint32_t>*>(&word);
}

}  // namespace

void LookupTable::NoteUnsynced() {
  std::atomic<uint32_t>& flag = SharedFlag(header()->Unsynced);
  // Read first: a lock that changed nothing need not store.
  if (flag.load(std::memory_order_relaxed) == 0) flag.store(1, std::memory_order_release);
}

bool LookupTable::Unsynced() const {
  return SharedFlag(const_cast<Header*>(header())->Unsynced).load(std::memory_order_acquire) != 0;
}

bool LookupTable::ClaimSync(int64_t now, bool force) {
  std::atomic<int64_t>& time = SharedTime(header()->SyncTime);
  std::atomic<uint32_t>& unsynced = SharedFlag(header()->Unsynced);
  int64_t last = time.load(std::memory_order_acquire);
  if (!force) {
    // A clock set back makes the time due at once rather than never. The
    // time is read from the file, which anyone may have written: compared
    // without a subtraction that could overflow.
    if (last <= now && last > now - kSyncPeriodSeconds) return false;
    if (unsynced.load(std::memory_order_acquire) == 0) return false;
    // Another process claimed this turn.
    if (!time.compare_exchange_strong(last, now, std::memory_order_acq_rel)) return false;
  } else {
    time.store(now, std::memory_order_release);
  }
  // Cleared before the sync starts: whatever a holder changes from now on
  // marks it again.
  unsynced.store(0, std::memory_order_release);
  return true;
}

bool LookupTable::Flush() { return file_->Flush(); }

uint32_t LookupTable::Epoch() const { return header()->Epoch; }

uint32_t LookupTable::Stamp(int32_t block) const { return notes()[block].Stamp; }

void LookupTable::Touch(int32_t block) {
  BlockNote& note = notes()[block];
  note.Stamp = ++header()->ChangeCount;
  note.RefusedBy = 0;
}

BlockNote& LookupTable::Note(int32_t block) { return notes()[block]; }
const BlockNote& LookupTable::Note(int32_t block) const { return notes()[block]; }

PassBounds LookupTable::Bounds() const { return header()->Bounds; }

void LookupTable::SetBounds(const PassBounds& bounds) {
  // Valid goes in last, so that bounds half written by a process that died
  // are not used.
  PassBounds& b = header()->Bounds;
  b.Valid = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const uint32_t valid = bounds.Valid;
  b = bounds;
  b.Valid = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  b.Valid = valid;
}

void LookupTable::LowerBounds(int64_t now, int64_t delay) {
  header()->Bounds = LoweredBounds(header()->Bounds, now, delay);
}

void LookupTable::InvalidateBounds() { header()->Bounds.Valid = 0; }

void LookupTable::Count(Counter c, uint64_t n) {
  // Under the lock no other process writes this counter: a load and a
  // store, no locked instruction on the way of every registration.
  std::atomic<uint64_t>& word = AtomicWord(header()->Counters[static_cast<uint32_t>(c)]);
  word.store(word.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void LookupTable::CountUnlocked(Counter c, uint64_t n) {
  AtomicWord(header()->Counters[static_cast<uint32_t>(c)]).fetch_add(n, std::memory_order_relaxed);
}

CounterValues LookupTable::Counters() const {
  CounterValues v;
  const Header& t = *header();
  for (uint32_t k = 0; k < kCounterCount; ++k) {
    v.value[k] = AtomicWord(t.Counters[k]).load(std::memory_order_relaxed);
  }
  v.counting_since = AtomicWord(t.CountingSince).load(std::memory_order_relaxed);
  v.last_reset = AtomicWord(t.CountersReset).load(std::memory_order_relaxed);
  return v;
}

void LookupTable::ZeroCounters(int64_t now) {
  Header& t = *header();
  for (uint64_t& word : t.Counters) AtomicWord(word).store(0, std::memory_order_relaxed);
  AtomicWord(t.CountersReset).store(now, std::memory_order_relaxed);
  NoteCountingStart(now);
}

void LookupTable::RestartCounters(int64_t now) {
  ZeroCounters(0);
  AtomicWord(header()->CountingSince).store(now, std::memory_order_relaxed);
}

bool LookupTable::CountingStartKnown() const {
  return AtomicWord(header()->CountingSince).load(std::memory_order_relaxed) != 0;
}

void LookupTable::NoteCountingStart(int64_t now) {
  std::atomic<int64_t>& since = AtomicWord(header()->CountingSince);
  if (since.load(std::memory_order_relaxed) == 0) since.store(now, std::memory_order_relaxed);
}

bool LookupTable::ReconciliationPending() const {
  return boot_known_ && std::memcmp(header()->ReconciledBoot, boot_, sizeof(boot_)) != 0;
}

void LookupTable::MarkReconciled() { std::memcpy(header()->ReconciledBoot, boot_, sizeof(boot_)); }

bool LookupTable::ClaimReconciliation(int64_t now, int64_t* claim) {
  std::atomic<int64_t>& word = AtomicWord(header()->ReconcileClaim);
  int64_t held = word.load(std::memory_order_acquire);
  // A claim is another process's while it is younger than the takeover
  // time; one from the future (a clock set back, or a forged value) is
  // taken over at once. Compared without a subtraction that could
  // overflow: the word is read from the file.
  if (held != 0 && held <= now && held > now - kReconcileClaimSeconds) return false;
  if (!word.compare_exchange_strong(held, now, std::memory_order_acq_rel)) return false;
  *claim = now;
  return true;
}

void LookupTable::EndReconciliation(int64_t claim, bool finished, int64_t now) {
  if (finished) MarkReconciled();
  // Given back only while it is still this claim: one taken over since
  // is the other process's. Unfinished, it is left as a claim that runs
  // out kReconcileRetrySeconds from now, so that a reconciliation that
  // cannot finish (a full index) is not tried again in every pass.
  int64_t held = claim;
  const int64_t next = finished ? 0 : now - kReconcileClaimSeconds + kReconcileRetrySeconds;
  AtomicWord(header()->ReconcileClaim)
      .compare_exchange_strong(held, next, std::memory_order_acq_rel);
}

int32_t LookupTable::Waiters() const {
  return reinterpret_cast<const std::atomic<int32_t>*>(&header()->Waiters)
      ->load(std::memory_order_relaxed);
}

void LookupTable::AddWaiter(int32_t delta) {
  reinterpret_cast<std::atomic<int32_t>*>(&header()->Waiters)
      ->fetch_add(delta, std::memory_order_relaxed);
}

}  // namespace stow
