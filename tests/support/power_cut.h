// A power cut, simulated on the files that a test runs the library on (the
// index and its lookup table): the mapped pages are recorded at chosen
// moments (snapshots), and an image after a cut is built page by page, each
// 4 KiB page taken from any of the snapshots, as writeback may have left
// them on the disk in any subset and order. Both files are shared
// mappings, so the layer works on copies of the mapped pages, not on write
// calls.
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

// The versions of every page of a mapped file (`size` bytes at `view`), and
// which version each snapshot saw: only pages that changed since the
// snapshot before are kept again.
class PageHistory {
 public:
  explicit PageHistory(const uint8_t* view, size_t size = kIndexFileSize)
      : view_(view),
        size_(size),
        pages_((size + kCutPageSize - 1) / kCutPageSize),
        versions_(pages_) {}

  // Records the pages as they are now; returns the snapshot's number.
  size_t Snap() {
    std::vector<uint32_t> seen(pages_);
    for (size_t p = 0; p < pages_; ++p) {
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

  // The whole file as snapshot `s` saw it, into `out` (resized to the file).
  void Whole(size_t s, std::vector<uint8_t>* out) const {
    out->resize(size_);
    for (size_t p = 0; p < pages_; ++p) Put(out->data(), p, s);
  }

  // `out`, the whole file as snapshot `from` saw it, becomes the file as
  // snapshot `to` saw it: only pages seen in another version are copied.
  void Advance(size_t from, size_t to, std::vector<uint8_t>* out) const {
    for (size_t p = 0; p < pages_; ++p) {
      if (snapshots_[from][p] != snapshots_[to][p]) Put(out->data(), p, to);
    }
  }

  // `size` bytes at `offset` of the file as snapshot `s` saw it.
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

  // An image after a cut, into `out` (the file's size, kept between calls):
  // each page from one of `from` (snapshot numbers), chosen by `random`.
  // Pages that never changed are written the first time only.
  void Stitch(const std::vector<size_t>& from, std::mt19937& random,
              std::vector<uint8_t>* out) const {
    const bool fresh = out->size() != size_;
    if (fresh) out->assign(size_, 0);
    for (size_t p = 0; p < pages_; ++p) {
      if (versions_[p].size() == 1) {
        if (fresh) Put(out->data(), p, from[0]);
        continue;
      }
      Put(out->data(), p, from[random() % static_cast<uint32_t>(from.size())]);
    }
  }

  // Page `p` of `out` (an image of the file) as snapshot `s` saw it.
  void PutPage(size_t p, size_t s, std::vector<uint8_t>* out) const { Put(out->data(), p, s); }

  // Which version of page `p` snapshot `s` saw (0: the first).
  uint32_t Version(size_t s, size_t p) const { return snapshots_[s][p]; }
  size_t Pages() const { return pages_; }

  // Pages that hold more than one version.
  size_t ChangedPages() const {
    size_t n = 0;
    for (const auto& v : versions_) n += v.size() > 1 ? 1 : 0;
    return n;
  }

 private:
  size_t PageBytes(size_t p) const {
    return p + 1 == pages_ ? size_ - p * kCutPageSize : kCutPageSize;
  }
  void Put(uint8_t* out, size_t p, size_t s) const {
    const std::vector<uint8_t>& page = versions_[p][snapshots_[s][p]];
    std::memcpy(out + p * kCutPageSize, page.data(), page.size());
  }

  const uint8_t* view_;
  size_t size_;
  size_t pages_;
  std::vector<std::vector<std::vector<uint8_t>>> versions_;
  std::vector<std::vector<uint32_t>> snapshots_;
};

// Copies `image` into the mapped file at `view` (as long as the image),
// page by page, writing only the pages that differ (most do not).
inline void LoadImage(uint8_t* view, const std::vector<uint8_t>& image) {
  for (size_t at = 0; at < image.size(); at += kCutPageSize) {
    const size_t size = std::min(kCutPageSize, image.size() - at);
    if (std::memcmp(view + at, image.data() + at, size) != 0) {
      std::memcpy(view + at, image.data() + at, size);
    }
  }
}

// What a recovered index got wrong against the snapshots it was stitched
// from. `always` holds, for each block, the path it listed in every
// snapshot taken at rest (empty if not listed in all, or not with the same
// path); `never` whether it was listed in none of them and sealed as
// listed in no snapshot at all (within operations too); `registered` every path
// ever registered.
struct CutTruth {
  std::vector<std::string> always;
  std::vector<uint8_t> never;
  std::unordered_set<std::string> registered;
};

struct CutCounts {
  int64_t images = 0;
  int64_t unsound = 0;          // the library's own check calls it damaged, or the open failed
  int64_t untold = 0;           // opened after a restart without being told of the unclean stop
  int64_t twice = 0;            // paths listed by more than one block
  int64_t stale_twice = 0;      // of them, after recovery with a stale lookup table
  int64_t nameless = 0;         // listed blocks without a path
  int64_t free_listed = 0;      // listed blocks that no moment listed (CutTruth::never)
  int64_t lost = 0;             // paths listed in every snapshot at rest, now not listed
  int64_t invented = 0;         // listed paths never registered
  int64_t wrongly_deleted = 0;  // files a pass after recovery deleted that it must not
  // After the reconciliation of the next start: files of the cache folder
  // not listed once, listed files that are gone, or it did not finish.
  int64_t disagrees = 0;
  int64_t bad_images = 0;  // images with any of the above

  // Whether anything but the images went up since `before`.
  bool WorseThan(const CutCounts& before) const {
    return unsound != before.unsound || untold != before.untold || twice != before.twice ||
           nameless != before.nameless || free_listed != before.free_listed ||
           lost != before.lost || invented != before.invented ||
           wrongly_deleted != before.wrongly_deleted || disagrees != before.disagrees;
  }
};

}  // namespace testing_support
}  // namespace stow
