// The records of the shared index file, byte for byte. The file is a header
// region followed by a fixed array of blocks; every integer is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stow {

constexpr int32_t kBlockCount = 100000;
constexpr int32_t kHeaderRegionSize = 1000;
constexpr int32_t kBlockSize = 288;
constexpr size_t kIndexFileSize =
    static_cast<size_t>(kHeaderRegionSize) + static_cast<size_t>(kBlockCount) * kBlockSize;
constexpr int32_t kNoBlock = -1;
constexpr size_t kFileNameSize = 260;

// True when `i` names a block: every link read from the file is checked so
// before it is followed.
constexpr bool BlockInRange(int32_t i) { return i >= 0 && i < kBlockCount; }

// The text that marks a formatted index; the bytes after its terminator are
// zero.
extern const char kIndexMagic[];

struct IndexFileHeader {
  char Magic[512];
  int64_t CacheSize;             // bytes in use: sum of FileSize over the valid list
  int32_t TotalFileCount;        // blocks in the valid list
  int32_t ImageFileBlockOffset;  // always 1000
  int32_t ImageFileBlockNum;     // always 100000
  int32_t FirstValidBlock;       // list ends: block indexes, -1 when empty
  int32_t LastValidBlock;
  int32_t FirstInvalidBlock;  // the free list
  int32_t LastInvalidBlock;

  // ---- The reserved area, bytes 548..999: zero at rest (no holder of the
  // index lock), but for ListedMark and StopGeneration. While a holder changes the lists it
  // keeps here what the next holder needs if it dies mid-change.

  // Set while the index lock is held; still set at the next lock means the
  // previous holder died before it finished.
  uint32_t LockMarker;
  // The intent record of the one list operation in progress, an undo log:
  // before the operation changes a word of the lists or the totals, the
  // word's old value is saved in IntentEntries; IntentKind is written once
  // every entry is in place, and cleared (with the entries) once the
  // operation is done. A holder that finds IntentKind set after a death
  // writes the saved values back, so the lists end exactly as before the
  // operation.
  uint32_t IntentKind;   // 0 none, else the IntentKind value of the operation
  int32_t IntentBlock;   // the block the operation moves
  uint32_t IntentCount;  // entries in use
  // The rebuild of the lists in progress. This release rebuilds from the
  // blocks' seals and only relinks, so a rebuild cut short is simply done
  // again (kRebuildFromContent). Earlier releases kept each block's place
  // in the new lists in its reserved word (the plan), which a holder
  // finishes when it finds one complete.
  uint32_t RebuildState;      // 0 none, else a RebuildState value
  int32_t RebuildValidCount;  // blocks of the new valid list
  int32_t RebuildFreeCount;   // blocks of the new free list
  // The mark of the lists' seals (see index/block_seal.h): a block on the
  // valid list holds ListedSeal(ListedMark), the CRC-32C of its content
  // folded with this value, a block on the free list FreeSeal; 0 before the
  // first mark is chosen. Kept at rest: it lets a lookup prove from this
  // file alone that the block the lookup table named is listed and whole.
  // Each rebuild of the lookup table seals the valid list and the free list
  // with it (a listed seal left on a block freed by a writer that keeps no
  // seals is sealed free), and a rebuild of a table file made afresh
  // chooses a new value first, so that change proofs read with the table
  // it replaces fail; the lookup table keeps the value it was built with,
  // which ties it to this file.
  uint32_t ListedMark;
  // How the index last stopped, kept at rest (other releases leave this
  // word alone; a format sets it to 1). Odd: in use since the last clean
  // stop, or never stopped cleanly; even and not 0: stopped cleanly; 0:
  // last used by a release that keeps no such word. Each clean stop and
  // each first use after one counts it up, so that it is also the
  // generation the lookup table is stamped with. The rule:
  //  - A clean stop (IndexFile::MarkCleanStop, at the library's shutdown)
  //    syncs both files, then, under the lock and only when no holder let
  //    go of the lock since that sync began, makes the word even, then
  //    syncs again.
  //  - A holder that finds it even makes it odd, lets go of the lock and
  //    syncs, and takes the lock again, before it changes anything: the
  //    disk never holds a change after a clean mark.
  //  - On open, when the lookup table was last stamped in another start of
  //    the machine (a restart since: what the disk holds is all there is),
  //    the stop counts as clean only when the word is even and the table,
  //    synced with it, is stamped with it and agrees with the lists; else
  //    the index was opened after an unclean stop
  //    (IndexFile::OpenedAfterUncleanStop). Its lists are then rebuilt
  //    from the blocks' seals; but a word of 0 says that a release that
  //    keeps neither the word nor seals kept the index last, and its lists
  //    are trusted as far as the check proves them, while the rebuild of
  //    the lookup table seals them and the word becomes odd.
  uint32_t StopGeneration;
  struct IntentEntry {
    uint32_t Offset;  // byte offset of the saved word in the file
    uint32_t Width;   // 4 or 8
    int64_t Value;    // the word's value before the operation
  } IntentEntries[26];
};

