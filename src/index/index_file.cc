#include "index/index_file.h"

#include <cstring>
#include <vector>

#include "config/log.h"
#include "index/lookup.h"
#include "index/object_name.h"

namespace stow {

const char kIndexMagic[] = "Tessaron Stowmaster Index File v2.0 (DO NOT MODIFY THIS FILE!)\n\n";

IndexFile::IndexFile(const std::string& index_path, const CacheSettings& settings)
    : settings_(settings) {
  mutex_ =
      platform::env().OpenNamedMutex(MakeObjectName(kMutexPrefix, index_path.c_str()), index_path);
  file_ = platform::env().OpenSharedFile(
      index_path, MakeObjectName(kMappingPrefix, index_path.c_str()), kIndexFileSize);
  header_ = reinterpret_cast<IndexFileHeader*>(file_->data());
  blocks_ = reinterpret_cast<ImageFileBlock*>(file_->data() + kHeaderRegionSize);
  FormatIfNeeded();
}

IndexFile::~IndexFile() { Close(); }

void IndexFile::Close() {
  header_ = nullptr;
  blocks_ = nullptr;
  file_.reset();
  mutex_.reset();
}

int64_t IndexFile::Now() const {
  return clock_ != nullptr ? clock_() : platform::env().NowSeconds();
}

bool IndexFile::MagicMatches() const {
  return std::memcmp(header_->Magic, kIndexMagic, sizeof(kIndexMagic)) == 0;
}

void IndexFile::Lock() {
  const bool abandoned = mutex_->Lock() == platform::NamedMutex::LockResult::kAbandoned;
  if (!MagicMatches()) return;  // about to be formatted
  // A marker still set means the last holder died before it finished.
  RepairIfDamaged(abandoned || header_->LockMarker != 0);
  header_->LockMarker = 1;
}

void IndexFile::Unlock() {
  if (damaged_) RepairIfDamaged(false);
  header_->LockMarker = 0;
  mutex_->Unlock();
}

void IndexFile::RepairIfDamaged(bool force_check) {
  bool rebuild = damaged_;
  if (!rebuild && force_check) rebuild = !ListsAreConsistent();
  damaged_ = false;
  if (!rebuild) return;
  RebuildLists();
  WriteLogBufferToFile("Index lists were damaged and have been rebuilt: %d files, %lld bytes.\n",
                       header_->TotalFileCount, static_cast<long long>(header_->CacheSize));
}

bool IndexFile::CheckAndRepair() {
  Guard guard(*this);
  if (ListsAreConsistent()) return false;
  damaged_ = true;
  return true;
}

void IndexFile::FormatIfNeeded() {
  Guard guard(*this);
  if (MagicMatches()) {
    // An index in use already: check it once on open, since a damaged file
    // keeps its magic text.
    if (!ListsAreConsistent()) damaged_ = true;
    return;
  }
  std::memset(file_->data(), 0, kIndexFileSize);
  std::memcpy(header_->Magic, kIndexMagic, sizeof(kIndexMagic));
  header_->CacheSize = 0;
  header_->ImageFileBlockOffset = kHeaderRegionSize;
  header_->ImageFileBlockNum = kBlockCount;
  header_->FirstValidBlock = kNoBlock;
  header_->LastValidBlock = kNoBlock;
  // Every block joins the free list in order, as appending them one by one
  // at its tail would leave them.
  for (int32_t i = 0; i < kBlockCount; ++i) {
    blocks_[i].LeftNode = i - 1;
    blocks_[i].RightNode = i + 1 < kBlockCount ? i + 1 : kNoBlock;
  }
  header_->FirstInvalidBlock = 0;
  header_->LastInvalidBlock = kBlockCount - 1;
}

// ------------------------------------------------------------- the lists ---

void IndexFile::UnlinkBlock(int32_t& head, int32_t& tail, int32_t i) {
  ImageFileBlock* b = Block(i);
  if (b == nullptr) return;
  if (i == head) {
    if (b->RightNode == kNoBlock) {
      head = kNoBlock;
      tail = kNoBlock;
    } else {
      head = b->RightNode;
      if (ImageFileBlock* next = Block(head)) next->LeftNode = kNoBlock;
    }
  } else {
    if (ImageFileBlock* prev = Block(b->LeftNode)) prev->RightNode = b->RightNode;
    if (b->RightNode == kNoBlock) {
      tail = b->LeftNode;
    } else if (ImageFileBlock* next = Block(b->RightNode)) {
      next->LeftNode = b->LeftNode;
    }
  }
  b->LeftNode = kNoBlock;
  b->RightNode = kNoBlock;
}

void IndexFile::LinkBlock(int32_t& head, int32_t& tail, int32_t i, bool at_front) {
  ImageFileBlock* b = Block(i);
  if (b == nullptr) return;
  if (at_front) {
    b->RightNode = head;
    b->LeftNode = kNoBlock;
    if (head == kNoBlock) {
      tail = i;
    } else if (ImageFileBlock* old = Block(head)) {
      old->LeftNode = i;
    }
    head = i;
  } else {
    b->RightNode = kNoBlock;
    b->LeftNode = tail;
    if (tail == kNoBlock) {
      head = i;
    } else if (ImageFileBlock* old = Block(tail)) {
      old->RightNode = i;
    }
    tail = i;
  }
}

int32_t IndexFile::AllocateBlock() {
  const int32_t i = header_->FirstInvalidBlock;
  if (i == kNoBlock) return kNoBlock;
  if (Block(i) == nullptr) {
    damaged_ = true;
    return kNoBlock;
  }
  UnlinkBlock(header_->FirstInvalidBlock, header_->LastInvalidBlock, i);
  LinkBlock(header_->FirstValidBlock, header_->LastValidBlock, i, true);
  return i;
}

void IndexFile::FreeBlock(int32_t i) {
  header_->CacheSize -= blocks_[i].FileSize;
  header_->TotalFileCount -= 1;
  UnlinkBlock(header_->FirstValidBlock, header_->LastValidBlock, i);
  LinkBlock(header_->FirstInvalidBlock, header_->LastInvalidBlock, i, false);
}

namespace {

// Walks one list from its head and marks its blocks in `seen`. False when the
// list leaves the block range, meets a block twice, has a back link that does
// not point to its predecessor, or does not end at `tail`.
bool CheckList(const ImageFileBlock* blocks, int32_t head, int32_t tail, std::vector<uint8_t>& seen,
               int32_t* count, int64_t* bytes) {
  int32_t prev = kNoBlock;
  for (int32_t i = head; i != kNoBlock; i = blocks[i].RightNode) {
    if (i < 0 || i >= kBlockCount || seen[i] || blocks[i].LeftNode != prev) return false;
    seen[i] = 1;
    *count += 1;
    *bytes += blocks[i].FileSize;
    prev = i;
  }
  return tail == prev;
}

// Collects the blocks of one list as far as its links can be trusted: along
// the forward links from the head, then backwards from the tail for the part
// that a broken forward link cut off.
std::vector<int32_t> SalvageList(const ImageFileBlock* blocks, int32_t head, int32_t tail,
                                 std::vector<uint8_t>& seen) {
  std::vector<int32_t> order;
  for (int32_t i = head; i >= 0 && i < kBlockCount && !seen[i]; i = blocks[i].RightNode) {
    seen[i] = 1;
    order.push_back(i);
  }
  std::vector<int32_t> back;
  for (int32_t i = tail; i >= 0 && i < kBlockCount && !seen[i]; i = blocks[i].LeftNode) {
    seen[i] = 1;
    back.push_back(i);
  }
  order.insert(order.end(), back.rbegin(), back.rend());
  return order;
}

}  // namespace

bool IndexFile::ListsAreConsistent() const {
  std::vector<uint8_t> seen(kBlockCount, 0);
  int32_t valid = 0;
  int64_t bytes = 0;
  int32_t free_count = 0;
  int64_t free_bytes = 0;
  return CheckList(blocks_, header_->FirstValidBlock, header_->LastValidBlock, seen, &valid,
                   &bytes) &&
         CheckList(blocks_, header_->FirstInvalidBlock, header_->LastInvalidBlock, seen,
                   &free_count, &free_bytes) &&
         valid + free_count == kBlockCount && header_->TotalFileCount == valid &&
         header_->CacheSize == bytes && header_->ImageFileBlockOffset == kHeaderRegionSize &&
         header_->ImageFileBlockNum == kBlockCount;
}

void IndexFile::RebuildLists() {
  std::vector<uint8_t> seen(kBlockCount, 0);
  std::vector<int32_t> valid =
      SalvageList(blocks_, header_->FirstValidBlock, header_->LastValidBlock, seen);
  std::vector<int32_t> free_list =
      SalvageList(blocks_, header_->FirstInvalidBlock, header_->LastInvalidBlock, seen);
  // A block in neither list was in the middle of a move: it is freed.
  for (int32_t i = 0; i < kBlockCount; ++i) {
    if (!seen[i]) free_list.push_back(i);
  }
  auto relink = [this](const std::vector<int32_t>& order, int32_t* head, int32_t* tail) {
    for (size_t k = 0; k < order.size(); ++k) {
      blocks_[order[k]].LeftNode = k == 0 ? kNoBlock : order[k - 1];
      blocks_[order[k]].RightNode = k + 1 == order.size() ? kNoBlock : order[k + 1];
    }
    *head = order.empty() ? kNoBlock : order.front();
    *tail = order.empty() ? kNoBlock : order.back();
  };
  relink(valid, &header_->FirstValidBlock, &header_->LastValidBlock);
  relink(free_list, &header_->FirstInvalidBlock, &header_->LastInvalidBlock);
  int64_t bytes = 0;
  for (int32_t i : valid) bytes += blocks_[i].FileSize;
  header_->CacheSize = bytes;
  header_->TotalFileCount = static_cast<int32_t>(valid.size());
  header_->ImageFileBlockOffset = kHeaderRegionSize;
  header_->ImageFileBlockNum = kBlockCount;
}

// ------------------------------------------------------------ operations ---

bool IndexFile::AddFile(const FileRecord& record, uint32_t delay) {
  if (header_ == nullptr) return false;
  Guard guard(*this);
  const int32_t found = FindListed(*header_, blocks_, record, &damaged_);
  if (found != kNoBlock) {
    blocks_[found].AccessTime = static_cast<int32_t>(Now());
    UnlinkBlock(header_->FirstValidBlock, header_->LastValidBlock, found);
    LinkBlock(header_->FirstValidBlock, header_->LastValidBlock, found, true);
    return true;
  }
  const int32_t i = AllocateBlock();
  if (i == kNoBlock) return false;
  ImageFileBlock& b = blocks_[i];
  std::memcpy(b.ImageFileName, record.ImageFileName, kFileNameSize);
  b.FileSize = record.FileSize;
  b.Delay = static_cast<int64_t>(delay);
  b.AccessTime = static_cast<int32_t>(Now());
  header_->CacheSize += record.FileSize;
  header_->TotalFileCount += 1;
  return true;
}

namespace {

// The stored path with a terminator, whatever the block holds.
struct StoredName {
  explicit StoredName(const ImageFileBlock& b) {
    std::memcpy(text, b.ImageFileName, kFileNameSize);
    text[kFileNameSize - 1] = '\0';
  }
  char text[kFileNameSize];
};

}  // namespace

namespace {

// Calls `remove` for block `i` within the limits of `batch`: false when the
// batch is used up (the block is left for the next one).
template <typename Free>
bool RemoveInBatch(const ImageFileBlock& b, int32_t i, const RemoveFileFn& remove,
                   const PassBatch& batch, int32_t* skip, PassOutcome* out, Free free_block) {
  if (batch.max_calls > 0 && out->freed + out->kept >= batch.max_calls) {
    out->more = true;
    return false;
  }
  if (*skip > 0) {
    --*skip;
    return true;
  }
  const uint32_t size = b.FileSize;
  if (remove(StoredName(b).text)) {
    free_block(i);
    out->freed += 1;
    out->freed_bytes += size;
  } else {
    out->kept += 1;
    out->kept_bytes += size;
  }
  return true;
}

}  // namespace

PassOutcome IndexFile::RemoveAll(const RemoveFileFn& remove, const PassBatch& batch) {
  PassOutcome out;
  if (header_ == nullptr) return out;
  Guard guard(*this);
  int32_t skip = batch.skip;
  WalkValid(false, [&](int32_t i) {
    return RemoveInBatch(blocks_[i], i, remove, batch, &skip, &out,
                         [this](int32_t k) { FreeBlock(k); });
  });
  return out;
}

PassOutcome IndexFile::ShrinkCache(const RemoveFileFn& remove, const PassBatch& batch) {
  PassOutcome out;
  if (header_ == nullptr) return out;
  Guard guard(*this);
  const double limit = static_cast<double>(settings_.CacheSize);
  const double precision = static_cast<double>(settings_.Precision);
  const double high = ((precision + 100.0) * limit) * 0.01;
  if (!batch.continuing && static_cast<double>(header_->CacheSize) <= high) return out;
  const double low = ((100.0 - precision) * limit) * 0.01;
  int32_t skip = batch.skip;
  WalkValid(true, [&](int32_t i) {
    if (low > static_cast<double>(header_->CacheSize)) return false;
    const ImageFileBlock& b = blocks_[i];
    // Ages are differences of 32-bit times, as the index stores them.
    const uint32_t now = static_cast<uint32_t>(Now());
    const int64_t age = static_cast<int32_t>(now - static_cast<uint32_t>(b.AccessTime));
    if (age < settings_.Delay || age < b.Delay) return true;
    return RemoveInBatch(b, i, remove, batch, &skip, &out, [this](int32_t k) { FreeBlock(k); });
  });
  return out;
}

bool IndexFile::Flush() { return file_ != nullptr && file_->Flush(); }

}  // namespace stow
