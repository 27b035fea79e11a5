// The lookup table: a hash table from a listed path to its block, kept in a
// companion file beside the index ("Index.Lkp") that every process maps, so
// that a registration finds its entry without walking the list.
//
// Contract with the index:
//  - Only valid-list blocks are in the table, keyed by their path; it is
//    changed only under the index lock, in the same operation as the lists.
//  - It is never trusted blindly. Its header keeps a copy of the index
//    header's list ends and totals as the last change that maintained the
//    table left them, and a fresh flag that is cleared before every such
//    change and set after it. A table whose flag is clear (a holder died
//    mid-change) or whose copy differs from the index (a process that does
//    not maintain the table changed the lists, or the file was replaced) is
//    rebuilt from one bounded walk of the valid list before it is used.
//  - An answer is checked against the index: the block must hold the path
//    and sit where a valid-list block can. A path listed twice (left so by
//    another version) is answered "unsure", and the caller walks the list.
//  - The file gets the protections of the index file itself: no link is
//    followed, only a regular file is used, its space is reserved at every
//    open, and a process that cuts it short cannot make a fault in its view
//    reach the host.
//  - Cost at rest: a 4 KiB header and 262,144 slots of 8 bytes (2 MiB of
//    disk and, once touched, of shared memory); a rebuild at 100,000
//    entries hashes every path once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "index/layout.h"
#include "platform/platform.h"

namespace stow {

extern const char kLookupFileName[];  // "Index.Lkp"

class LookupTable {
 public:
  static constexpr uint32_t kSlotCount = 1u << 18;

  // Maps the table at `path`, creating it (empty, stale) when missing.
  // Throws OsError.
  explicit LookupTable(const std::string& path);

  // True once a table has been built in the file (a new file is empty).
  bool Formatted() const;

  // True when the table may answer for `header`: formatted, fresh, and its
  // copy of the list ends and totals matches.
  bool InSync(const IndexFileHeader& header) const;

  // Fills the table from the valid list (a walk bounded by the block count)
  // and stamps it with `header`. Returns the entries inserted, or -1 (the
  // table left stale) when the list does not hold together.
  int32_t Rebuild(const IndexFileHeader& header, const ImageFileBlock* blocks);

  enum class Answer { kFound, kAbsent, kUnsure };
  Answer Find(const IndexFileHeader& header, const ImageFileBlock* blocks, const char* path,
              int32_t* block) const;

  // Maintenance around one change of the lists: Begin clears the fresh
  // flag, Insert and Erase follow the change, End copies the header and sets
  // the flag again.
  void Begin();
  void Insert(const char* path, int32_t block);
  void Erase(const char* path, int32_t block);
  void End(const IndexFileHeader& header);

  // Under the index lock: when another process cut the file short, grows
  // it back and marks the table stale. True when it had been cut. See
  // SharedFile::CheckTruncated for `look_at_length`.
  bool RecoverTruncation(bool look_at_length);

  // Processes waiting for the index lock right now; a pass that lets go of
  // the lock between batches waits for them to get in first.
  int32_t Waiters() const;
  void AddWaiter(int32_t delta);

 private:
  struct Header;
  struct Slot {
    uint32_t Hash;
    int32_t Block;  // -1: empty
  };
  Header* header();
  const Header* header() const;
  Slot* slots() const;

  std::unique_ptr<platform::SharedFile> file_;
};

}  // namespace stow
