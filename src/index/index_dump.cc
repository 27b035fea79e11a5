// The text picture of the index that every shutdown leaves in the cache
// folder, for diagnosis.
#include "index/index_dump.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "index/index_file.h"
#include "index/list_walk.h"

namespace stow {
namespace {

// Entries room is made for beyond those listed when the size was estimated:
// files registered between the estimate and the copy.
constexpr int32_t kEntryMargin = 256;
// Entries from the head whose names size the room for all names.
constexpr int32_t kNameSample = 64;
// Steps of the walk that follow the index's own links; a longer list is
// followed over a copy of every block's links.
constexpr int32_t kDirectSteps = 256;

}  // namespace

DumpSize EstimateDumpSize(const IndexFileHeader& h, const ImageFileBlock* blocks) {
  DumpSize size;
  size.entries = std::min(std::max(h.TotalFileCount, 0), kBlockCount - kEntryMargin) + kEntryMargin;
  size_t longest = 0;
  WalkValidList(h, blocks, Toward::kTail, [&](int32_t i) {
    longest = std::max(longest, StoredBytes(blocks[i]).size());
    return true;
  }, kNameSample);
  // Names of one cache tend to be alike; a quarter more than the longest
  // seen covers most that are longer.
  const size_t per_entry = std::min(kFileNameSize, longest + longest / 4 + 16);
  size.name_bytes = per_entry * static_cast<size_t>(size.entries);
  size.every_block = size.entries > kDirectSteps;
  return size;
}

void DumpCopy::Reserve(const DumpSize& size) {
  if (size.entries > kDirectSteps) {
    links_.assign(kBlockCount, BlockLinks{kNoBlock, kNoBlock});
    places_.assign(kBlockCount, -1);
  }
  entries_.resize(static_cast<size_t>(std::max(size.entries, 0)));
  names_.resize(size.name_bytes);
  entries_.clear();
  names_.clear();
}

bool DumpCopy::Take(const IndexFileHeader& h, const ImageFileBlock* blocks) {
  cache_size_ = h.CacheSize;
  total_file_count_ = h.TotalFileCount;
  block_offset_ = h.ImageFileBlockOffset;
  block_num_ = h.ImageFileBlockNum;
  first_valid_ = h.FirstValidBlock;
  last_valid_ = h.LastValidBlock;
  first_invalid_ = h.FirstInvalidBlock;
  last_invalid_ = h.LastInvalidBlock;
  // The walk: bounded, and each block must link back to the one before, so
  // that a damaged list ends the dump where it is damaged. It leaves the
  // blocks in list order in entries_, their names still to be copied.
  entries_.clear();
  bool direct = true;
  const auto links = [&](int32_t k) {
    return direct ? BlockLinks{blocks[k].LeftNode, blocks[k].RightNode} : links_[k];
  };
  const WalkResult walk =
      WalkLinks(links, h.FirstValidBlock, kNoBlock, Toward::kTail, [&](int32_t i) {
        const BlockLinks at = links(i);
        entries_.push_back(Entry{i, at.left, at.right, 0, 0, 0, 0});
        if (entries_.size() == static_cast<size_t>(kDirectSteps) && at.right != kNoBlock) {
          links_.resize(kBlockCount);
          for (int32_t k = 0; k < kBlockCount; ++k) {
            links_[k] = BlockLinks{blocks[k].LeftNode, blocks[k].RightNode};
          }
          direct = false;
        }
        return true;
      });
  const bool sound = !walk.damaged();
  // The listed blocks' places are known now: their reads do not wait for
  // one another. A long list is read in block order, which the processor
  // can fetch ahead; the names then lie in the copy in that order.
  names_.clear();
  const auto copy = [&](Entry& e) {
    const ImageFileBlock& b = blocks[e.block];
    const std::string_view name = StoredBytes(b);
    e.file_size = b.FileSize;
    e.delay = b.Delay;
    e.name_offset = static_cast<uint32_t>(names_.size());
    e.name_length = static_cast<uint32_t>(name.size());
    names_.insert(names_.end(), name.begin(), name.end());
  };
  if (direct || places_.size() != static_cast<size_t>(kBlockCount)) {
    for (Entry& e : entries_) copy(e);
    return sound;
  }
  for (size_t k = 0; k < entries_.size(); ++k) places_[entries_[k].block] = static_cast<int32_t>(k);
  for (int32_t b = 0; b < kBlockCount; ++b) {
    if (places_[b] >= 0) copy(entries_[places_[b]]);
  }
  return sound;
}

std::string DumpCopy::Format() const {
  std::string text = "\nDump Index File Header (v2.0)...\n\n";
  // About 160 bytes of each block's text are not its name.
  text.reserve(text.size() + 1024 + entries_.size() * 160 + names_.size());
  char buffer[1024];
  std::snprintf(buffer, sizeof(buffer),
                "\t\tIndex File Header...\t\t\t\n"
                "\t\tCahceSize:              %" PRId64
                ",\t\n"
                "\t\tTotalFileCount          %d,\t\t\n"
                "\t\tImageFileBlockOffset:   %d,\t\t\n"
                "\t\tImageFileBlockNum:      %d,\t\t\n"
                "\t\tFirstValidBlock:        %d,\t\t\n"
                "\t\tLastValidBlock:         %d,\t\t\n"
                "\t\tFirstInvalidBlock:      %d,\t\t\n"
                "\t\tLastInvalidBlock:       %d,\t\t\n"
                "\t\t--------------------------------------------\n",
                cache_size_, total_file_count_, block_offset_, block_num_, first_valid_,
                last_valid_, first_invalid_, last_invalid_);
  text += buffer;
  text += "\nDump Image File Blocks...\n\n";
  for (const Entry& e : entries_) {
    std::snprintf(buffer, sizeof(buffer),
                  "\t\t\tNum:            %d,\t\t\n"
                  "\t\t\tImageFileName:  %.*s,\t\t\n"
                  "\t\t\tFileSize:       %d,\t\t\n"
                  "\t\t\tDelay:          %" PRId64
                  ",\t\n"
                  "\t\t\tLeftNode:       %d,\t\t\n"
                  "\t\t\tRightNode:      %d,\t\t\n"
                  "\t\t\t------------------------------------\n",
                  e.block, static_cast<int>(e.name_length), names_.data() + e.name_offset,
                  static_cast<int32_t>(e.file_size), e.delay, e.left, e.right);
    text += buffer;
  }
  return text;
}

std::string FormatDump(const IndexFileHeader& header, const ImageFileBlock* blocks, bool* damaged) {
  DumpCopy copy;
  if (!copy.Take(header, blocks) && damaged != nullptr) *damaged = true;
  return copy.Format();
}

void IndexFile::DumpToFile(const char* path) {
  if (header_ == nullptr) return;
  DumpCopy copy;
  DumpSize size;
  {
    Guard guard(*this, Guard::kReport);
    if (!guard.held()) return;
    size = EstimateDumpSize(*header_, blocks_);
  }
  copy.Reserve(size);
  {
    Guard guard(*this, Guard::kReport);
    if (!guard.held()) return;
    if (!copy.Take(*header_, blocks_)) damaged_ = true;
  }
  const std::string text = copy.Format();
  // Stored as a text file stores it (on Windows each "\n" as CR LF), in a
  // file opened only now, never through a link or when it is not a regular
  // file of its own: nothing is written when it cannot be.
  if (sizeof(platform::kLineEnd) == 2 && platform::kLineEnd[0] == '\n') {
    (void)platform::env().WriteOwnFile(path, text.data(), text.size());
    return;
  }
  std::string stored;
  stored.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '\n') {
      stored += platform::kLineEnd;
    } else {
      stored += c;
    }
  }
  (void)platform::env().WriteOwnFile(path, stored.data(), stored.size());
}

}  // namespace stow
