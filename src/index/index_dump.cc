// The text picture of the index that every shutdown leaves in the cache
// folder, for diagnosis.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "index/index_file.h"

namespace stow {
namespace {

// Appends formatted text as a text file stores it (on Windows each "\n" as
// CR LF).
void Append(std::string* out, const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  for (const char* p = buffer; *p != '\0'; ++p) {
    if (*p == '\n') {
      *out += platform::kLineEnd;
    } else {
      *out += *p;
    }
  }
}

}  // namespace

void IndexFile::DumpToFile(const char* path) {
  if (header_ == nullptr) return;
  std::string text;
  std::string* out = &text;
  {
    Guard guard(*this, Guard::kReport);
    if (!guard.held()) return;
    const IndexFileHeader& h = *header_;
    Append(out, "\nDump Index File Header (v2.0)...\n\n");
    Append(out,
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
    Append(out, "\nDump Image File Blocks...\n\n");
    WalkValid(false, [&](int32_t i) {
      const ImageFileBlock& b = blocks_[i];
      Append(out,
             "\t\t\tNum:            %d,\t\t\n"
             "\t\t\tImageFileName:  %.*s,\t\t\n"
             "\t\t\tFileSize:       %d,\t\t\n"
             "\t\t\tDelay:          %" PRId64
             ",\t\n"
             "\t\t\tLeftNode:       %d,\t\t\n"
             "\t\t\tRightNode:      %d,\t\t\n"
             "\t\t\t------------------------------------\n",
             i, static_cast<int>(kFileNameSize), b.ImageFileName, static_cast<int32_t>(b.FileSize),
             b.Delay, b.LeftNode, b.RightNode);
      return true;
    });
  }
  // The file is opened only now, and never through a link or when it is not
  // a regular file of its own: nothing is written when it cannot be.
  platform::env().WriteOwnFile(path, text.data(), text.size());
}

}  // namespace stow
