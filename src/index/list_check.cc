#include "index/list_check.h"

#include <vector>

namespace stow {
namespace {

// Walks one list from its head and marks its blocks in `seen`.
const char* CheckList(const ImageFileBlock* blocks, int32_t head, int32_t tail,
                      std::vector<uint8_t>& seen, int32_t* count, int64_t* bytes) {
  int32_t prev = kNoBlock;
  for (int32_t i = head; i != kNoBlock; i = blocks[i].RightNode) {
    if (i < 0 || i >= kBlockCount) return "a link leaves the block range";
    if (seen[i]) return "a block is listed twice";
    if (blocks[i].LeftNode != prev) return "a back link does not agree";
    seen[i] = 1;
    *count += 1;
    *bytes += blocks[i].FileSize;
    prev = i;
  }
  return tail == prev ? nullptr : "a list does not end at its tail";
}

}  // namespace

bool CheckLists(const IndexFileHeader& header, const ImageFileBlock* blocks, ListReport* report) {
  *report = ListReport();
  std::vector<uint8_t> seen(kBlockCount, 0);
  int64_t free_bytes = 0;
  const char* problem = CheckList(blocks, header.FirstValidBlock, header.LastValidBlock, seen,
                                  &report->valid_count, &report->valid_bytes);
  if (problem == nullptr) {
    problem = CheckList(blocks, header.FirstInvalidBlock, header.LastInvalidBlock, seen,
                        &report->free_count, &free_bytes);
  }
  if (problem == nullptr && report->valid_count + report->free_count != kBlockCount) {
    problem = "a block is in neither list";
  }
  if (problem == nullptr &&
      (header.TotalFileCount != report->valid_count || header.CacheSize != report->valid_bytes)) {
    problem = "the totals do not match the valid list";
  }
  if (problem == nullptr && (header.ImageFileBlockOffset != kHeaderRegionSize ||
                             header.ImageFileBlockNum != kBlockCount)) {
    problem = "the block offset or count is wrong";
  }
  report->problem = problem;
  return problem == nullptr;
}

}  // namespace stow
