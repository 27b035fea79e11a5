// Power cuts, simulated: a workload runs on an index while the pages of the
// index and of its lookup table are recorded at rest and at instants within
// operations; images after a cut take each 4 KiB page of each file from any
// of those moments (fixed seed). Each image is written into the cache
// folder and recovered the way a client meets it: an index opened there
// under another start of the machine (or, for a process that died without
// a restart, under the same one), whose first lock decides how the last
// stop went. Listed paths are then registered again, an eviction pass runs,
// and the next start of the machine opens the index once more. The same
// images go through the repair by links alone of earlier releases, for
// comparison: the counts of both are printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fault_env.h"
#include "index/block_seal.h"
#include "index/list_check.h"
#include "index_test_util.h"
#include "maintenance/reconcile.h"
#include "power_cut.h"
#include "stow_hooks.h"

namespace stow {
namespace {

using testing_support::CutCounts;
using testing_support::CutTruth;
using testing_support::IndexImage;
using testing_support::IndexNow;
using testing_support::PageHistory;

// Fewer images under Wine, where each costs more. Each opens the index
// twice, and each open after a restart checks every block.
const int kImages = platform::kSeparator == '/' ? 40 : 16;
// The repair by links alone, for comparison, on every so many images.
constexpr int kChainsEvery = 5;
// One snapshot every so many crash points within operations.
constexpr int64_t kPointsPerSnapshot = 24;

// Both files recorded at the same moments: snapshot n of the index and
// snapshot n of the lookup table are one moment.
struct CutRecorder {
  CutRecorder(const uint8_t* index_view, const uint8_t* table_view)
      : index(index_view), table(table_view, LookupTable::kFileSize) {}
  size_t Snap() {
    table.Snap();
    return index.Snap();
  }
  PageHistory index;
  PageHistory table;
};

CutRecorder* g_recorder = nullptr;
int64_t g_points = 0;
void SnapAtCrashPoint() {
  if (g_recorder != nullptr && ++g_points % kPointsPerSnapshot == 0) g_recorder->Snap();
}

platform::BootId Start(uint8_t n) {
  platform::BootId id;
  id.bytes[0] = n;
  id.known = true;
  return id;
}
// The start of the machine the workloads run in, the one after the cut,
// and the one after that.
constexpr uint8_t kWorkloadStart = 1;
constexpr uint8_t kRecoveryStart = 2;
constexpr uint8_t kNextStart = 3;

// What the files hold after the cut, and in which start they are opened.
struct CutImage {
  enum class Table {
    kStitched,       // pages from any of the moments, as the index's
    kMissing,        // the file is gone
    kHeaderCurrent,  // the index whole and the table's header page from the newest moment,
                     // the table's other pages from the oldest
    kSameMoment,     // the moment of the index: a process died, the machine did not restart
  };
  Table table = Table::kStitched;
  std::vector<uint8_t> index_bytes;
  std::vector<uint8_t> table_bytes;
  bool restart() const { return table != Table::kSameMoment; }
};

class PowerCutTest : public testing_support::IndexTest {
 public:
  // For the workloads, which run as lambdas given this fixture.
  using testing_support::IndexTest::index_;
  using testing_support::IndexTest::Open;

  struct Workload {
    const char* name;
    int initial;  // entries registered before the first snapshot
    bool full;    // behind them, an index nearly full (FillBehind)
    int images;   // images made, beside kImages
    std::function<void(PowerCutTest&)> run;
  };

  void SetUp() override {
    testing_support::IndexTest::SetUp();
    index_.reset();
    env_ = std::make_unique<testing_support::FaultEnv>();
    env_->pretend_boot = true;
    env_->boot = Start(kWorkloadStart);
    env_->skip_disk_syncs = true;
    table_path_ = cache_dir_ + platform::kSeparator + kLookupFileName;
    outside_dir_ = dir_.Sub("outside");
    ASSERT_TRUE(EnsureDirectory(outside_dir_.c_str()));
  }
  void TearDown() override {
    hooks::g_crash_point_observer = nullptr;
    g_recorder = nullptr;
    IndexFile::SetRepairForTesting(false, false);
    index_view_.reset();
    table_view_.reset();
    index_.reset();
    env_.reset();
    testing_support::IndexTest::TearDown();
  }

