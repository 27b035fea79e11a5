// Rebuilding the lists of an index that no longer holds together.
//
// What is kept has to be proven. A step along a list counts only when the
// block it reaches links back to the block it came from, and a list end
// named by the header counts only when its own links agree (its outward
// link is -1 and its neighbour links back to it). A list whose walk from
// its head ends at its tail is complete; its blocks are its own whatever
// another list claims. A broken list keeps what its head proves going
// forward and its tail proves going back. A block that two broken lists
// claim, or that no list proves, is kept only if it names a file that
// still exists with the recorded size (and whose path is not listed
// already), at the place its registration time gives it; every other block
// is freed. An all-zero block never passes these rules. A path listed twice
// stays listed once, by its first block from the head (the most recent);
// the later ones are freed, their files left alone.
//
// The result is written through a plan in the blocks' reserved words, so
// that a holder that dies in the middle leaves a plan the next holder can
// finish, and the links that proved the old lists are not lost half-way.
// Once linked, the reserved words are cleared and a new ListedMark is
// chosen, which the next rebuild of the lookup table marks the valid list
// with.
#include <algorithm>
#include <atomic>
#include <string>
#include <unordered_set>
#include <vector>

#include "config/log.h"
#include "index/hash.h"
#include "index/index_file.h"
#include "index/list_check.h"
#include "index/list_walk.h"
#include "stow_hooks.h"

