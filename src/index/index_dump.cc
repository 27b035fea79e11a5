// The text picture of the index that every shutdown leaves in the cache
// folder, for diagnosis.
#include <cinttypes>
#include <cstdio>

#include "index/index_file.h"

namespace stow {

void IndexFile::DumpToFile(const char* path) {
  if (header_ == nullptr) return;
  // Text mode: on Windows every "\n" is written as CR LF.
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) return;
  {
    Guard guard(*this);
    const IndexFileHeader& h = *header_;
    std::fputs("\nDump Index File Header (v2.0)...\n\n", out);
    std::fprintf(out,
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
    std::fputs("\nDump Image File Blocks...\n\n", out);
    WalkValid(false, [&](int32_t i) {
      const ImageFileBlock& b = blocks_[i];
      std::fprintf(out,
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
      return true;
    });
  }
  std::fclose(out);
}

}  // namespace stow
