#include "index/lookup_table.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "index/hash.h"
#include "index/list_walk.h"
#include "index/object_name.h"

namespace stow {

const char kLookupFileName[] = "Index.Lkp";

namespace {

constexpr char kLookupMagic[] = "Stowmaster lookup table v3\n";
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
// back after a cut reads, is empty.
struct SlotCode {
  static constexpr uint32_t kEmpty = 0;
  static uint32_t Of(int32_t block) { return static_cast<uint32_t>(block) + 1; }
  // The block a taken slot names: may be out of range in a damaged table.
  static int64_t BlockOf(uint32_t entry) { return static_cast<int64_t>(entry) - 1; }
};

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
};
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t), "lock-free word in shared memory");

const size_t LookupTable::kFileSize = kHeaderSize + kSlotsSize + kNotesSize;

LookupTable::LookupTable(const std::string& path) {
  static_assert(offsetof(Header, Waiters) == 40, "waiters where the previous release has them");
  static_assert(offsetof(Header, Epoch) == 72,
                "this release's fields after the previous release's");
  static_assert(sizeof(Header) <= kHeaderSize, "table header size");
  // The mapping's name carries the table's version, so that releases whose
  // tables differ never share a mapping object where names matter
  // (Windows): an earlier release's mapping may be shorter than this one.
  // All map the same file, so all see each other's stores.
  const std::string mapping_name = path + ":3";
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
         t.ListedMark == h.ListedMark &&
         t.TotalFileCount == h.TotalFileCount && t.CacheSize == h.CacheSize &&
         t.FirstValidBlock == h.FirstValidBlock && t.LastValidBlock == h.LastValidBlock &&
         t.FirstInvalidBlock == h.FirstInvalidBlock && t.LastInvalidBlock == h.LastInvalidBlock;
}

int32_t LookupTable::Rebuild(const IndexFileHeader& h, ImageFileBlock* blocks) {
  Begin();
  // Whatever was proved with the stamps of the table before no longer is.
  header()->Epoch += 1;
  InvalidateBounds();
  Slot* s = slots();
  for (uint32_t k = 0; k < kSlotCount; ++k) s[k] = Slot{0, SlotCode::kEmpty};
  int32_t inserted = 0;
  bool inserts_ok = true;
  const WalkResult r = WalkValidList(h, blocks, Toward::kTail, [&](int32_t at) {
    blocks[at].Reserved = h.ListedMark;
    // A block without a path no lookup asks for stays out of the table.
    std::string_view path;
    if (!ListedPath(blocks[at], &path)) return true;
    inserts_ok = Insert(blocks, blocks[at].ImageFileName, at);
    if (inserts_ok) ++inserted;
    return inserts_ok;
  });
  // A list that does not hold together, or that lists a path twice, is
  // left to the repair: the table stays stale and lookups walk.
  if (r.damaged() || !inserts_ok) return -1;
  Header& t = *header();
  std::memcpy(t.Magic, kLookupMagic, sizeof(kLookupMagic));
  t.SlotCount = kSlotCount;
  End(h);
  return inserted;
}

LookupTable::Answer LookupTable::Find(const IndexFileHeader& h, const ImageFileBlock* blocks,
                                      const char* path, int32_t* block) const {
  const uint32_t hash = HashPath(path);
  const Slot* s = slots();
  int32_t found = kNoBlock;
  // The table never holds more entries than there are blocks: a longer run
  // of taken slots was not written by a rebuild and its inserts.
  for (uint32_t k = 0, at = hash & (kSlotCount - 1); k < kSlotCount;
       ++k, at = (at + 1) & (kSlotCount - 1)) {
    const Slot slot = s[at];
    if (slot.Entry == SlotCode::kEmpty) break;
    if (k >= static_cast<uint32_t>(kBlockCount)) return Answer::kDamaged;
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
  if (found == kNoBlock) return Answer::kAbsent;
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

bool LookupTable::Insert(const ImageFileBlock* blocks, const char* path, int32_t block) {
  const uint32_t hash = HashPath(path);
  Slot* s = slots();
  for (uint32_t k = 0, at = hash & (kSlotCount - 1); k < kSlotCount && k <= kBlockCount;
       ++k, at = (at + 1) & (kSlotCount - 1)) {
    const Slot slot = s[at];
    if (slot.Entry == SlotCode::kEmpty) {
      s[at] = Slot{hash, SlotCode::Of(block)};
      return true;
    }
    const int64_t other = SlotCode::BlockOf(slot.Entry);
    if (slot.Hash == hash && other >= 0 && other < kBlockCount && other != block &&
        SamePath(blocks[other], path)) {
      return false;
    }
  }
  return false;
}

void LookupTable::Erase(const char* path, int32_t block) {
  const uint32_t hash = HashPath(path);
  const uint32_t entry = SlotCode::Of(block);
  Slot* s = slots();
  const uint32_t mask = kSlotCount - 1;
  uint32_t hole = hash & mask;
  uint32_t k = 0;
  for (; k < kSlotCount; ++k, hole = (hole + 1) & mask) {
    if (s[hole].Entry == SlotCode::kEmpty) return;  // not in the table
    if (s[hole].Entry == entry) break;
  }
  if (k == kSlotCount) return;
  // Backward shift: move later entries of the run into the hole when the
  // hole lies between their home slot and where they are.
  for (uint32_t at = (hole + 1) & mask, n = 0; n < kSlotCount; ++n, at = (at + 1) & mask) {
    if (s[at].Entry == SlotCode::kEmpty) break;
    const uint32_t home = s[at].Hash & mask;
    const bool movable = hole <= at ? (home <= hole || home > at) : (home <= hole && home > at);
    if (movable) {
      s[hole] = s[at];
      hole = at;
    }
  }
  s[hole] = Slot{0, SlotCode::kEmpty};
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
