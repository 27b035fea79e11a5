#include "index/lookup_table.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <random>
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
constexpr size_t kSlotsSize = size_t{8} * LookupTable::kSlotCount;
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

// A slot's part of its page's check: 0 for a slot of zeros, else a mix of
// its position and its whole value, so that a slot moved, changed or
// cleared changes the sum.
uint32_t SlotMix(uint32_t at, uint32_t hash, uint32_t word) {
  const uint64_t value = (uint64_t{hash} << 32) | word;
  // One multiply and no branch: the check of a whole page is on the way of
  // every "absent" answer.
  const uint64_t x = (value ^ ((uint64_t{at} + 1) * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
  const uint32_t none = value == 0 ? 0u : ~0u;
  return static_cast<uint32_t>(x >> 32) & none;
}

// The key of the hash that compares crowded paths, chosen once per
// process: never written anywhere, so paths cannot be crafted against it.
struct ProcessKey {
  uint64_t k0;
  uint64_t k1;
};
const ProcessKey& Key() {
  static const ProcessKey key = [] {
    const uint64_t t =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    int local = 0;
    const uint64_t where = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local));
    ProcessKey k{t, where * 0x9E3779B97F4A7C15ull};
    try {
      std::random_device device;
      const auto draw = [&device] { return (uint64_t{device()} << 32) ^ device(); };
      k.k0 ^= draw();
      k.k1 ^= draw();
    } catch (...) {
      // No source of randomness: the clock and the stack's place stay.
    }
    return k;
  }();
  return key;
}

uint64_t KeyedHash(std::string_view path) {
  const ProcessKey& key = Key();
  return SipHash13(key.k0, key.k1, path.data(), path.size());
}

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
  // ---- Reserved, zero: room for what later releases keep here, so that
  // the layout of this file changes once. Nothing reads them yet.
  // Cumulative counters of the cache's life (registrations, deletions,
  // bytes freed, refusals, passes, ...).
  uint64_t ReservedCounters[16];
  uint8_t ReservedWriterBoot[16];  // the boot id of the last writer
  uint64_t ReservedGeneration;     // clean/dirty generation
  int64_t ReservedSyncTime;        // the time of the last sync
  uint32_t ReservedWakeWord;       // a wake-up word for lock waiters
  uint32_t ReservedWords[165];
  // The slot pages' checks: per page, a sum of SlotMix over its slots, and
  // its taken slots (entries, crowded marks alone not counted).
  uint32_t PageSum[LookupTable::kSlotPages];
  uint16_t PageTaken[LookupTable::kSlotPages];
};
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t), "lock-free word in shared memory");

const size_t LookupTable::kFileSize = kHeaderSize + kSlotsSize + kNotesSize;

LookupTable::LookupTable(const std::string& path) {
  static_assert(offsetof(Header, Waiters) == 40, "waiters where the previous release has them");
  static_assert(offsetof(Header, Epoch) == 72,
                "this release's fields after the previous release's");
  static_assert(offsetof(Header, ListedMark) == 184, "the previous release's fields");
  static_assert(offsetof(Header, ReservedCounters) == 200, "reserved room");
  static_assert(offsetof(Header, ReservedWakeWord) % 4 == 0, "wake-up word aligned");
  static_assert(offsetof(Header, PageSum) == 1024, "page checks");
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
}

LookupTable::Header* LookupTable::header() { return reinterpret_cast<Header*>(file_->data()); }
const LookupTable::Header* LookupTable::header() const {
  return reinterpret_cast<const Header*>(file_->data());
}
LookupTable::Slot* LookupTable::slots() const {
  return reinterpret_cast<Slot*>(file_->data() + kHeaderSize);
}
BlockNote* LookupTable::notes() const {
  return reinterpret_cast<BlockNote*>(file_->data() + kHeaderSize + kSlotsSize);
}