// What an intent record's IntentKind says the operation was.
enum IntentKindValue : uint32_t {
  kIntentNone = 0,
  kIntentAllocate = 0x494E5401,  // a free block becomes the newest entry
  kIntentRefresh = 0x494E5402,   // a listed block moves to the head
  kIntentFree = 0x494E5403,      // a listed block joins the free list
  kIntentResize = 0x494E5404,    // a listed block's size changes
};

// Where a rebuild of the lists stands (RebuildState).
enum RebuildStateValue : uint32_t {
  kRebuildNone = 0,
  kRebuildPlanning = 0x52424C01,     // the plan is being written: start again
  kRebuildRelinking = 0x52424C02,    // the plan is complete: link from it
  kRebuildClearing = 0x52424C03,     // the links are done: clear the plan
  kRebuildFromContent = 0x52424C04,  // relinking from the seals: do it again
};

// A block's reserved word during a rebuild: its 1-based place in the new
// valid list, or kPlanFree plus its 1-based place in the new free list.
constexpr uint32_t kPlanFree = 0x80000000u;

// A block says for itself whether it is listed and whether it is whole:
// its Reserved word is its seal (index/block_seal.h), a CRC-32C of its
// content (name, FileSize, Delay; not the order: links, AccessTime) folded with
// the header's ListedMark, one way for the valid list and another for the
// free list. Every change of a block's content writes the seal after it,
// and the intent record saves the old seal with the old content, so that
// an undo leaves a word that matches what it restores. While an earlier
// release's plan of a list rebuild is being finished, the word holds the
// plan instead; the seals are written again once it is done.
//
// Membership, after the lists no longer hold together or after an unclean
// stop, is decided by the seals: a named block sealed as listed is listed,
// in AccessTime order; the links only order blocks of the same second. A
// block whose seal fails is never listed on the strength of its links
// after an unclean stop, where it may be a block cut between two writes.
//
// Writers that keep no seals (earlier releases) leave blocks whose check
// fails: a block they allocate or resize keeps the word of its old
// content, one they free keeps its listed seal (a refresh keeps a seal). What follows:
//  - Their change leaves the lookup table stale; the next rebuild of the
//    table by this release, before any lookup or pass, seals the valid
//    list and the free list as the links say. From then on their blocks
//    pass.
//  - The lists are trusted while they hold together: neither the check at
//    open nor a lookup frees a block because its seal fails.
//  - A repair of lists that do not hold together, outside an unclean stop
//    (pages of one age: a block's content is whole), also keeps every
//    named block whose seal fails and that the valid list's links prove
//    (reached from its head, each step linked back), unless its word is a
//    free seal. So no block of theirs is freed by a repair.
//  - After an unclean stop where the system tells the start (a restart is
//    not ruled out unless the table places the stop in this start, which
//    it does even after an earlier release rewrote the table in its own
//    format), such a block cannot be told from
//    one cut between two writes, and goes to the free list: the entries that an
//    earlier release registered or resized since this release last sealed
//    are lost from the index, their files kept on disk (no file is
//    deleted for it). A block it freed whose listed seal is still within
//    kSealMarkWindow renewals of the mark comes back listed: its path was
//    registered, and the reconciliation after a restart drops it when its
//    file is gone. Where the system does not tell the start, such blocks
//    are kept where the links prove them.
struct ImageFileBlock {
  char ImageFileName[kFileNameSize];  // path as registered, NUL-terminated
  uint32_t FileSize;                  // bytes at registration
  int32_t AccessTime;                 // last registration, seconds since 1970 UTC
  int32_t LeftNode;                   // towards the head, -1 at the head
  int32_t RightNode;                  // towards the tail, -1 at the tail
  uint32_t Reserved;                  // the block's seal (see ImageFileBlock's notes)
  int64_t Delay;                      // the file's own minimum age, seconds
};

