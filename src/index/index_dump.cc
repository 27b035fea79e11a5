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
  for (int32_t steps = 0; i != kNoBlock; ++steps) {
    if (steps >= kBlockCount || i < 0 || i >= kBlockCount) {
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
    i = b.RightNode;
  }
  return text;
}

void IndexFile::DumpToFile(const char* path) {
  if (header_ == nullptr) return;
  // Text mode: on Windows every "\n" is written as CR LF.
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) return;
  std::string text;
  {
    Guard guard(*this);
    text = FormatDump(*header_, blocks_, &damaged_);
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
}

}  // namespace stow
