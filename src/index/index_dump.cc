// The text picture of the index that every shutdown leaves in the cache
// folder, for diagnosis.
#include "index/index_dump.h"

#include <cinttypes>
#include <cstdio>

#include "index/index_file.h"

namespace stow {

std::string FormatDump(const IndexFileHeader& h, const ImageFileBlock* blocks, bool* damaged) {
  std::string text = "\nDump Index File Header (v2.0)...\n\n";
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
                h.CacheSize, h.TotalFileCount, h.ImageFileBlockOffset, h.ImageFileBlockNum,
                h.FirstValidBlock, h.LastValidBlock, h.FirstInvalidBlock, h.LastInvalidBlock);
  text += buffer;
  text += "\nDump Image File Blocks...\n\n";
  int32_t i = h.FirstValidBlock;
  // Bounded, and each block must link back to the one before, so that a
  // damaged list ends the dump where it is damaged.
  for (int32_t steps = 0, prev = kNoBlock; i != kNoBlock; ++steps) {
    if (steps >= kBlockCount || !BlockInRange(i) || blocks[i].LeftNode != prev) {
      if (damaged != nullptr) *damaged = true;
      break;
    }
    const ImageFileBlock& b = blocks[i];
    std::snprintf(buffer, sizeof(buffer),
                  "\t\t\tNum:            %d,\t\t\n"
                  "\t\t\tImageFileName:  %.*s,\t\t\n"
                  "\t\t\tFileSize:       %d,\t\t\n"
                  "\t\t\tDelay:          %" PRId64
                  ",\t\n"
                  "\t\t\tLeftNode:       %d,\t\t\n"
                  "\t\t\tRightNode:      %d,\t\t\n"
                  "\t\t\t------------------------------------\n",
                  i, static_cast<int>(kFileNameSize), b.ImageFileName,
                  static_cast<int32_t>(b.FileSize), b.Delay, b.LeftNode, b.RightNode);
    text += buffer;
    prev = i;
    i = b.RightNode;
  }
  return text;
}

void IndexFile::DumpToFile(const char* path) {
  if (header_ == nullptr) return;
  std::string text;
  {
    Guard guard(*this, Guard::kReport);
    if (!guard.held()) return;
    text = FormatDump(*header_, blocks_, &damaged_);
  }
  // Stored as a text file stores it (on Windows each "\n" as CR LF), in a
  // file opened only now, never through a link or when it is not a regular
  // file of its own: nothing is written when it cannot be.
  std::string stored;
  stored.reserve(text.size());
  for (char c : text) {
    if (c == '\n') {
      stored += platform::kLineEnd;
    } else {
      stored += c;
    }
  }
  platform::env().WriteOwnFile(path, stored.data(), stored.size());
}

}  // namespace stow
