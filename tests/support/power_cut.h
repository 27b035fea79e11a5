// A power cut, simulated on an index that a test runs the library on: the
// mapped pages are recorded at chosen moments (snapshots), and an image
// after a cut is built page by page, each 4 KiB page taken from any of the
// snapshots, as writeback may have left them on the disk in any subset and
// order. The index is a shared mapping, so the layer works on copies of
// the mapped pages, not on write calls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "index/layout.h"

namespace stow {
namespace testing_support {

constexpr size_t kCutPageSize = 4096;
constexpr size_t kCutPages = (kIndexFileSize + kCutPageSize - 1) / kCutPageSize;

// The versions of every page of an index, and which version each snapshot
// saw: only pages that changed since the snapshot before are kept again.
class PageHistory {
 public:
  explicit PageHistory(const uint8_t* view) : view_(view), versions_(kCutPages) {}

  // Records the pages as they are now; returns the snapshot's number.
  size_t Snap() {
    std::vector<uint32_t> seen(kCutPages);
    for (size_t p = 0; p < kCutPages; ++p) {
      const uint8_t* now = view_ + p * kCutPageSize;
      const size_t size = PageBytes(p);
      std::vector<std::vector<uint8_t>>& v = versions_[p];
      if (v.empty() || std::memcmp(v.back().data(), now, size) != 0)
        v.emplace_back(now, now + size);
      seen[p] = static_cast<uint32_t>(v.size() - 1);
    }
    snapshots_.push_back(std::move(seen));
    return snapshots_.size() - 1;
  }

  size_t Snapshots() const { return snapshots_.size(); }

  // The whole index as snapshot `s` saw it.
  std::vector<uint8_t> Whole(size_t s) const {
    std::vector<uint8_t> out(kIndexFileSize);
    for (size_t p = 0; p < kCutPages; ++p) Put(out.data(), p, s);
    return out;
  }

  // `size` bytes at `offset` of the index as snapshot `s` saw it.
  void Read(size_t s, size_t offset, size_t size, void* out) const {
    uint8_t* to = static_cast<uint8_t*>(out);
    while (size > 0) {
      const size_t p = offset / kCutPageSize;
      const size_t in = offset % kCutPageSize;
      const size_t n = std::min(size, kCutPageSize - in);
      std::memcpy(to, versions_[p][snapshots_[s][p]].data() + in, n);
      to += n;
      offset += n;
      size -= n;
    }
  }

  // An image after a cut, into `out` (kIndexFileSize bytes, kept between
  // calls): each page from one of `from` (snapshot numbers), chosen by
  // `random`. Pages that never changed are written the first time only.
  void Stitch(const std::vector<size_t>& from, std::mt19937& random,
              std::vector<uint8_t>* out) const {
    const bool fresh = out->size() != kIndexFileSize;
    if (fresh) out->assign(kIndexFileSize, 0);
    for (size_t p = 0; p < kCutPages; ++p) {
      if (versions_[p].size() == 1) {
        if (fresh) Put(out->data(), p, from[0]);
        continue;
      }
      Put(out->data(), p, from[random() % static_cast<uint32_t>(from.size())]);
    }
  }

  // Pages that hold more than one version.
  size_t ChangedPages() const {
    size_t n = 0;
    for (const auto& v : versions_) n += v.size() > 1 ? 1 : 0;
    return n;
  }

 private:
  static size_t PageBytes(size_t p) {
    return p + 1 == kCutPages ? kIndexFileSize - p * kCutPageSize : kCutPageSize;
  }
  void Put(uint8_t* out, size_t p, size_t s) const {
    const std::vector<uint8_t>& page = versions_[p][snapshots_[s][p]];
    std::memcpy(out + p * kCutPageSize, page.data(), page.size());
  }

  const uint8_t* view_;
  std::vector<std::vector<std::vector<uint8_t>>> versions_;
  std::vector<std::vector<uint32_t>> snapshots_;
};

// Copies `image` into the mapped index at `view`, page by page, writing
// only the pages that differ (most do not).
inline void LoadImage(uint8_t* view, const std::vector<uint8_t>& image) {
  for (size_t at = 0; at < kIndexFileSize; at += kCutPageSize) {
    const size_t size = std::min(kCutPageSize, kIndexFileSize - at);
    if (std::memcmp(view + at, image.data() + at, size) != 0) {
      std::memcpy(view + at, image.data() + at, size);
    }
  }
}

// What a recovered index got wrong against the snapshots it was stitched
// from. `always` holds, for each block, the path it listed in every
// snapshot taken at rest (empty if not listed in all, or not with the same
// path); `never` whether it was free in every one; `registered` every path
// ever registered.
struct CutTruth {
  std::vector<std::string> always;
  std::vector<uint8_t> never;
  std::unordered_set<std::string> registered;
};

struct CutCounts {
  int64_t images = 0;
  int64_t unsound = 0;      // the library's own check calls it damaged
  int64_t twice = 0;        // paths listed by more than one block
  int64_t nameless = 0;     // listed blocks without a path
  int64_t free_listed = 0;  // listed blocks that were free in every snapshot
  int64_t lost = 0;         // paths listed in every snapshot, now not listed
  int64_t invented = 0;     // listed paths never registered
  int64_t bad_images = 0;   // images with any of the above
};

}  // namespace testing_support
}  // namespace stow
