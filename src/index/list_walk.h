// Reading the lists of the index: the one way to follow a list, and the one
// way to read the name a block holds. The index is untrusted, so a walk
// checks every link against the block range before it follows it, takes a
// step only when the block it reaches links back to the one it came from,
// and stops after a bounded number of steps; it says where and why it
// stopped, and the caller decides what the damage means.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "index/layout.h"

namespace stow {

// ------------------------------------------------------------ the names ---

// The bytes of the name block `b` holds: those before its terminator, or
// all kFileNameSize of them when it has none (no registration writes such a
// name, but the file may hold one).
inline std::string_view StoredBytes(const ImageFileBlock& b) {
  const void* end = std::memchr(b.ImageFileName, '\0', kFileNameSize);
  return std::string_view(
      b.ImageFileName, end == nullptr
                           ? kFileNameSize
                           : static_cast<size_t>(static_cast<const char*>(end) - b.ImageFileName));
}

// The path of block `b` as lookups compare it: the bytes before its
// terminator. False for a name that is empty or has no terminator, which
// no registration gives and no lookup finds; such blocks are never "the
// same path" as another.
inline bool ListedPath(const ImageFileBlock& b, std::string_view* path) {
  const std::string_view bytes = StoredBytes(b);
  if (bytes.empty() || bytes.size() == kFileNameSize) return false;
  *path = bytes;
  return true;
}

// Copies the kFileNameSize bytes of the name `b` holds into `out`, with a
// terminator in the last byte whatever the block holds.
inline void CopyStoredName(const ImageFileBlock& b, char* out) {
  std::memcpy(out, b.ImageFileName, kFileNameSize);
  out[kFileNameSize - 1] = '\0';
}

// The stored path as a terminated string, for the removal routine and the
// lookup table.
struct StoredName {
  explicit StoredName(const ImageFileBlock& b) { CopyStoredName(b, text); }
  char text[kFileNameSize];
};

// ------------------------------------------------------------ the walk ---

// The two links of a block.
struct BlockLinks {
  int32_t left;   // towards the head
  int32_t right;  // towards the tail
};

// Where a walk goes: from the head towards the tail (RightNode), or back.
enum class Toward { kTail, kHead };

enum class WalkEnd {
  kEnd,          // the far end of the list was reached
  kStopped,      // the visit asked to stop
  kOutOfRange,   // a link names no block (`at` is that link)
  kBadBackLink,  // block `at` does not link back to `prev`
  kTooLong,      // the step bound was reached at block `at`
};

struct WalkResult {
  WalkEnd end = WalkEnd::kEnd;
  // The block the walk stopped at: for kStopped the block whose visit
  // stopped it, for damage the block (or link) it could not step onto.
  int32_t at = kNoBlock;
  // The last block visited whose visit let the walk go on; the `back`
  // given when there is none.
  int32_t prev = kNoBlock;
  // For kStopped: the block the walk would have visited next.
  int32_t next = kNoBlock;
  int32_t steps = 0;  // blocks visited
  bool damaged() const { return end != WalkEnd::kEnd && end != WalkEnd::kStopped; }
};

// One step of a walk from block `at` in the direction `toward`: sets
// `*next` to the block its link names (kNoBlock at the end of the list) and
// returns kEnd when the step may be taken (or there is none to take), else
// what is wrong with it. `links(k)` gives the BlockLinks of block k.
template <typename LinksOf>
WalkEnd CheckStep(const LinksOf& links, int32_t at, Toward toward, int32_t* next) {
  const bool to_tail = toward == Toward::kTail;
  const BlockLinks here = links(at);
  const int32_t n = to_tail ? here.right : here.left;
  *next = n;
  if (n == kNoBlock) return WalkEnd::kEnd;
  if (!BlockInRange(n)) return WalkEnd::kOutOfRange;
  const BlockLinks there = links(n);
  return (to_tail ? there.left : there.right) == at ? WalkEnd::kEnd : WalkEnd::kBadBackLink;
}

// Calls `visit(i)` for each block of a list from block `from` on, in the
// direction `toward`, while it returns true. `from` must link back to
// `back` (kNoBlock: `from` is that end of the list). `links(k)` gives the
// BlockLinks of block k (a walk over a copy of the links passes its own).
// The walk stops at a link outside the block range, at a block that does
// not link back to the one before, or before visit `max_steps` + 1: since
// every block reached links back to the one before, no block comes round
// twice from a list end, and a damaged list ends the walk at the damage.
// The step after a block is checked before the block is visited, so that
// the visit may move the block.
template <typename LinksOf, typename Visit>
WalkResult WalkLinks(const LinksOf& links, int32_t from, int32_t back, Toward toward, Visit&& visit,
                     int32_t max_steps = kBlockCount) {
  WalkResult r;
  r.prev = back;
  int32_t i = from;
  if (i == kNoBlock) return r;
  if (!BlockInRange(i)) {
    r.end = WalkEnd::kOutOfRange;
    r.at = i;
    return r;
  }
  const BlockLinks first = links(i);
  if ((toward == Toward::kTail ? first.left : first.right) != back) {
    r.end = WalkEnd::kBadBackLink;
    r.at = i;
    return r;
  }
  for (;;) {
    if (r.steps >= max_steps) {
      r.end = WalkEnd::kTooLong;
      r.at = i;
      return r;
    }
    int32_t next = kNoBlock;
    const WalkEnd fault = CheckStep(links, i, toward, &next);
    ++r.steps;
    if (!visit(i)) {
      r.end = WalkEnd::kStopped;
      r.at = i;
      r.next = next;
      return r;
    }
    r.prev = i;
    if (fault != WalkEnd::kEnd) {
      r.end = fault;
      r.at = next;
      return r;
    }
    if (next == kNoBlock) return r;
    i = next;
  }
}

// The links of the blocks themselves.
struct LinksIn {
  const ImageFileBlock* blocks;
  BlockLinks operator()(int32_t k) const { return {blocks[k].LeftNode, blocks[k].RightNode}; }
};

// WalkLinks over the blocks' own links.
template <typename Visit>
WalkResult WalkList(const ImageFileBlock* blocks, int32_t from, int32_t back, Toward toward,
                    Visit&& visit, int32_t max_steps = kBlockCount) {
  return WalkLinks(LinksIn{blocks}, from, back, toward, visit, max_steps);
}

// The valid list, from its head (towards the tail) or from its tail.
template <typename Visit>
WalkResult WalkValidList(const IndexFileHeader& h, const ImageFileBlock* blocks, Toward toward,
                         Visit&& visit, int32_t max_steps = kBlockCount) {
  return WalkList(blocks, toward == Toward::kTail ? h.FirstValidBlock : h.LastValidBlock, kNoBlock,
                  toward, visit, max_steps);
}

}  // namespace stow
