#include "index/list_check.h"

#include <cstring>
#include <functional>
#include <vector>

namespace stow {
namespace {

// Follows one list from `head` and marks its blocks in `seen`. Empty text
// when the list is sound, else what is wrong with it.
std::string WalkList(const char* name, const ImageFileBlock* blocks, int32_t head, int32_t tail,
                     std::vector<uint8_t>& seen, int32_t* count, int64_t* bytes) {
  int32_t prev = kNoBlock;
  for (int32_t i = head; i != kNoBlock; i = blocks[i].RightNode) {
    const std::string at = std::string(name) + " list: ";
    if (!BlockInRange(i)) {
      return at + "link to block " + std::to_string(i) + " outside 0.." +
             std::to_string(kBlockCount - 1) +
             (prev == kNoBlock ? " at its head" : " after block " + std::to_string(prev));
    }
    if (seen[i]) return at + "block " + std::to_string(i) + " is reached twice";
    if (blocks[i].LeftNode != prev) {
      return at + "block " + std::to_string(i) + " links back to " +
             std::to_string(blocks[i].LeftNode) + " instead of " + std::to_string(prev);
    }
    seen[i] = 1;
    *count += 1;
    *bytes += blocks[i].FileSize;
    prev = i;
  }
  if (tail != prev) {
    return std::string(name) + " list: ends at block " + std::to_string(prev) +
           " but the header names " + std::to_string(tail) + " as its tail";
  }
  return std::string();
}

// The first path listed twice on a sound valid list, in list order from
// the head: empty text when there is none. One probe table of block
// indexes, without an allocation per entry: this runs at every open.
std::string FindListedTwice(const IndexFileHeader& header, const ImageFileBlock* blocks,
                            int32_t count) {
  struct Seen {
    size_t hash;
    int32_t block;  // -1: empty
  };
  size_t capacity = 1024;
  while (capacity < 2 * static_cast<size_t>(count)) capacity *= 2;
  std::vector<Seen> seen(capacity, Seen{0, kNoBlock});
  const size_t mask = capacity - 1;
  const std::hash<std::string_view> hasher;
  for (int32_t i = header.FirstValidBlock; i != kNoBlock; i = blocks[i].RightNode) {
    std::string_view path;
    if (!ListedPath(blocks[i], &path)) continue;
    const size_t hash = hasher(path);
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
      if (seen[at].block == kNoBlock) {
        seen[at] = Seen{hash, i};
        break;
      }
      std::string_view other;
      if (seen[at].hash == hash && ListedPath(blocks[seen[at].block], &other) && other == path) {
        return "valid list: a path listed twice, by block " + std::to_string(seen[at].block) +
               " and again by block " + std::to_string(i);
      }
    }
  }
  return std::string();
}

}  // namespace

bool ListedPath(const ImageFileBlock& b, std::string_view* path) {
  const void* end = std::memchr(b.ImageFileName, '\0', kFileNameSize);
  if (end == nullptr || end == b.ImageFileName) return false;
  *path = std::string_view(b.ImageFileName,
                           static_cast<size_t>(static_cast<const char*>(end) - b.ImageFileName));
  return true;
}

bool CheckLists(const IndexFileHeader& header, const ImageFileBlock* blocks, ListReport* report) {
  ListReport local;
  ListReport& r = report != nullptr ? *report : local;
  r = ListReport();
  std::vector<uint8_t> seen(kBlockCount, 0);
  int64_t free_bytes = 0;
  r.problem = WalkList("valid", blocks, header.FirstValidBlock, header.LastValidBlock, seen,
                       &r.valid_count, &r.valid_bytes);
  if (r.problem.empty()) {
    r.problem = WalkList("free", blocks, header.FirstInvalidBlock, header.LastInvalidBlock, seen,
                         &r.free_count, &free_bytes);
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
    r.problem = FindListedTwice(header, blocks, r.valid_count);
  }
  return r.problem.empty();
}

}  // namespace stow