  // Entries from kOutsideFrom on lie outside the cache folder.
  static constexpr int kOutsideFrom = 5000;
  std::string Path(int k) const {
    return (k >= kOutsideFrom ? outside_dir_ : cache_dir_) + platform::kSeparator + "e" +
           std::to_string(k);
  }
  static uint32_t SizeOf(int k, int version) {
    return static_cast<uint32_t>(10 + k % 50 + version);
  }
  void WriteFile(int k, int version) {
    testing_support::WriteWholeFile(Path(k), std::string(SizeOf(k, version), 'x'));
    truth_.registered.insert(Path(k));
  }

  // Registers entry `k` at `version` of its size (its file written so).
  void Register(int k, int version = 0) {
    IndexNow() += 1;
    WriteFile(k, version);
    ASSERT_TRUE(Add(Path(k), SizeOf(k, version)));
    if (++ops_ % 4 == 0) AtRest();
  }
  void AtRest() {
    if (recorder_ != nullptr) at_rest_.push_back(recorder_->Snap());
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
  // head, in batches with a snapshot after each, up to the first filler;
  // the others are refused, as a privileged emptying refuses paths outside
  // the folders it may delete in.
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

  // Registers entries `from` to `to` - 1 through `index`, and refreshes
  // some of them, from a thread of its own.
  struct Registrar {
    IndexFile* index;
    PowerCutTest* test;
    int from;
    int to;
    std::atomic<int>* failed;
  };
  static void RegisterRange(void* arg) {
    auto* r = static_cast<Registrar*>(arg);
    for (int k = r->from; k < r->to; ++k) {
      for (int n : {k, r->from + (k * 7) % (k - r->from + 1)}) {
        const std::string path = r->test->Path(n);
        if (!r->index->AddFile(testing_support::MakeRecord(path, SizeOf(n, 0)), 0)) {
          r->failed->fetch_add(1);
        }
      }
    }
  }
  void RegisterFromTwoThreads(int from, int middle, int to) {
    for (int k = from; k < to; ++k) WriteFile(k, 0);
    IndexNow() += 1;
    std::unique_ptr<IndexFile> second = Open();
    std::atomic<int> failed{0};
    Registrar a{index_.get(), this, from, middle, &failed};
    Registrar b{second.get(), this, middle, to, &failed};
    std::unique_ptr<platform::Thread> thread_a, thread_b;
    platform::env().StartThread(&RegisterRange, &a, &thread_a).ThrowIfFailed();
    platform::env().StartThread(&RegisterRange, &b, &thread_b).ThrowIfFailed();
    thread_a->Join();
    thread_b->Join();
    EXPECT_EQ(failed.load(), 0);
    AtRest();
  }

  // What every at-rest snapshot agrees on, and the most bytes any moment
  // had in use.
  void LearnTruth() {
    const PageHistory& history = recorder_->index;
    truth_.always.assign(kBlockCount, std::string());
    truth_.never.assign(kBlockCount, 1);
    std::vector<uint8_t> in_all(kBlockCount, 1);
    std::vector<uint8_t> whole;
    for (size_t n = 0; n < at_rest_.size(); ++n) {
      if (n == 0) {
        history.Whole(at_rest_[n], &whole);
      } else {
        history.Advance(at_rest_[n - 1], at_rest_[n], &whole);
      }
      const IndexImage image = IndexImage::Of(whole.data());
      ASSERT_EQ(image.CheckLists(), "") << "snapshot at rest " << n;
      std::vector<uint8_t> listed(kBlockCount, 0);
      for (int32_t b : image.ValidBlocks()) {
        listed[b] = 1;
        truth_.never[b] = 0;
        const char* path = image.block(b).ImageFileName;
        if (n == 0) truth_.always[b].assign(path, strnlen(path, kFileNameSize));
        if (std::strncmp(truth_.always[b].c_str(), path, kFileNameSize) != 0) in_all[b] = 0;
      }
      for (int32_t b = 0; b < kBlockCount; ++b) {
        if (!listed[b]) in_all[b] = 0;
      }
    }
    // Whole in every snapshot, also those within operations: not the
    // block of an operation under way (as its intent record names it).
    // Listed at some moment within an operation too: a block sealed as
    // listed then, as a process that died at that moment leaves it (only
    // the blocks of pages that changed since the snapshot before are read).
    most_bytes_ = 0;
    uint32_t last_mark = 0;
    for (size_t s = 0; s < history.Snapshots(); ++s) {
      uint32_t kind = 0;
      int32_t block = kNoBlock;
      int64_t bytes = 0;
      uint32_t mark = 0;
      history.Read(s, offsetof(IndexFileHeader, IntentKind), 4, &kind);
      history.Read(s, offsetof(IndexFileHeader, IntentBlock), 4, &block);
      history.Read(s, offsetof(IndexFileHeader, CacheSize), 8, &bytes);
      history.Read(s, offsetof(IndexFileHeader, ListedMark), 4, &mark);
      if (kind != kIntentNone && BlockInRange(block)) in_all[block] = 0;
      most_bytes_ = std::max(most_bytes_, bytes);
      const auto look = [&](int32_t b) {
        if (!truth_.never[b]) return;
        ImageFileBlock copy;
        history.Read(s, kHeaderRegionSize + size_t{kBlockSize} * b, sizeof(copy), &copy);
        if (mark != 0 && copy.Reserved == ListedSeal(mark, copy)) truth_.never[b] = 0;
      };
      if (s == 0 || mark != last_mark) {
        for (int32_t b = 0; b < kBlockCount; ++b) look(b);
      } else {
        for (size_t p = 0; p < history.Pages(); ++p) {
          if (history.Version(s, p) == history.Version(s - 1, p)) continue;
          const int64_t from = static_cast<int64_t>(p * testing_support::kCutPageSize) -
                               kHeaderRegionSize - (kBlockSize - 1);
          const int64_t to = static_cast<int64_t>((p + 1) * testing_support::kCutPageSize) -
                             kHeaderRegionSize;  // first byte past the page
          for (int64_t b = from <= 0 ? 0 : (from + kBlockSize - 1) / kBlockSize;
               b < kBlockCount && b * kBlockSize < to; ++b) {
            look(static_cast<int32_t>(b));
          }
        }
      }
      last_mark = mark;
    }
    whole_paths_.clear();
    for (int32_t b = 0; b < kBlockCount; ++b) {
      if (!in_all[b]) truth_.always[b].clear();
      if (!truth_.always[b].empty()) whole_paths_.insert(truth_.always[b]);
    }
  }

  // Image `n`: the index stitched from two moments, three, or any of them,
  // with its table as CutImage::Table says, in turn.
  void MakeImage(int n, std::mt19937& random, CutImage* image) {
    const PageHistory& index = recorder_->index;
    const PageHistory& table = recorder_->table;
    const size_t count = index.Snapshots();
    image->table = static_cast<CutImage::Table>(n % 4);
    if (!image->restart()) {
      // Without a restart nothing was lost: both files as they were at the
      // moment the process died.
      const size_t s = random() % count;
      index.Whole(s, &image->index_bytes);
      table.Whole(s, &image->table_bytes);
      return;
    }
    std::vector<size_t> from;
    const int kind = (n / 4) % 3;
    if (kind == 2) {
      for (size_t s = 0; s < count; ++s) from.push_back(s);
    } else {
      for (int k = 0; k < kind + 2; ++k) from.push_back(random() % count);
    }
    index.Stitch(from, random, &image->index_bytes);
    switch (image->table) {
      case CutImage::Table::kStitched:
        table.Stitch(from, random, &image->table_bytes);
        break;
      case CutImage::Table::kHeaderCurrent: {
        // The index written back whole at the newest moment, the table
        // only its header page: the table's header agrees with the index,
        // its slots and notes are the oldest moment's.
        const auto [oldest, newest] = std::minmax_element(from.begin(), from.end());
        index.Whole(*newest, &image->index_bytes);
        table.Whole(*oldest, &image->table_bytes);
        table.PutPage(0, *newest, &image->table_bytes);
        break;
      }
      case CutImage::Table::kMissing:
      case CutImage::Table::kSameMoment:
        break;
    }
  }

  // Puts the image's files in the cache folder, through views of this test
  // (kept between images: only pages that differ are written).
  void PutFiles(const CutImage& image) {
    if (index_view_ == nullptr) {
      platform::DefaultEnv()
          .OpenSharedFile(index_path_, "", kIndexFileSize, "", &index_view_)
          .ThrowIfFailed();
    }
    testing_support::LoadImage(index_view_->data(), image.index_bytes);
    if (image.table == CutImage::Table::kMissing) {
      table_view_.reset();
      std::remove(table_path_.c_str());
      return;
    }
    MapTable();
    testing_support::LoadImage(table_view_->data(), image.table_bytes);
  }
  void MapTable() {
    if (table_view_ != nullptr) return;
    platform::DefaultEnv()
        .OpenSharedFile(table_path_, "", LookupTable::kFileSize, "", &table_view_)
        .ThrowIfFailed();
  }

  // Opens the index in the cache folder as a client does, in start `start`
  // of the machine: its first lock recovers it. Null (counted unsound) when
  // the open fails.
  std::unique_ptr<IndexFile> OpenAsClient(uint8_t start, CutCounts* counts) {
    env_->boot = Start(start);
    try {
      std::unique_ptr<IndexFile> index = Open(recovery_settings_);
      return index;
    } catch (const std::exception& e) {
      counts->unsound += 1;
      std::printf("[ power cut ] open failed: %s\n", e.what());
      return nullptr;
    }
  }

  // Counts what the lists of `index` get wrong against the truth; with
  // `stale`, paths listed twice count again as after a stale table.
  void CountListFaults(IndexFile& index, bool stale, CutCounts* counts) {
    ListReport report;
    if (!CheckLists(*index.header(), index.blocks(), &report)) counts->unsound += 1;
    const IndexImage now = IndexImage::Of(index.header());
    std::unordered_set<std::string_view> listed;
    for (int32_t b : now.ValidBlocks()) {
      const ImageFileBlock& block = now.block(b);
      std::string_view path;
      if (!ListedPath(block, &path)) {
        counts->nameless += 1;
        continue;
      }
      if (!listed.insert(path).second) {
        counts->twice += 1;
        if (stale) counts->stale_twice += 1;
      }
      if (truth_.never[b]) counts->free_listed += 1;
      if (path != truth_.always[b] && truth_.registered.count(std::string(path)) == 0) {
        counts->invented += 1;
      }
    }
    for (int32_t b = 0; b < kBlockCount; ++b) {
      if (!truth_.always[b].empty() && listed.count(truth_.always[b]) == 0) counts->lost += 1;
    }
  }

  // Registers every so many listed paths again, as clients that find their
  // files do: each is found, not listed a second time.
  void RegisterListedAgain(IndexFile& index, bool stale, CutCounts* counts) {
    const IndexImage now = IndexImage::Of(index.header());
    std::vector<std::pair<std::string, uint32_t>> again;
    const std::vector<int32_t> blocks = now.ValidBlocks();
    const size_t step = std::max<size_t>(1, blocks.size() / 24);
    for (size_t n = 0; n < blocks.size(); n += step) {
      std::string_view path;
      if (ListedPath(now.block(blocks[n]), &path)) {
        again.emplace_back(std::string(path), now.block(blocks[n]).FileSize);
      }
    }
    const int32_t files = index.header()->TotalFileCount;
    for (const auto& e : again) index.AddFile(testing_support::MakeRecord(e.first, e.second), 0);
    if (index.header()->TotalFileCount != files) {
      counts->twice += 1;
      if (stale) counts->stale_twice += 1;
    }
  }

  // One eviction pass with marks above the most bytes any moment had in
  // use and no minimum age: it finds nothing to delete unless the recovery
  // counted bytes that are not in use. Files are not deleted, only asked
  // for; one asked for that was listed and whole before the cut, or never
  // listed, is deleted wrongly.
  void PassAfterRecovery(IndexFile& index, CutCounts* counts) {
    index.ShrinkCache([&](const char* path) {
      if (whole_paths_.count(path) != 0 || truth_.registered.count(path) == 0) {
        counts->wrongly_deleted += 1;
      }
      return true;
    });
  }

  // The checks of the cache as the next start of the machine finds it, once
  // the recovery, the registrations and the pass are over: the index has
  // just been opened in the cache folder (cache_dir_), which holds the files
  // of the entries the workload left. Each check counts what it finds into
  // `counts`; a check of that folder against the lists goes here too.
  void CheckAfterRestart(IndexFile& index, CutCounts* counts) {
    CountListFaults(index, false, counts);
    if (!reconcile_after_restart_) return;
    // The first pass of the new start reconciles the index with the disk
    // (the workload's files were all written before that start): then every
    // file of the cache folder is listed once, and no listed file is gone.
    env_->boot.started = platform::DefaultEnv().NowSeconds() + 1;
    const Reconciliation r = ReconcileIfPending(index, index_path_, recovery_settings_, nullptr);
    if (!r.finished) counts->disagrees += 1;
    std::unordered_map<std::string, int> listed;
    const IndexImage now = IndexImage::Of(index.header());
    for (int32_t b : now.ValidBlocks()) {
      std::string_view path;
      if (ListedPath(now.block(b), &path)) listed[std::string(path)] += 1;
    }
    for (const auto& entry : std::filesystem::directory_iterator(cache_dir_)) {
      if (!entry.is_regular_file() || entry.path().filename().string().rfind("Index.", 0) == 0) {
        continue;
      }
      const auto it = listed.find(entry.path().string());
      if (it == listed.end() || it->second != 1) counts->disagrees += 1;
    }
    for (const auto& path : listed) {
      if (!std::filesystem::exists(path.first)) counts->disagrees += 1;
    }
  }

  // Recovers `image` (by seals, or with `chains` by links alone) and counts
  // what it got wrong: after the first lock, after registrations of listed
  // paths, and as the next start of the machine opens the index after a
  // pass (stopped cleanly for half of the images).
  void Recover(const CutImage& image, int n, bool chains, CutCounts* counts) {
    IndexFile::SetRepairForTesting(false, chains);
    PutFiles(image);
    const CutCounts before = *counts;
    counts->images += 1;
    const bool stale = image.table == CutImage::Table::kHeaderCurrent;
    {
      std::unique_ptr<IndexFile> index =
          OpenAsClient(image.restart() ? kRecoveryStart : kWorkloadStart, counts);
      if (index != nullptr) {
        // No workload stops cleanly: after a restart the stop was unclean.
        if (image.restart() && !index->OpenedAfterUncleanStop()) counts->untold += 1;
        CountListFaults(*index, stale, counts);
        RegisterListedAgain(*index, stale, counts);
        PassAfterRecovery(*index, counts);
        if ((n / 4) % 2 == 1) index->MarkCleanStop();
      }
    }
    std::unique_ptr<IndexFile> index = OpenAsClient(kNextStart, counts);
    if (index != nullptr) {
      CheckAfterRestart(*index, counts);
    }
    counts->bad_images += counts->WorseThan(before) ? 1 : 0;
  }

  // Runs workload `w` on a fresh cache folder, recording both files.
  void RunWorkload(const Workload& w) {
    index_view_.reset();
    table_view_.reset();
    index_.reset();
    testing_support::RemoveTree(cache_dir_);
    ASSERT_TRUE(EnsureDirectory(cache_dir_.c_str()));
    env_->boot = Start(kWorkloadStart);
    index_ = Open();
    recorder_.reset();
    at_rest_.clear();
    truth_ = CutTruth();
    if (w.full) FillBehind();
    for (int k = 0; k < w.initial; ++k) Register(k);
    MapTable();
    recorder_ = std::make_unique<CutRecorder>(reinterpret_cast<const uint8_t*>(index_->header()),
                                              table_view_->data());
    AtRest();
    g_recorder = recorder_.get();
    g_points = 0;
    hooks::g_crash_point_observer = &SnapAtCrashPoint;
    w.run(*this);
    hooks::g_crash_point_observer = nullptr;
    g_recorder = nullptr;
    AtRest();
    // The snapshots are copies: the files are free for the images.
    index_.reset();
  }

  std::unique_ptr<testing_support::FaultEnv> env_;
  std::string table_path_;
  std::string outside_dir_;
  int ops_ = 0;
  std::unique_ptr<CutRecorder> recorder_;
  std::vector<size_t> at_rest_;
  CutTruth truth_;
  std::unordered_set<std::string> whole_paths_;  // listed and whole in every snapshot at rest
  int64_t most_bytes_ = 0;
  CacheSettings recovery_settings_ = {200 * testing_support::kMiB, 20, 900};
  // Whether the next start reconciles and is checked against the folder
  // (not with a full index: its fillers name no file, and dropping 99,600
  // entries per image would cost more than the rest of the test).
  bool reconcile_after_restart_ = true;
  std::unique_ptr<platform::SharedFile> index_view_;
  std::unique_ptr<platform::SharedFile> table_view_;
};

void Print(const char* workload, const char* repair, const CutCounts& c) {
  std::printf(
      "[ power cut ] %-22s %-5s images %4lld  bad %4lld  unsound %3lld  untold %3lld  wrongly "
      "deleted %3lld  invented %4lld  lost %5lld  nameless %5lld  free listed %5lld  twice %4lld "
      "(stale table %lld)  disagrees with the disk %lld\n",
      workload, repair, static_cast<long long>(c.images), static_cast<long long>(c.bad_images),
      static_cast<long long>(c.unsound), static_cast<long long>(c.untold),
      static_cast<long long>(c.wrongly_deleted), static_cast<long long>(c.invented),
      static_cast<long long>(c.lost), static_cast<long long>(c.nameless),
      static_cast<long long>(c.free_listed), static_cast<long long>(c.twice),
      static_cast<long long>(c.stale_twice), static_cast<long long>(c.disagrees));
}

TEST_F(PowerCutTest, RecoveredImagesKeepEveryWholeEntryAndInventNone) {
  const Workload workloads[] = {
      {"fresh index", 0, false, kImages,
       [](PowerCutTest& t) {
         for (int k = 0; k < 300; ++k) t.Register(k);
       }},
      {"new registrations", 150, false, kImages,
       [](PowerCutTest& t) {
         for (int k = 150; k < 450; ++k) t.Register(k);
       }},
      {"two threads", 150, false, kImages,
       [](PowerCutTest& t) { t.RegisterFromTwoThreads(150, 300, 450); }},
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
      // Marks at 1.2 and 0.8 of the limit: the pass deletes the oldest ~900
      // of 1100 entries, in batches, letting go of the lock between them.
      {"eviction pass", 1100, false, kImages,
       [](PowerCutTest& t) {
         IndexNow() += 2000;
         std::unique_ptr<IndexFile> pass = t.Open({8625, 20, 900});
         pass->SetPassBatchForTesting(64, 256);
         const PassOutcome out = pass->ShrinkCache(
             [](const char* path) {
               std::remove(path);
               return true;
             },
             [&t](const PassOutcome& so_far) {
               if (so_far.freed % 8 == 0) t.AtRest();
             });
         EXPECT_GT(out.freed, 850);
         for (int k = 1100; k < 1200; ++k) t.Register(k);
       }},
      // Entries outside the cache folder are refused and stay listed.
      {"privileged emptying", 300, false, kImages,
       [](PowerCutTest& t) {
         for (int k = kOutsideFrom; k < kOutsideFrom + 100; ++k) t.Register(k);
         for (int k = 300; k < 400; ++k) t.Register(k);
         t.Delete([](int k) { return k < kOutsideFrom; });
       }},
      // Freed blocks taken again for other paths: a stale page shows a free
      // block with the path of a deleted entry, or an entry's block free.
      {"pass, then reuse", 300, true, kImages / 4,
       [](PowerCutTest& t) {
         t.Delete([](int k) { return k % 3 != 0; });
         for (int k = 300; k < 600; ++k) t.Register(k);
       }},
      // Every block in use: the oldest entries make room for new ones.
      {"full index makes room", kFillFrom, true, kImages / 4,
       [](PowerCutTest& t) {
         EXPECT_TRUE(t.index_->Full());
         IndexNow() += 2000;
         const PassOutcome out = t.index_->MakeRoom([](const char* path) {
           std::remove(path);
           return true;
         });
         EXPECT_GE(out.freed, kRoomTarget);
         t.AtRest();
         for (int k = kFillFrom; k < kFillFrom + 200; ++k) t.Register(k);
       }},
  };
  CutCounts all_chains;
  const int64_t test_started = testing_support::NowMs();
  for (const Workload& w : workloads) {
    SCOPED_TRACE(w.name);
    RunWorkload(w);
    reconcile_after_restart_ = !w.full;
    LearnTruth();
    ASSERT_GT(recorder_->index.ChangedPages(), 5u);
    recovery_settings_ = {most_bytes_, 20, 0};

    std::mt19937 random(2026);
    CutCounts seals;
    CutCounts chains;
    CutImage image;
    const int64_t started = testing_support::NowMs();
    int64_t seals_ms = 0;
    int64_t chains_ms = 0;
    for (int n = 0; n < w.images; ++n) {
      MakeImage(n, random, &image);
      const int64_t t0 = testing_support::NowMs();
      Recover(image, n, false, &seals);
      const int64_t t1 = testing_support::NowMs();
      if (n % kChainsEvery == 0) Recover(image, n, true, &chains);
      seals_ms += t1 - t0;
      chains_ms += testing_support::NowMs() - t1;
    }
    std::printf(
        "[ power cut ] %s: %zu snapshots, %zu index pages and %zu table pages changed, %lld ms "
        "(recovery by seals %lld ms, by links %lld ms)\n",
        w.name, recorder_->index.Snapshots(), recorder_->index.ChangedPages(),
        recorder_->table.ChangedPages(), static_cast<long long>(testing_support::NowMs() - started),
        static_cast<long long>(seals_ms), static_cast<long long>(chains_ms));
    Print(w.name, "seals", seals);
    Print(w.name, "links", chains);
    EXPECT_EQ(seals.bad_images, 0);
    EXPECT_EQ(seals.stale_twice, 0);
    EXPECT_EQ(seals.images, w.images);
    all_chains.bad_images += chains.bad_images;
  }
  std::printf("[ power cut ] all workloads: %lld ms\n",
              static_cast<long long>(testing_support::NowMs() - test_started));
  // The images are harsh enough to fault the repair by links alone.
  EXPECT_GT(all_chains.bad_images, 0);
}

}  // namespace
}  // namespace stow
