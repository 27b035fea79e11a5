#include "index/lookup.h"

#include <cstring>

#include "index/list_walk.h"

namespace stow {
namespace {

// A block is the record's when it holds the same path, whatever the size:
// a file rewritten at another size is the same entry.
bool Matches(const ImageFileBlock& b, const FileRecord& record) {
  return b.ImageFileName[0] == record.ImageFileName[0] &&
         std::strncmp(b.ImageFileName, record.ImageFileName, kFileNameSize) == 0;
}

// The lookup walks the valid list from the head, where recently registered
// files are. Once a list has been reordered by refreshes and reused blocks,
// each step of that walk lands on another page: about 60 ns a step, 6 ms for
// a full index. Reading the block array in memory order costs about 0.3 ms
// for all 100,000 blocks, so when more than kScanWhenRemaining entries are
// left after the first kWalkFirst steps, the lookup scans the array for
// blocks with the same path instead and then settles which list
// each of them is in.
constexpr int32_t kWalkFirst = 4096;
constexpr int32_t kScanWhenRemaining = 32768;

enum class Membership { kValid, kFree, kUnknown };
enum class ScanResult { kFound, kAbsent, kUndecided };

class Lookup {
 public:
  Lookup(const IndexFileHeader& header, const ImageFileBlock* blocks)
      : header_(header), blocks_(blocks) {}

  int32_t Find(const FileRecord& record, bool* damaged) {
    int32_t found = kNoBlock;
    int32_t visited = 0;
    const WalkResult r = WalkValidList(header_, blocks_, Toward::kTail, [&](int32_t i) {
      if (Matches(blocks_[i], record)) {
        found = i;
        return false;
      }
      ++visited;
      const int64_t remaining = static_cast<int64_t>(header_.TotalFileCount) - visited;
      if (visited == kWalkFirst && remaining > kScanWhenRemaining) {
        // Undecided: the walk goes on where it stopped.
        if (Scan(record, remaining, &found) != ScanResult::kUndecided) return false;
      }
      return true;
    });
    // A walk that met damage answers from what it saw before.
    if (r.damaged()) *damaged = true;
    return found;
  }

 private:
  // Looks at every block whose path matches and settles its list,
  // spending at most `budget` link steps (beyond that the walk is cheaper).
  // kFound when exactly one of them is listed, kAbsent when none is, and
  // kUndecided when two are listed (only a damaged index has duplicates;
  // the walk decides which comes first) or the links could not settle it.
  ScanResult Scan(const FileRecord& record, int64_t budget, int32_t* found) const {
    int64_t spent = 0;
    int32_t listed = kNoBlock;
    for (int32_t b = 0; b < kBlockCount; ++b) {
      if (!Matches(blocks_[b], record)) continue;
      switch (ListOf(b, budget, &spent)) {
        case Membership::kValid:
          if (listed != kNoBlock) return ScanResult::kUndecided;
          listed = b;
          break;
        case Membership::kFree:
          break;
        case Membership::kUnknown:
          return ScanResult::kUndecided;
      }
    }
    *found = listed;
    return listed == kNoBlock ? ScanResult::kAbsent : ScanResult::kFound;
  }

  // One step from `at` towards the head or the tail; true, with `result`
  // set, once `at` is that end or a link is bad. The block whose left link
  // is -1 is a list head, the one whose right link is -1 a list tail, and
  // the header names which list each end belongs to. Every step checks the
  // back link, so two lists linked into each other cannot pass for one.
  bool Step(int32_t& at, Toward toward, Membership* result) const {
    int32_t next = kNoBlock;
    if (CheckStep(LinksIn{blocks_}, at, toward, &next) != WalkEnd::kEnd) {
      *result = Membership::kUnknown;
      return true;
    }
    if (next == kNoBlock) {
      const bool head = toward == Toward::kHead;
      const int32_t valid_end = head ? header_.FirstValidBlock : header_.LastValidBlock;
      const int32_t free_end = head ? header_.FirstInvalidBlock : header_.LastInvalidBlock;
      *result = at == valid_end  ? Membership::kValid
                : at == free_end ? Membership::kFree
                                 : Membership::kUnknown;
      return true;
    }
    at = next;
    return false;
  }

  // Settles which list `block` is in by following its links both ways, a
  // step at a time in turn, to the nearer end.
  Membership ListOf(int32_t block, int64_t budget, int64_t* spent) const {
    int32_t left = block;
    int32_t right = block;
    Membership result = Membership::kUnknown;
    while (*spent < budget) {
      if (Step(left, Toward::kHead, &result) || Step(right, Toward::kTail, &result)) return result;
      *spent += 2;
    }
    return Membership::kUnknown;
  }

  const IndexFileHeader& header_;
  const ImageFileBlock* blocks_;
};

}  // namespace

int32_t FindListed(const IndexFileHeader& header, const ImageFileBlock* blocks,
                   const FileRecord& record, bool* damaged) {
  return Lookup(header, blocks).Find(record, damaged);
}

}  // namespace stow
