#include "index/list_check.h"

#include <string_view>
#include <vector>

#include "index/hash.h"

namespace stow {
namespace {

constexpr uint8_t kOnValid = 1;
constexpr uint8_t kOnFree = 2;

// Follows one list from `head` and marks its blocks in `seen`. Empty text
// when the list is sound, else what is wrong with it.
// `seen` is set to `tag` for each block of the list, and `places` (when
// given) to each block's place in it from the head.
std::string FollowList(const char* name, const ImageFileBlock* blocks, int32_t head, int32_t tail,
                       uint8_t tag, std::vector<uint8_t>& seen, std::vector<int32_t>* places,
                       int32_t* count, int64_t* bytes) {
  const WalkResult r = WalkList(blocks, head, kNoBlock, Toward::kTail, [&](int32_t i) {
    if (seen[i]) return false;  // on the other list, or this one's again
    seen[i] = tag;
    if (places != nullptr) (*places)[i] = *count;
    *count += 1;
    *bytes += blocks[i].FileSize;
    return true;
  });
  const std::string at = std::string(name) + " list: ";
  switch (r.end) {
    case WalkEnd::kEnd:
      break;
    case WalkEnd::kOutOfRange:
      return at + "link to block " + std::to_string(r.at) + " outside 0.." +
             std::to_string(kBlockCount - 1) +
             (r.prev == kNoBlock ? " at its head" : " after block " + std::to_string(r.prev));
    case WalkEnd::kStopped:
    case WalkEnd::kBadBackLink:
    case WalkEnd::kTooLong:
      // A block seen before is named so whatever its links say.
      if (seen[r.at]) return at + "block " + std::to_string(r.at) + " is reached twice";
      return at + "block " + std::to_string(r.at) + " links back to " +
             std::to_string(blocks[r.at].LeftNode) + " instead of " + std::to_string(r.prev);
  }
  if (tail != r.prev) {
    return std::string(name) + " list: ends at block " + std::to_string(r.prev) +
           " but the header names " + std::to_string(tail) + " as its tail";
  }
  return std::string();
}

// The first path listed twice on a sound valid list, in list order from
// the head: empty text when there is none. This runs at every open, under
// the lock. The blocks are read in memory order, not list order: a list
// reordered by refreshes lands on another page at every step, while the
// array read in order streams. The pair named is the one the walk from the
// head would meet first: the block with the least place among those whose
// path an earlier block holds, and the first block of that path. The probe
// table keeps, for each path, the block of least place seen so far; every
// second block of a path is paired with it, so the least such pair is found
// whatever the order of reading.
std::string FindListedTwice(const ImageFileBlock* blocks, const std::vector<uint8_t>& on_valid,
                            const std::vector<int32_t>& places, int32_t count) {
  struct Seen {
    uint32_t hash;
    int32_t block;  // -1: empty
  };
  size_t capacity = 1024;
  while (capacity < 2 * static_cast<size_t>(count)) capacity *= 2;
  std::vector<Seen> seen(capacity, Seen{0, kNoBlock});
  const size_t mask = capacity - 1;
  const ProcessKeyedPathHash hasher;
  int32_t first = kNoBlock;
  int32_t second = kNoBlock;
  for (int32_t i = 0; i < kBlockCount; ++i) {
    if (on_valid[i] != kOnValid) continue;
    std::string_view path;
    if (!ListedPath(blocks[i], &path)) continue;
    const uint32_t hash = static_cast<uint32_t>(hasher(path));
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
      Seen& slot = seen[at];
      if (slot.block == kNoBlock) {
        slot = Seen{hash, i};
        break;
      }
      std::string_view other;
      if (slot.hash != hash || !ListedPath(blocks[slot.block], &other) || other != path) continue;
      const bool earlier = places[i] < places[slot.block];
      const int32_t a = earlier ? i : slot.block;
      const int32_t b = earlier ? slot.block : i;
      if (second == kNoBlock || places[b] < places[second]) {
        first = a;
        second = b;
      }
      slot.block = a;
      break;
    }
  }
  if (second == kNoBlock) return std::string();
  return "valid list: a path listed twice, by block " + std::to_string(first) +
         " and again by block " + std::to_string(second);
}

}  // namespace

bool CheckLists(const IndexFileHeader& header, const ImageFileBlock* blocks, ListReport* report) {
  ListReport local;
  ListReport& r = report != nullptr ? *report : local;
  r = ListReport();
  std::vector<uint8_t> seen(kBlockCount, 0);
  std::vector<int32_t> places(kBlockCount, 0);
  int64_t free_bytes = 0;
  r.problem = FollowList("valid", blocks, header.FirstValidBlock, header.LastValidBlock, kOnValid,
                       seen, &places, &r.valid_count, &r.valid_bytes);
  if (r.problem.empty()) {
    r.problem = FollowList("free", blocks, header.FirstInvalidBlock, header.LastInvalidBlock,
                         kOnFree, seen, nullptr, &r.free_count, &free_bytes);
  }
  if (!r.problem.empty()) return false;
  if (r.valid_count + r.free_count != kBlockCount) {
    r.problem =
        std::to_string(kBlockCount - r.valid_count - r.free_count) + " blocks are on neither list";
  } else if (header.TotalFileCount != r.valid_count) {
    r.problem = "TotalFileCount is " + std::to_string(header.TotalFileCount) +
                " but the valid list holds " + std::to_string(r.valid_count) + " blocks";
  } else if (header.CacheSize != r.valid_bytes) {
    r.problem = "CacheSize is " + std::to_string(header.CacheSize) + " but the valid list holds " +
                std::to_string(r.valid_bytes) + " bytes";
  } else if (header.ImageFileBlockOffset != kHeaderRegionSize) {
    r.problem = "ImageFileBlockOffset is " + std::to_string(header.ImageFileBlockOffset);
  } else if (header.ImageFileBlockNum != kBlockCount) {
    r.problem = "ImageFileBlockNum is " + std::to_string(header.ImageFileBlockNum);
  } else {
    r.problem = FindListedTwice(blocks, seen, places, r.valid_count);
  }
  return r.problem.empty();
}

}  // namespace stow
