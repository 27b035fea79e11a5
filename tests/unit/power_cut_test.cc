// Power cuts, simulated: a workload runs on an index while its pages are
// recorded at rest and at instants within operations; images after a cut
// take each 4 KiB page from any of those moments (fixed seed); each image
// is recovered as after an unclean stop (the check and undo of the lock,
// then the rebuild from the blocks' seals) and then re-registers listed
// paths. The same images go through the repair by links alone of earlier
// releases, for comparison: the counts of both are printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "index/block_seal.h"
#include "index/list_check.h"
#include "index_test_util.h"
#include "power_cut.h"
#include "stow_hooks.h"

namespace stow {
namespace {

using testing_support::CutCounts;
using testing_support::CutTruth;
using testing_support::IndexImage;
using testing_support::IndexNow;
using testing_support::PageHistory;

// Fewer images under Wine, where each costs more.
const int kImages = platform::kSeparator == '/' ? 160 : 40;
// One snapshot every so many crash points within operations.
constexpr int64_t kPointsPerSnapshot = 9;

PageHistory* g_history = nullptr;
int64_t g_points = 0;
void SnapAtCrashPoint() {
  if (g_history != nullptr && ++g_points % kPointsPerSnapshot == 0) g_history->Snap();
}

class PowerCutTest : public testing_support::IndexTest {
 public:
  struct Workload {
    const char* name;
    int initial;  // entries registered before the first snapshot
    bool full;    // behind them, an index nearly full (FillBehind)
    int images;   // images made, beside kImages
    std::function<void(PowerCutTest&)> run;
  };

  void TearDown() override {
    hooks::g_crash_point_observer = nullptr;
    g_history = nullptr;
    IndexFile::SetRepairForTesting(false, false);
    testing_support::IndexTest::TearDown();
  }

  std::string Path(int k) const { return dir_.Sub("e" + std::to_string(k)); }
  static uint32_t SizeOf(int k, int version) {
    return static_cast<uint32_t>(10 + k % 50 + version);
  }

  // Registers entry `k` at `version` of its size (its file written so).
  void Register(int k, int version = 0) {
    IndexNow() += 1;
    const uint32_t size = SizeOf(k, version);
    testing_support::WriteWholeFile(Path(k), std::string(size, 'x'));
    truth_.registered.insert(Path(k));
    ASSERT_TRUE(Add(Path(k), size));
    if (++ops_ % 4 == 0) AtRest();
  }
  void AtRest() {
    if (history_ != nullptr) at_rest_.push_back(history_->Snap());
  }

  // A nearly full index, so that freed blocks are taken again soon: blocks
  // kFillFrom and up are listed, older than every entry of the workload,
  // with paths of no file; the free list is blocks 0 to kFillFrom - 1.
  static constexpr int32_t kFillFrom = 400;
  void FillBehind() {
    index_.reset();
    IndexImage image = IndexImage::Formatted();
    IndexFileHeader& h = image.header();
    for (int32_t b = kFillFrom; b < kBlockCount; ++b) {
      ImageFileBlock& block = image.block(b);
      std::snprintf(block.ImageFileName, sizeof(block.ImageFileName), "%s", Filler(b).c_str());
      block.FileSize = 1;
      block.AccessTime = static_cast<int32_t>(testing_support::kStartTime - kBlockCount + b);
      block.LeftNode = b + 1 < kBlockCount ? b + 1 : kNoBlock;
      block.RightNode = b > kFillFrom ? b - 1 : kNoBlock;
      truth_.registered.insert(Filler(b));
    }
    h.FirstValidBlock = kBlockCount - 1;
    h.LastValidBlock = kFillFrom;
    h.TotalFileCount = kBlockCount - kFillFrom;
    h.CacheSize = kBlockCount - kFillFrom;
    image.block(kFillFrom - 1).RightNode = kNoBlock;
    h.LastInvalidBlock = kFillFrom - 1;
    ASSERT_TRUE(image.Save(index_path_));
    index_ = Open();
  }
  std::string Filler(int32_t b) const { return dir_.Sub("filler" + std::to_string(b)); }

  // Deletes the files of the workload's entries that `drop` picks, from the
  // head, in batches with a snapshot after each, up to the first filler.
  void Delete(const std::function<bool(int)>& drop) {
    int32_t kept = 0;
    for (bool filler = false; !filler;) {
      IndexNow() += 1;
      PassBatch batch;
      batch.max_calls = 16;
      batch.skip = kept;
      const PassOutcome out = index_->RemoveAll(
          [&](const char* path) {
            const std::string p(path);
            const size_t name = p.find_last_of(platform::kSeparator) + 1;
            if (filler || p.compare(name, 1, "e") != 0) {
              filler = true;
              return false;
            }
            if (!drop(std::stoi(p.substr(name + 1)))) return false;
            std::remove(path);
            return true;
          },
          batch);
      kept += out.kept;
      AtRest();
      if (!out.more) break;
    }
  }