bool LookupTable::Formatted() const {
  return std::memcmp(header()->Magic, kLookupMagic, sizeof(kLookupMagic)) == 0;
}

bool LookupTable::InSync(const IndexFileHeader& h) const {
  const Header& t = *header();
  return t.Fresh == 1 && t.SlotCount == kSlotCount &&
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
  Slot* s = slots();
  for (uint32_t k = 0; k < kSlotCount; ++k) s[k] = Slot{0, SlotCode::kEmpty};
  Header& t = *header();
  std::memset(t.PageSum, 0, sizeof(t.PageSum));
  std::memset(t.PageTaken, 0, sizeof(t.PageTaken));
  t.CrowdedHomes = 0;
  t.LeftOut = 0;
  int32_t listed = 0;
  bool inserts_ok = true;
  // The crowded paths by their keyed hash (taken while the block is at
  // hand), compared once the walk is done.
  std::vector<KeyedBlock> left_out;
  std::vector<uint32_t> crowded_homes;
  const WalkResult r = WalkValidList(h, blocks, Toward::kTail, [&](int32_t at) {
    // Sealed as listed with the new mark: a block written by a process
    // that keeps no seals passes from here on.
    blocks[at].Reserved = ListedSeal(h.ListedMark, blocks[at]);
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
        left_out.emplace_back(KeyedHash(path), at);
        if (t.CrowdedHomes != before) crowded_homes.push_back(hash & (kSlotCount - 1));
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
  const Slot* s = slots();
  for (const uint32_t home : crowded_homes) {
    for (uint32_t k = 0; k < kProbeLimit; ++k) {
      const Slot slot = s[(home + k) & (kSlotCount - 1)];
      if (SlotCode::EntryOf(slot.Entry) == SlotCode::kEmpty) break;
      const int64_t b = SlotCode::BlockOf(slot.Entry);
      std::string_view path;
      if ((slot.Hash & (kSlotCount - 1)) == home && b >= 0 && b < kBlockCount &&
          ListedPath(blocks[b], &path)) {
        left_out->emplace_back(KeyedHash(path), static_cast<int32_t>(b));
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
  const Slot* s = slots();
  const uint32_t home = hash & (kSlotCount - 1);
  uint32_t last = home;
  int32_t found = kNoBlock;
  // No entry lies kProbeLimit slots or more from its home.
  for (uint32_t k = 0, at = home; k < kProbeLimit; ++k, at = (at + 1) & (kSlotCount - 1)) {
    const Slot slot = s[at];
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
    // "Absent" holds only if the slots read are those the table wrote.
    const uint32_t first_page = home / kSlotsPerPage;
    const uint32_t last_page = last / kSlotsPerPage;
    if (!PageMatches(first_page) || (last_page != first_page && !PageMatches(last_page))) {
      return Answer::kUnproven;
    }
    return SlotCode::Crowded(s[home].Entry) ? Answer::kCrowded : Answer::kAbsent;
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

bool LookupTable::PageMatches(uint32_t page, uint32_t* taken) const {
  const Slot* s = slots() + size_t{page} * kSlotsPerPage;
  const uint32_t first = page * kSlotsPerPage;
  // Two independent chains, so that the mixes overlap.
  uint32_t sum[2] = {0, 0};
  uint32_t count = 0;
  for (uint32_t k = 0; k < kSlotsPerPage; k += 2) {
    const Slot a = s[k];
    const Slot b = s[k + 1];
    sum[0] ^= SlotMix(first + k, a.Hash, a.Entry);
    sum[1] ^= SlotMix(first + k + 1, b.Hash, b.Entry);
    count += (SlotCode::EntryOf(a.Entry) != SlotCode::kEmpty ? 1u : 0u) +
             (SlotCode::EntryOf(b.Entry) != SlotCode::kEmpty ? 1u : 0u);
  }
  if (taken != nullptr) *taken = count;
  const Header& t = *header();
  return (sum[0] ^ sum[1]) == t.PageSum[page] && count == t.PageTaken[page];
}

bool LookupTable::ProvesEachPathOnce(const IndexFileHeader& h) const {
  if (!InSync(h)) return false;
  int64_t taken = 0;
  for (uint32_t page = 0; page < kSlotPages; ++page) {
    uint32_t count = 0;
    if (!PageMatches(page, &count)) return false;
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
  Slot& slot = slots()[at];
  Header& t = *header();
  const uint32_t page = at / kSlotsPerPage;
  t.PageSum[page] ^= SlotMix(at, slot.Hash, slot.Entry) ^ SlotMix(at, value.Hash, value.Entry);
  const bool was = SlotCode::EntryOf(slot.Entry) != SlotCode::kEmpty;
  const bool is = SlotCode::EntryOf(value.Entry) != SlotCode::kEmpty;
  t.PageTaken[page] = static_cast<uint16_t>(t.PageTaken[page] + (is ? 1 : 0) - (was ? 1 : 0));
  slot = value;
}

void LookupTable::MarkCrowded(uint32_t home) {
  const Slot slot = slots()[home];
  if (SlotCode::Crowded(slot.Entry)) return;
  Put(home, Slot{slot.Hash, slot.Entry | SlotCode::kCrowded});
  header()->CrowdedHomes += 1;
}

LookupTable::Placed LookupTable::Place(const ImageFileBlock* blocks, const char* path,
                                       uint32_t hash, int32_t block) {
  Slot* s = slots();
  const uint32_t home = hash & (kSlotCount - 1);
  if (!SlotCode::Crowded(s[home].Entry)) {
    for (uint32_t k = 0, at = home; k < kProbeLimit; ++k, at = (at + 1) & (kSlotCount - 1)) {
      const Slot slot = s[at];
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
  Slot* s = slots();
  const uint32_t mask = kSlotCount - 1;
  uint32_t hole = hash & mask;
  uint32_t k = 0;
  for (; k < kProbeLimit; ++k, hole = (hole + 1) & mask) {
    if (SlotCode::EntryOf(s[hole].Entry) == SlotCode::kEmpty) break;
    if (SlotCode::EntryOf(s[hole].Entry) == entry) break;
  }
  if (k == kProbeLimit || SlotCode::EntryOf(s[hole].Entry) != entry) {
    // Left out of the table (crowded, or without a path).
    if (header()->LeftOut > 0) header()->LeftOut -= 1;
    return;
  }
  // Backward shift: move later entries of the run into the hole when the
  // hole lies between their home slot and where they are; each entry only
  // comes nearer its home. The crowded marks stay with their slots.
  const auto entry_with_mark = [&](uint32_t word, uint32_t at) {
    return SlotCode::EntryOf(word) | (s[at].Entry & SlotCode::kCrowded);
  };
  for (uint32_t at = (hole + 1) & mask, n = 0; n < kSlotCount; ++n, at = (at + 1) & mask) {
    if (SlotCode::EntryOf(s[at].Entry) == SlotCode::kEmpty) break;
    const uint32_t home = s[at].Hash & mask;
    const bool movable = hole <= at ? (home <= hole || home > at) : (home <= hole && home > at);
    if (movable) {
      Put(hole, Slot{s[at].Hash, entry_with_mark(s[at].Entry, hole)});
      hole = at;
    }
  }
  Put(hole, Slot{0, s[hole].Entry & SlotCode::kCrowded});
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
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t.Fresh = 1;
}

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

int32_t LookupTable::Waiters() const {
  return reinterpret_cast<const std::atomic<int32_t>*>(&header()->Waiters)
      ->load(std::memory_order_relaxed);
}

void LookupTable::AddWaiter(int32_t delta) {
  reinterpret_cast<std::atomic<int32_t>*>(&header()->Waiters)
      ->fetch_add(delta, std::memory_order_relaxed);
}

}  // namespace stow
