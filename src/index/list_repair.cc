// Rebuilding the lists of an index that no longer holds together.
//
// Membership is decided by each block's own content: a named block whose
// seal says it is listed and whole is listed (see ImageFileBlock's notes in
// layout.h). The links decide nothing after an unclean stop, where the
// header and the blocks may come from different moments and both lists
// are chains of the same shape: they only order blocks of the same second.
// Outside an unclean stop (a block's content is whole there), a named
// block whose seal fails but that the valid list's links prove, and whose
// word is not a free seal, is kept as well: a process that keeps no seals
// wrote it. Every other block goes to the free list; no file is looked at
// and none is deleted. A path listed by several blocks keeps the most
// recent one.
//
// The seals are written first, then the links from them, under
// RebuildState kRebuildFromContent: a holder that dies in the middle leaves
// seals that give the next holder the same lists, which it links again.
//
// The repair by links alone of earlier releases is kept beside it, for
// tests that compare the two on the same damaged images.
#include <algorithm>
#include <atomic>
#include <string>
#include <unordered_set>
#include <vector>

#include "config/log.h"
#include "index/block_seal.h"
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

bool IndexFile::use_chain_repair_for_testing_ = false;
bool IndexFile::assume_unclean_stop_for_testing_ = false;

void IndexFile::RebuildListsFromContent(bool after_unclean_stop) {
  if (table_ != nullptr) table_->Begin();
  table_ok_ = false;
  if (use_chain_repair_for_testing_) {
    RebuildListsFromChains();
    return;
  }
  if (header_->ListedMark == 0) RenewListedMark();
  const uint32_t mark = header_->ListedMark;
  // Where each block stands on the valid list's chain: only for the order
  // of blocks of one second, and (outside an unclean stop) to keep blocks
  // that a process keeping no seals wrote.
  std::vector<uint32_t> stamp(kBlockCount, 0);
  const Chain valid_chain =
      Prove(blocks_, header_->FirstValidBlock, header_->LastValidBlock, stamp, 1);
  const Chain free_chain =
      Prove(blocks_, header_->FirstInvalidBlock, header_->LastInvalidBlock, stamp, 3);
  std::vector<int32_t> place(kBlockCount, kBlockCount);
  {
    int32_t k = 0;
    for (int32_t b : valid_chain.forward) place[b] = k++;
    for (auto it = valid_chain.backward.rbegin(); it != valid_chain.backward.rend(); ++it) {
      place[*it] = k++;
    }
  }

  std::vector<int32_t> valid;
  // Blocks whose seal says listed: read once here, for the count of what
  // the rebuild drops too.
  std::vector<uint8_t> sealed_listed(kBlockCount, 0);
  int32_t sealed = 0;
  int32_t by_links = 0;
  int32_t unproven = 0;
  for (int32_t b = 0; b < kBlockCount; ++b) {
    std::string_view path;
    if (!ListedPath(blocks_[b], &path)) continue;
    switch (ReadSeal(mark, blocks_[b])) {
      case SealState::kListed:
        valid.push_back(b);
        ++sealed;
        sealed_listed[b] = 1;
        break;
      case SealState::kFree:
        break;
      case SealState::kUnproven:
        if (!after_unclean_stop && place[b] < kBlockCount) {
          valid.push_back(b);
          ++by_links;
        } else {
          ++unproven;
        }
        break;
    }
  }
  // Most recent first; within one second, as the links had them.
  std::sort(valid.begin(), valid.end(), [&](int32_t a, int32_t b) {
    if (blocks_[a].AccessTime != blocks_[b].AccessTime) {
      return blocks_[a].AccessTime > blocks_[b].AccessTime;
    }
    return place[a] != place[b] ? place[a] < place[b] : a < b;
  });
  // A path listed twice keeps its most recent block; the others are freed,
  // their file left alone.
  std::vector<uint8_t> listed(kBlockCount, 0);
  int32_t twice = 0;
  {
    std::unordered_set<std::string_view, ProcessKeyedPathHash> paths;
    paths.reserve(valid.size());
    std::vector<int32_t> once;
    once.reserve(valid.size());
    for (int32_t b : valid) {
      std::string_view path;
      ListedPath(blocks_[b], &path);
      if (paths.insert(path).second) {
        once.push_back(b);
        listed[b] = 1;
      } else {
        ++twice;
      }
    }
    valid.swap(once);
  }
  // Dropped: what the links listed, or a seal said was listed, and is not
  // listed now.
  int32_t dropped = 0;
  for (int32_t b = 0; b < kBlockCount; ++b) {
    std::string_view path;
    if (listed[b] || !ListedPath(blocks_[b], &path)) continue;
    if (place[b] < kBlockCount || sealed_listed[b]) ++dropped;
  }
  // The free list in its old order as far as its links prove it, so that
  // blocks are still taken again first in, first out; then the blocks freed
  // here and those no list proves, in block order.
  std::vector<int32_t> free_list;
  free_list.reserve(static_cast<size_t>(kBlockCount) - valid.size());
  {
    std::vector<uint8_t> queued(kBlockCount, 0);
    const auto queue = [&](int32_t b) {
      if (listed[b] || queued[b]) return;
      queued[b] = 1;
      free_list.push_back(b);
    };
    for (int32_t b : free_chain.forward) queue(b);
    for (auto it = free_chain.backward.rbegin(); it != free_chain.backward.rend(); ++it) queue(*it);
    for (int32_t b = 0; b < kBlockCount; ++b) queue(b);
  }

  // The seals first, so that what is decided here is what a holder that
  // takes over finds; a word is only written when it changes.
  for (int32_t b : valid) {
    const uint32_t seal = ListedSeal(mark, blocks_[b]);
    if (blocks_[b].Reserved != seal) blocks_[b].Reserved = seal;
  }
  hooks::CrashPoint();
  for (int32_t b : free_list) {
    std::string_view path;
    // A nameless block is never listed, whatever its word.
    if (!ListedPath(blocks_[b], &path)) continue;
    const uint32_t seal = FreeSeal(mark, blocks_[b]);
    if (blocks_[b].Reserved != seal) blocks_[b].Reserved = seal;
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header_->RebuildState = kRebuildFromContent;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  hooks::CrashPoint();
  LinkInOrder(valid, free_list);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header_->RebuildState = kRebuildNone;
  header_->RebuildValidCount = 0;
  header_->RebuildFreeCount = 0;
  WriteLogBufferToFile(
      "Index lists were rebuilt from the blocks' seals: %d files, %lld bytes; %d sealed, %d "
      "kept by their links, %d unproven freed.\n",
      header_->TotalFileCount, static_cast<long long>(header_->CacheSize), sealed, by_links,
      unproven);
  if (twice > 0) {
    WriteLogBufferToFile(
        "Entries that listed a path a second time were freed, their files kept: %d.\n", twice);
  }
  Count(Counter::kRepairDropped, static_cast<uint64_t>(dropped));
}

void IndexFile::LinkInOrder(const std::vector<int32_t>& valid,
                            const std::vector<int32_t>& free_list) {
  auto relink = [this](const std::vector<int32_t>& order, int32_t* head, int32_t* tail) {
    for (size_t k = 0; k < order.size(); ++k) {
      ImageFileBlock& b = blocks_[order[k]];
      const int32_t left = k == 0 ? kNoBlock : order[k - 1];
      const int32_t right = k + 1 == order.size() ? kNoBlock : order[k + 1];
      if (b.LeftNode != left) b.LeftNode = left;
      if (b.RightNode != right) b.RightNode = right;
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
  header_->TotalFileCount = static_cast<int32_t>(valid.size());
  header_->ImageFileBlockOffset = kHeaderRegionSize;
  header_->ImageFileBlockNum = kBlockCount;
  hooks::CrashPoint();
}

void IndexFile::SealFreeList() {
  const uint32_t mark = header_->ListedMark;
  WalkList(blocks_, header_->FirstInvalidBlock, kNoBlock, Toward::kTail, [&](int32_t at) {
    std::string_view path;
    if (ListedPath(blocks_[at], &path)) {
      const uint32_t seal = FreeSeal(mark, blocks_[at]);
      if (blocks_[at].Reserved != seal) blocks_[at].Reserved = seal;
    }
    return true;
  });
}

void IndexFile::RebuildListsFromChains() {
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
  LinkInOrder(valid, free_list);
  ClearPlan();
  return true;
}

void IndexFile::ClearPlan() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header_->RebuildState = kRebuildClearing;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // The plan is gone from the reserved words: the blocks the valid list's
  // links reach are sealed as listed with a new mark (which leaves the
  // lookup table stale), the others hold 0, which proves nothing either
  // way, so that a repair still keeps what the links prove.
  RenewListedMark();
  std::vector<uint8_t> listed(kBlockCount, 0);
  WalkList(blocks_, header_->FirstValidBlock, kNoBlock, Toward::kTail, [&](int32_t at) {
    listed[at] = 1;
    return true;
  });
  for (int32_t b = 0; b < kBlockCount; ++b) {
    blocks_[b].Reserved = listed[b] ? ListedSeal(header_->ListedMark, blocks_[b]) : 0;
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  header_->RebuildState = kRebuildNone;
  header_->RebuildValidCount = 0;
  header_->RebuildFreeCount = 0;
}

}  // namespace stow