  // What every at-rest snapshot agrees on.
  void LearnTruth() {
    truth_.always.assign(kBlockCount, std::string());
    truth_.never.assign(kBlockCount, 1);
    std::vector<uint8_t> in_all(kBlockCount, 1);
    for (size_t n = 0; n < at_rest_.size(); ++n) {
      const std::vector<uint8_t> whole = history_->Whole(at_rest_[n]);
      const IndexImage image = IndexImage::Of(const_cast<uint8_t*>(whole.data()));
      ASSERT_EQ(image.CheckLists(), "") << "snapshot at rest " << n;
      std::vector<uint8_t> listed(kBlockCount, 0);
      for (int32_t b : image.ValidBlocks()) {
        listed[b] = 1;
        truth_.never[b] = 0;
        const std::string path = image.block(b).ImageFileName;
        if (n == 0) truth_.always[b] = path;
        if (truth_.always[b] != path) in_all[b] = 0;
      }
      for (int32_t b = 0; b < kBlockCount; ++b) {
        if (!listed[b]) in_all[b] = 0;
      }
    }
    // Whole in every snapshot, also those within operations: not the
    // block of an operation under way (as its intent record names it).
    for (size_t s = 0; s < history_->Snapshots(); ++s) {
      uint32_t kind = 0;
      int32_t block = kNoBlock;
      history_->Read(s, offsetof(IndexFileHeader, IntentKind), 4, &kind);
      history_->Read(s, offsetof(IndexFileHeader, IntentBlock), 4, &block);
      if (kind != kIntentNone && BlockInRange(block)) in_all[block] = 0;
    }
    for (int32_t b = 0; b < kBlockCount; ++b) {
      if (!in_all[b]) truth_.always[b].clear();
    }
  }

  // Recovers `image` on `index` (a second index kept open for this) and
  // counts what it got wrong.
  void Recover(IndexFile& index, const std::string& table_path, const std::vector<uint8_t>& image,
               bool chains, CutCounts* counts) {
    IndexFile::SetRepairForTesting(!chains, chains);
    // The companion of the recovering index knows nothing of this image.
    LookupTable(table_path).Begin();
    testing_support::LoadImage(reinterpret_cast<uint8_t*>(index.header()), image);
    if (chains) {
      index.CheckAndRepair();  // the lock's recovery and check, as at open
    } else {
      ASSERT_TRUE(index.RebuildAfterUncleanStop());
    }
    const CutCounts before = *counts;
    counts->images += 1;
    ListReport report;
    if (!CheckLists(*index.header(), index.blocks(), &report)) counts->unsound += 1;
    const IndexImage now = IndexImage::Of(index.header());
    std::unordered_set<std::string_view> listed;
    std::vector<std::pair<std::string, uint32_t>> again;
    for (int32_t b : now.ValidBlocks()) {
      const ImageFileBlock& block = now.block(b);
      std::string_view path;
      if (!ListedPath(block, &path)) {
        counts->nameless += 1;
        continue;
      }
      if (!listed.insert(path).second) counts->twice += 1;
      if (truth_.never[b]) counts->free_listed += 1;
      if (path != truth_.always[b] && truth_.registered.count(std::string(path)) == 0) {
        counts->invented += 1;
      }
      if (again.size() < 20) again.emplace_back(std::string(path), block.FileSize);
    }
    for (int32_t b = 0; b < kBlockCount; ++b) {
      if (!truth_.always[b].empty() && listed.count(truth_.always[b]) == 0) counts->lost += 1;
    }
    // Registered again, listed paths are found, not listed a second time
    // (every third image: the lookup table is rebuilt for it).
    if (counts->images % 3 != 0) again.clear();
    const int32_t files = index.header()->TotalFileCount;
    for (const auto& e : again) {
      index.AddFile(testing_support::MakeRecord(e.first, e.second), 0);
    }
    if (index.header()->TotalFileCount != files) counts->twice += 1;
    const bool bad = counts->unsound != before.unsound || counts->twice != before.twice ||
                     counts->nameless != before.nameless ||
                     counts->free_listed != before.free_listed || counts->lost != before.lost ||
                     counts->invented != before.invented;
    counts->bad_images += bad ? 1 : 0;
  }

