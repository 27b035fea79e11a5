// A read-only way into the index of a cache, for watching it: status, the
// list of entries, the check and the dump.
//
// Opening the index the ordinary way (IndexFile) formats a file that lacks
// the magic text, and taking its lock after a holder died checks and
// rebuilds the lists: a check made through it could never see damage. An
// inspection maps the index and takes the same machine-wide lock, but
// creates nothing, formats nothing and repairs nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "index/change_proof.h"
#include "index/layout.h"
#include "index/lookup_table.h"
#include "platform/platform.h"

namespace stow {

// Whether an index file is at `index_path`, for work that must not create
// one; `size` receives its length. False when it is missing and the folder
// it would be made in is there or can be made. Throws OsError when the path
// names anything but a regular file, cannot be looked at (a folder on the
// way that may not be searched), or is missing in a folder that can never
// be made (a part of its path is a file): each of those would make the
// first use fail, and saying "not made yet" would hide it.
bool IndexFilePresent(const std::string& index_path, uint64_t* size);

class IndexInspection {
 public:
  // Looks at the index at `index_path`. A missing index file is no error
  // (present() is false), and neither is one shorter than an index (not
  // mapped). Throws OsError when an existing index cannot be opened, mapped
  // or locked, and for every refusal of IndexFilePresent.
  explicit IndexInspection(const std::string& index_path);
  ~IndexInspection();
  IndexInspection(const IndexInspection&) = delete;
  IndexInspection& operator=(const IndexInspection&) = delete;

  bool present() const { return present_; }
  uint64_t file_size() const { return file_size_; }

  // Calls `read(header, blocks, interrupted)` under the index lock and
  // returns what it returns; `interrupted` tells that the last holder died
  // while it held the lock. Nothing of the index is changed. Only for a
  // mapped index (present and full size); `read` must not throw.
  template <typename Reader>
  auto Read(Reader read) -> decltype(read(*static_cast<const IndexFileHeader*>(nullptr),
                                          static_cast<const ImageFileBlock*>(nullptr), false)) {
    const bool interrupted = Lock();
    struct Unlocker {
      IndexInspection* self;
      ~Unlocker() { self->Unlock(); }
    } unlocker{this};
    return read(*header_, blocks_, interrupted);
  }

  // Reads every page of the mapping in a few short holds of the lock, so
  // that a read of the whole index that follows does not pay, under the
  // lock, for the system's first mapping of each page. Only for a mapped
  // index.
  void Warm();

  // Calls `read` as Read does, but on a copy of the header and every block
  // taken under the lock, and without the lock: for work that looks at
  // every block (the check of both lists), which would keep other
  // processes waiting too long. Only for a mapped index.
  template <typename Reader>
  auto ReadCopy(Reader read) -> decltype(read(*static_cast<const IndexFileHeader*>(nullptr),
                                              static_cast<const ImageFileBlock*>(nullptr), false)) {
    Image image;
    Copy(&image);
    return read(image.header, image.blocks.data(), image.interrupted);
  }

  bool mapped() const { return header_ != nullptr; }

  // Inside Read: the change stamp of `block` (see LookupTable::Stamp) and
  // the epoch it belongs to, when the lookup table beside the index exists
  // and is in sync with `header`. False when no stamp can prove anything.
  bool StampOf(const IndexFileHeader& header, int32_t block, uint32_t* epoch,
               uint32_t* stamp) const;

  // Inside Read: the proof that `block` still holds what is copied from it
  // now (see ChangeProof); not known when the lookup table is stale or
  // absent.
  ChangeProof ProofOf(const IndexFileHeader& header, int32_t block) const;

  // Inside Read: the note of `block` (see BlockNote), when the lookup table
  // beside the index exists. Notes outlive a stale table: each names the
  // registration it is about.
  bool NoteOf(int32_t block, BlockNote* note) const;

  // Inside ReadCopy: the blocks' notes (see BlockNote) copied with them, or
  // null when there is no lookup table beside the index.
  const BlockNote* CopiedNotes() const { return notes_.empty() ? nullptr : notes_.data(); }

  // Inside Read: the pass bounds (see PassBounds) as a pass would take them,
  // when the lookup table beside the index is in sync with `header`. False
  // when a pass would not use them.
  bool BoundsOf(const IndexFileHeader& header, PassBounds* bounds) const;

  // Inside Read: the cache's counters (see Counter), when the lookup table
  // file beside the index exists.
  bool CountersOf(CounterValues* counters) const;

  // Whether the reconciliation with the disk of a formatted index after a
  // restart is pending (see LookupTable::ReconciliationPending). Without a
  // lookup table file of full length, pending when the system tells the
  // start of the machine: the library makes the table afresh for the index,
  // which leaves it pending. Needs no lock.
  bool ReconciliationPending() const;

  // Inside ReadCopy: the pass bounds copied with the blocks, or null when a
  // pass would not use them.
  const PassBounds* CopiedBounds() const { return bounds_copied_ ? &bounds_ : nullptr; }

 private:
  struct Image {
    IndexFileHeader header;
    std::vector<ImageFileBlock> blocks;
    bool interrupted = false;
  };
  // Fills `image` under the lock. Its memory is allocated and written
  // before the lock is taken, so that the copy under the lock is a plain
  // memory copy that meets no fresh page.
  void Copy(Image* image);
  bool Lock();
  void Unlock();

  bool present_ = false;
  uint64_t file_size_ = 0;
  std::unique_ptr<platform::NamedMutex> mutex_;
  std::unique_ptr<platform::SharedFile> file_;
  std::unique_ptr<LookupTable> table_;  // only when it exists already
  std::vector<BlockNote> notes_;        // copied by Copy
  PassBounds bounds_{};                 // copied by Copy when bounds_copied_
  bool bounds_copied_ = false;
  const IndexFileHeader* header_ = nullptr;
  const ImageFileBlock* blocks_ = nullptr;
};

}  // namespace stow