namespace stow {
namespace {

// The blocks one list's links prove, from its head forward and from its
// tail back.
struct Chain {
  std::vector<int32_t> forward;
  std::vector<int32_t> backward;  // from the tail towards the head
  bool complete = false;          // the forward walk ended at the tail
};

Chain Prove(const ImageFileBlock* blocks, int32_t head, int32_t tail, std::vector<uint32_t>& stamp,
            uint32_t walk_id) {
  Chain chain;
  if (head == kNoBlock && tail == kNoBlock) {
    chain.complete = true;
    return chain;
  }
  const bool head_agrees =
      BlockInRange(head) && blocks[head].LeftNode == kNoBlock &&
      (blocks[head].RightNode == kNoBlock ? tail == head
                                          : BlockInRange(blocks[head].RightNode) &&
                                                blocks[blocks[head].RightNode].LeftNode == head);
  if (head_agrees) {
    const WalkResult r = WalkList(blocks, head, kNoBlock, Toward::kTail, [&](int32_t at) {
      chain.forward.push_back(at);
      stamp[at] = walk_id;
      return true;
    });
    chain.complete = r.end == WalkEnd::kEnd && r.prev == tail;
  }
  if (chain.complete) return chain;
  const bool tail_agrees =
      BlockInRange(tail) && blocks[tail].RightNode == kNoBlock &&
      (blocks[tail].LeftNode == kNoBlock ? head == tail
                                         : BlockInRange(blocks[tail].LeftNode) &&
                                               blocks[blocks[tail].LeftNode].RightNode == tail);
  if (tail_agrees) {
    WalkList(blocks, tail, kNoBlock, Toward::kHead, [&](int32_t at) {
      if (stamp[at] == walk_id) return false;  // met the forward walk
      chain.backward.push_back(at);
      stamp[at] = walk_id + 1;
      return true;
    });
  }
  return chain;
}

enum Owner : uint8_t { kNobody = 0, kValid = 1, kFree = 2, kDisputed = 3 };

// Gives the blocks of `chain` to `list`: a complete list's claim is final, a
// broken list's claim yields to it and collides with another broken one.
void Claim(const Chain& chain, Owner list, bool strong, std::vector<uint8_t>& owner,
           std::vector<uint8_t>& final_claim) {
  auto claim = [&](int32_t b) {
    if (final_claim[b]) return;
    if (strong) {
      owner[b] = list;
      final_claim[b] = 1;
    } else {
      owner[b] = owner[b] == kNobody || owner[b] == list ? list : kDisputed;
    }
  };
  for (int32_t b : chain.forward) claim(b);
  for (int32_t b : chain.backward) claim(b);
}

// The blocks of `chain` that `owner` gives to `list`, head to tail.
std::vector<int32_t> InOrder(const Chain& chain, Owner list, const std::vector<uint8_t>& owner) {
  std::vector<int32_t> order;
  for (int32_t b : chain.forward) {
    if (owner[b] == list) order.push_back(b);
  }
  for (auto it = chain.backward.rbegin(); it != chain.backward.rend(); ++it) {
    if (owner[*it] == list) order.push_back(*it);
  }
  return order;
}

}  // namespace

void IndexFile::RebuildLists() {
  // The lookup table follows the lists it was built from: stale from here.
  if (table_ != nullptr) table_->Begin();
  table_ok_ = false;
  std::vector<uint32_t> stamp(kBlockCount, 0);
  const Chain valid_chain =
      Prove(blocks_, header_->FirstValidBlock, header_->LastValidBlock, stamp, 1);
  const Chain free_chain =
      Prove(blocks_, header_->FirstInvalidBlock, header_->LastInvalidBlock, stamp, 3);
  std::vector<uint8_t> owner(kBlockCount, kNobody);
  std::vector<uint8_t> final_claim(kBlockCount, 0);
  if (valid_chain.complete) Claim(valid_chain, kValid, true, owner, final_claim);
  if (free_chain.complete) Claim(free_chain, kFree, true, owner, final_claim);
  if (!valid_chain.complete) Claim(valid_chain, kValid, false, owner, final_claim);
  if (!free_chain.complete) Claim(free_chain, kFree, false, owner, final_claim);
  // Two complete lists that share blocks prove nothing about them.
  if (valid_chain.complete && free_chain.complete) {
    for (int32_t b : valid_chain.forward) {
      if (stamp[b] == 3) owner[b] = kDisputed;
    }
  }

  std::vector<int32_t> valid = InOrder(valid_chain, kValid, owner);
  std::vector<int32_t> free_list = InOrder(free_chain, kFree, owner);

  // A path listed twice keeps its first block; the others join the free
  // list (their file is the first one's, and stays).
  std::unordered_set<std::string_view, ProcessKeyedPathHash> listed;
  listed.reserve(valid.size());
  int32_t twice = 0;
  {
    std::vector<int32_t> once;
    once.reserve(valid.size());
    for (int32_t v : valid) {
      std::string_view path;
      if (ListedPath(blocks_[v], &path) && !listed.insert(path).second) {
        free_list.push_back(v);
        ++twice;
      } else {
        once.push_back(v);
      }
    }
    valid.swap(once);
  }

  // Blocks no list proves: salvaged when their file is still there.
  std::vector<int32_t> salvaged;
  int32_t freed = 0;
  int32_t dropped = 0;  // of them, listed
  for (int32_t b = 0; b < kBlockCount; ++b) {
    if (owner[b] == kValid || owner[b] == kFree) continue;
    std::string_view path;
    bool keep = false;
    if (ListedPath(blocks_[b], &path)) {
      platform::FileInfo info;
      keep = listed.count(path) == 0 &&
             platform::env().GetFileKind(StoredName(blocks_[b]).text, &info).ok() &&
             info.kind == platform::FileKind::kRegular &&
             CountedSize(info.size) == blocks_[b].FileSize;
      if (keep) {
        listed.insert(path);
      } else {
        ++freed;
        // Only a block of the valid list carries its mark: a block of a
        // broken free list keeps its old name, but was not listed.
        if (CarriesListedMark(*header_, blocks_[b])) ++dropped;
      }
    }
    if (keep) {
      salvaged.push_back(b);
    } else {
      free_list.push_back(b);
    }
  }
  const int32_t kept = static_cast<int32_t>(valid.size());
  if (!salvaged.empty()) {
    // Most recent first, as the list orders them.
    std::stable_sort(salvaged.begin(), salvaged.end(), [this](int32_t a, int32_t b) {
      return blocks_[a].AccessTime > blocks_[b].AccessTime;
    });
    std::vector<int32_t> merged;
    merged.reserve(valid.size() + salvaged.size());
    size_t s = 0;
    for (int32_t v : valid) {
      while (s < salvaged.size() && blocks_[salvaged[s]].AccessTime > blocks_[v].AccessTime) {
        merged.push_back(salvaged[s++]);
      }
      merged.push_back(v);
    }
    merged.insert(merged.end(), salvaged.begin() + static_cast<std::ptrdiff_t>(s), salvaged.end());
    valid.swap(merged);
  }

  // The plan first, with the links untouched; then the links from the plan.
  header_->RebuildState = kRebuildPlanning;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  for (int32_t b = 0; b < kBlockCount; ++b) blocks_[b].Reserved = 0;
  hooks::CrashPoint();
  for (size_t k = 0; k < valid.size(); ++k) {
    blocks_[valid[k]].Reserved = static_cast<uint32_t>(k + 1);
  }
  hooks::CrashPoint();
  for (size_t k = 0; k < free_list.size(); ++k) {
    blocks_[free_list[k]].Reserved = kPlanFree | static_cast<uint32_t>(k + 1);
  }
  header_->RebuildValidCount = static_cast<int32_t>(valid.size());
  header_->RebuildFreeCount = static_cast<int32_t>(free_list.size());
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header_->RebuildState = kRebuildRelinking;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  hooks::CrashPoint();
  RelinkFromPlan();
  // Listed entries no list proves whose file is gone, and second listings
  // of a path, are listed no more.
  Count(Counter::kRepairDropped, static_cast<uint64_t>(dropped) + static_cast<uint64_t>(twice));
  WriteLogBufferToFile(
      "Index lists were damaged and have been rebuilt: %d files, %lld bytes; %d kept, %d "
      "salvaged, %d freed.\n",
      header_->TotalFileCount, static_cast<long long>(header_->CacheSize), kept,
      static_cast<int>(salvaged.size()), freed);
  if (twice > 0) {
    WriteLogBufferToFile(
        "Entries that listed a path a second time were freed, their files kept: %d.\n", twice);
  }
}

bool IndexFile::RelinkFromPlan() {
  const int32_t valid_count = header_->RebuildValidCount;
  const int32_t free_count = header_->RebuildFreeCount;
  if (valid_count < 0 || free_count < 0 || valid_count > kBlockCount ||
      free_count != kBlockCount - valid_count) {
    return false;
  }
  std::vector<int32_t> valid(static_cast<size_t>(valid_count), kNoBlock);
  std::vector<int32_t> free_list(static_cast<size_t>(free_count), kNoBlock);
  for (int32_t b = 0; b < kBlockCount; ++b) {
    const uint32_t word = blocks_[b].Reserved;
    std::vector<int32_t>& order = (word & kPlanFree) != 0 ? free_list : valid;
    const uint32_t place = word & ~kPlanFree;
    if (place == 0 || place > order.size() || order[place - 1] != kNoBlock) return false;
    order[place - 1] = b;
  }
  auto relink = [this](const std::vector<int32_t>& order, int32_t* head, int32_t* tail) {
    for (size_t k = 0; k < order.size(); ++k) {
      blocks_[order[k]].LeftNode = k == 0 ? kNoBlock : order[k - 1];
      blocks_[order[k]].RightNode = k + 1 == order.size() ? kNoBlock : order[k + 1];
      if (k % 4096 == 0) hooks::CrashPoint();
    }
    *head = order.empty() ? kNoBlock : order.front();
    *tail = order.empty() ? kNoBlock : order.back();
  };
  relink(valid, &header_->FirstValidBlock, &header_->LastValidBlock);
  relink(free_list, &header_->FirstInvalidBlock, &header_->LastInvalidBlock);
  int64_t bytes = 0;
  for (int32_t b : valid) bytes += blocks_[b].FileSize;
  header_->CacheSize = bytes;
  header_->TotalFileCount = valid_count;
  header_->ImageFileBlockOffset = kHeaderRegionSize;
  header_->ImageFileBlockNum = kBlockCount;
  hooks::CrashPoint();
  ClearPlan();
  return true;
}

void IndexFile::ClearPlan() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header_->RebuildState = kRebuildClearing;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // No block carries the mark now: a new one leaves the lookup table stale,
  // and its rebuild marks the valid list before the table answers again.
  RenewListedMark();
  for (int32_t b = 0; b < kBlockCount; ++b) blocks_[b].Reserved = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header_->RebuildState = kRebuildNone;
  header_->RebuildValidCount = 0;
  header_->RebuildFreeCount = 0;
}

}  // namespace stow