  int ops_ = 0;
  std::unique_ptr<PageHistory> history_;
  std::vector<size_t> at_rest_;
  CutTruth truth_;
};

void Print(const char* workload, const char* repair, const CutCounts& c) {
  std::printf(
      "[ power cut ] %-18s %-7s images %4lld  bad %4lld  unsound %3lld  lost %5lld  invented "
      "%4lld  nameless %5lld  free listed %5lld  twice %4lld\n",
      workload, repair, static_cast<long long>(c.images), static_cast<long long>(c.bad_images),
      static_cast<long long>(c.unsound), static_cast<long long>(c.lost),
      static_cast<long long>(c.invented), static_cast<long long>(c.nameless),
      static_cast<long long>(c.free_listed), static_cast<long long>(c.twice));
}

TEST_F(PowerCutTest, RecoveredImagesKeepEveryWholeEntryAndInventNone) {
  const Workload workloads[] = {
      {"new registrations", 150, false, kImages,
       [](PowerCutTest& t) {
         for (int k = 150; k < 450; ++k) t.Register(k);
       }},
      {"refreshes", 600, false, kImages,
       [](PowerCutTest& t) {
         std::mt19937 random(11);
         for (int n = 0; n < 300; ++n) t.Register(static_cast<int>(random() % 600));
       }},
      {"size changes", 600, false, kImages,
       [](PowerCutTest& t) {
         std::mt19937 random(12);
         for (int n = 0; n < 250; ++n) t.Register(static_cast<int>(random() % 600), 1 + n);
       }},
      // Freed blocks taken again for other paths: a stale page shows a free
      // block with the path of a deleted entry, or an entry's block free.
      {"pass, then reuse", 300, true, kImages / 4,
       [](PowerCutTest& t) {
         t.Delete([](int k) { return k % 3 != 0; });
         for (int k = 300; k < 600; ++k) t.Register(k);
       }},
  };
  CutCounts all_chains;
  for (const Workload& w : workloads) {
    SCOPED_TRACE(w.name);
    // A fresh index for each workload, with its initial entries at rest.
    index_.reset();
    testing_support::RemoveTree(cache_dir_);
    ASSERT_TRUE(EnsureDirectory(cache_dir_.c_str()));
    index_ = Open();
    history_.reset();
    at_rest_.clear();
    truth_ = CutTruth();
    if (w.full) FillBehind();
    for (int k = 0; k < w.initial; ++k) Register(k);
    history_ = std::make_unique<PageHistory>(reinterpret_cast<const uint8_t*>(index_->header()));
    AtRest();
    g_history = history_.get();
    hooks::g_crash_point_observer = &SnapAtCrashPoint;
    w.run(*this);
    hooks::g_crash_point_observer = nullptr;
    AtRest();
    LearnTruth();
    ASSERT_GT(history_->ChangedPages(), 5u);

    const std::string recover_dir = dir_.Sub("recover");
    ASSERT_TRUE(EnsureDirectory(recover_dir.c_str()));
    const std::string table_path = recover_dir + platform::kSeparator + kLookupFileName;
    IndexFile::SetRepairForTesting(true, false);
    IndexFile recovering(recover_dir + platform::kSeparator + kIndexFileName,
                         {200 * testing_support::kMiB, 20, 900});
    recovering.SetClockForTesting(&testing_support::IndexClock);
    std::mt19937 random(2026);
    CutCounts seals;
    CutCounts chains;
    std::vector<uint8_t> image;
    const int64_t started = testing_support::NowMs();
    int64_t seals_ms = 0;
    int64_t chains_ms = 0;
    for (int n = 0; n < w.images; ++n) {
      // Two moments, three, or any of them.
      std::vector<size_t> from;
      const int kind = n % 3;
      const size_t count = history_->Snapshots();
      if (kind == 2) {
        for (size_t s = 0; s < count; ++s) from.push_back(s);
      } else {
        for (int k = 0; k < kind + 2; ++k) from.push_back(random() % count);
      }
      history_->Stitch(from, random, &image);
      const int64_t t0 = testing_support::NowMs();
      Recover(recovering, table_path, image, false, &seals);
      const int64_t t1 = testing_support::NowMs();
      Recover(recovering, table_path, image, true, &chains);
      seals_ms += t1 - t0;
      chains_ms += testing_support::NowMs() - t1;
    }
    std::printf(
        "[ power cut ] %s: %zu snapshots, %zu pages changed, %lld ms (recovery by seals %lld "
        "ms, by links %lld ms)\n",
        w.name, history_->Snapshots(), history_->ChangedPages(),
        static_cast<long long>(testing_support::NowMs() - started),
        static_cast<long long>(seals_ms), static_cast<long long>(chains_ms));
    Print(w.name, "seals", seals);
    Print(w.name, "links", chains);
    EXPECT_EQ(seals.bad_images, 0);
    EXPECT_EQ(seals.images, w.images);
    all_chains.bad_images += chains.bad_images;
  }
  // The images are harsh enough to fault the repair by links alone.
  EXPECT_GT(all_chains.bad_images, 0);
}

}  // namespace
}  // namespace stow
