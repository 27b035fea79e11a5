#include "support/index_image.h"

#include <cstdio>
#include <cstring>

#include "support/test_platform.h"

namespace stow_test {

using stow::ImageFileBlock;
using stow::IndexFileHeader;
using stow::kBlockCount;
using stow::kNoBlock;

const char kIndexMagicText[] = "Tessaron Stowmaster Index File v2.0 (DO NOT MODIFY THIS FILE!)\n\n";

IndexImage IndexImage::Formatted() {
  IndexImage image;
  image.bytes_.assign(stow::kIndexFileSize, 0);
  IndexFileHeader& h = image.header();
  std::memcpy(h.Magic, kIndexMagicText, sizeof(kIndexMagicText));
  h.ImageFileBlockOffset = stow::kHeaderRegionSize;
  h.ImageFileBlockNum = kBlockCount;
  h.FirstValidBlock = kNoBlock;
  h.LastValidBlock = kNoBlock;
  for (int32_t i = 0; i < kBlockCount; ++i) {
    image.block(i).LeftNode = i - 1;
    image.block(i).RightNode = i + 1 < kBlockCount ? i + 1 : kNoBlock;
  }
  h.FirstInvalidBlock = 0;
  h.LastInvalidBlock = kBlockCount - 1;
  return image;
}

bool IndexImage::Load(const std::string& path) {
  std::string content;
  if (!ReadFile(path, &content) || content.size() != stow::kIndexFileSize) {
    bytes_.clear();
    return false;
  }
  bytes_.assign(content.begin(), content.end());
  return true;
}

bool IndexImage::Save(const std::string& path) const {
  return WriteFile(path, std::string(bytes_.begin(), bytes_.end()));
}

IndexFileHeader& IndexImage::header() { return *reinterpret_cast<IndexFileHeader*>(&bytes_[0]); }
const IndexFileHeader& IndexImage::header() const {
  return *reinterpret_cast<const IndexFileHeader*>(&bytes_[0]);
}
ImageFileBlock& IndexImage::block(int32_t i) {
  return reinterpret_cast<ImageFileBlock*>(&bytes_[stow::kHeaderRegionSize])[i];
}
const ImageFileBlock& IndexImage::block(int32_t i) const {
  return reinterpret_cast<const ImageFileBlock*>(&bytes_[stow::kHeaderRegionSize])[i];
}

bool IndexImage::HasMagic() const {
  return !bytes_.empty() &&
         std::memcmp(header().Magic, kIndexMagicText, sizeof(kIndexMagicText)) == 0;
}

int32_t IndexImage::AddEntry(const std::string& name, uint32_t size, int32_t access_time,
                             int64_t delay) {
  IndexFileHeader& h = header();
  const int32_t i = h.FirstInvalidBlock;
  if (i == kNoBlock) return kNoBlock;
  ImageFileBlock& b = block(i);
  h.FirstInvalidBlock = b.RightNode;
  if (h.FirstInvalidBlock == kNoBlock) {
    h.LastInvalidBlock = kNoBlock;
  } else {
    block(h.FirstInvalidBlock).LeftNode = kNoBlock;
  }
  std::memset(b.ImageFileName, 0, sizeof(b.ImageFileName));
  std::snprintf(b.ImageFileName, sizeof(b.ImageFileName), "%s", name.c_str());
  b.FileSize = size;
  b.AccessTime = access_time;
  b.Delay = delay;
  b.LeftNode = kNoBlock;
  b.RightNode = h.FirstValidBlock;
  if (h.FirstValidBlock == kNoBlock) {
    h.LastValidBlock = i;
  } else {
    block(h.FirstValidBlock).LeftNode = i;
  }
  h.FirstValidBlock = i;
  h.TotalFileCount += 1;
  h.CacheSize += size;
  return i;
}

namespace {

std::string Describe(const char* list, const char* what, int32_t at) {
  char text[128];
  std::snprintf(text, sizeof(text), "%s list: %s at block %d", list, what, at);
  return text;
}

}  // namespace

std::string IndexImage::CheckLists() const {
  if (bytes_.empty()) return "no index loaded";
  const IndexFileHeader& h = header();
  std::vector<uint8_t> seen(kBlockCount, 0);
  int32_t counts[2] = {0, 0};
  int64_t valid_bytes = 0;
  const char* names[2] = {"valid", "free"};
  const int32_t heads[2] = {h.FirstValidBlock, h.FirstInvalidBlock};
  const int32_t tails[2] = {h.LastValidBlock, h.LastInvalidBlock};
  for (int list = 0; list < 2; ++list) {
    int32_t prev = kNoBlock;
    for (int32_t i = heads[list]; i != kNoBlock; i = block(i).RightNode) {
      if (i < 0 || i >= kBlockCount) return Describe(names[list], "link out of range", prev);
      if (seen[i]) return Describe(names[list], "block met twice", i);
      if (block(i).LeftNode != prev) return Describe(names[list], "bad back link", i);
      seen[i] = 1;
      counts[list] += 1;
      if (list == 0) valid_bytes += block(i).FileSize;
      prev = i;
    }
    if (tails[list] != prev) return Describe(names[list], "list does not end at its tail", prev);
  }
  char text[160];
  if (counts[0] + counts[1] != kBlockCount) {
    std::snprintf(text, sizeof(text), "%d valid + %d free blocks, not %d", counts[0], counts[1],
                  kBlockCount);
    return text;
  }
  if (h.TotalFileCount != counts[0] || h.CacheSize != valid_bytes) {
    std::snprintf(text, sizeof(text), "header says %d files / %lld bytes, list has %d / %lld",
                  h.TotalFileCount, static_cast<long long>(h.CacheSize), counts[0],
                  static_cast<long long>(valid_bytes));
    return text;
  }
  if (h.ImageFileBlockOffset != stow::kHeaderRegionSize || h.ImageFileBlockNum != kBlockCount) {
    return "header block offset or count changed";
  }
  return std::string();
}

std::vector<int32_t> IndexImage::ValidBlocks() const {
  std::vector<int32_t> out;
  if (bytes_.empty()) return out;
  for (int32_t i = header().FirstValidBlock;
       i >= 0 && i < kBlockCount && out.size() < static_cast<size_t>(kBlockCount);
       i = block(i).RightNode) {
    out.push_back(i);
  }
  return out;
}

int32_t IndexImage::FreeCount() const {
  if (bytes_.empty()) return -1;
  int32_t count = 0;
  for (int32_t i = header().FirstInvalidBlock; i != kNoBlock; i = block(i).RightNode) {
    if (i < 0 || i >= kBlockCount || count == kBlockCount) return -1;
    ++count;
  }
  return count;
}

std::vector<std::string> IndexImage::ValidNames() const {
  std::vector<std::string> out;
  for (int32_t i : ValidBlocks()) {
    const ImageFileBlock& b = block(i);
    const void* end = std::memchr(b.ImageFileName, 0, sizeof(b.ImageFileName));
    out.emplace_back(b.ImageFileName, end != nullptr
                                          ? static_cast<const char*>(end) - b.ImageFileName
                                          : sizeof(b.ImageFileName));
  }
  return out;
}

}  // namespace stow_test