// True when `h` starts with the text that marks a formatted index, its
// terminator included.
bool HasIndexMagic(const IndexFileHeader& h);

// StopGeneration's states.
inline bool MarkedClean(uint32_t generation) { return generation != 0 && generation % 2 == 0; }
// The word once the index is used again after a clean stop, and once it
// stops cleanly.
inline uint32_t InUseAfter(uint32_t generation) {
  return MarkedClean(generation) ? generation + 1 : generation;
}
inline uint32_t CleanAfter(uint32_t generation) {
  const uint32_t next = (generation | 1u) + 1u;
  return next == 0 ? 2u : next;
}

// A file's size as the index counts it, in 32 bits: a file of 4 GiB or more
// counts as 4 GiB - 1, still towards the limit.
inline uint32_t CountedSize(uint64_t size) {
  return size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

// What a caller fills in to register a file: the first bytes of a block.
struct FileRecord {
  char ImageFileName[kFileNameSize];
  uint32_t FileSize;
};

static_assert(sizeof(IndexFileHeader) == kHeaderRegionSize, "header region size");
static_assert(offsetof(IndexFileHeader, CacheSize) == 512, "CacheSize offset");
static_assert(offsetof(IndexFileHeader, TotalFileCount) == 520, "TotalFileCount offset");
static_assert(offsetof(IndexFileHeader, ImageFileBlockOffset) == 524, "block offset offset");
static_assert(offsetof(IndexFileHeader, ImageFileBlockNum) == 528, "block count offset");
static_assert(offsetof(IndexFileHeader, FirstValidBlock) == 532, "FirstValidBlock offset");
static_assert(offsetof(IndexFileHeader, LastValidBlock) == 536, "LastValidBlock offset");
static_assert(offsetof(IndexFileHeader, FirstInvalidBlock) == 540, "FirstInvalidBlock offset");
static_assert(offsetof(IndexFileHeader, LastInvalidBlock) == 544, "LastInvalidBlock offset");
static_assert(offsetof(IndexFileHeader, LockMarker) == 548, "reserved area offset");
static_assert(offsetof(IndexFileHeader, IntentKind) == 552, "intent record offset");
static_assert(offsetof(IndexFileHeader, RebuildState) == 564, "rebuild state offset");
static_assert(offsetof(IndexFileHeader, ListedMark) == 576, "listed mark offset");
static_assert(offsetof(IndexFileHeader, StopGeneration) == 580, "stop generation offset");
static_assert(offsetof(IndexFileHeader, IntentEntries) == 584, "intent entries offset");
static_assert(sizeof(IndexFileHeader::IntentEntry) == 16, "intent entry size");

static_assert(sizeof(ImageFileBlock) == kBlockSize, "block size");
static_assert(offsetof(ImageFileBlock, FileSize) == 260, "FileSize offset");
static_assert(offsetof(ImageFileBlock, AccessTime) == 264, "AccessTime offset");
static_assert(offsetof(ImageFileBlock, LeftNode) == 268, "LeftNode offset");
static_assert(offsetof(ImageFileBlock, RightNode) == 272, "RightNode offset");
static_assert(offsetof(ImageFileBlock, Reserved) == 276, "block reserved offset");
static_assert(offsetof(ImageFileBlock, Delay) == 280, "Delay offset");

static_assert(sizeof(FileRecord) == 264, "a record is the first 264 bytes of a block");
static_assert(kIndexFileSize == 28801000, "index file size");
static_assert(kHeaderRegionSize % alignof(ImageFileBlock) == 0, "blocks stay aligned");

}  // namespace stow
