#include "maintenance/reconcile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fault_env.h"
#include "index/report.h"
#include "index_test_util.h"
#include "maintenance/work_thread.h"

namespace stow {
namespace {

using testing_support::ReadWholeFile;
using testing_support::WriteWholeFile;

// A cache in use, then a restart of the machine: the first pass makes the
// index agree with the disk.
class ReconcileTest : public testing_support::IndexTest {
 protected:
  static constexpr const char* kSummary = "Reconciled with the disk after the restart:";
  static constexpr const char* kNotFinished = "Reconciliation with the disk not finished";

  void SetUp() override {
    IndexTest::SetUp();
    started_ = platform::DefaultEnv().NowSeconds() - 1000;
    extra_dir_ = dir_.Sub("extra");
    std::filesystem::create_directories(extra_dir_);
  }
  std::string InCache(const char* name) { return cache_dir_ + platform::kSeparator + name; }
  // A file of `size` bytes last modified `age` seconds from the start of
  // the machine (< 0: before it).
  void MakeFile(const std::string& path, size_t size, int64_t age) {
    ASSERT_TRUE(WriteWholeFile(path, std::string(size, 'x')));
    namespace fs = std::filesystem;
    const auto at = fs::file_time_type::clock::now() +
                    std::chrono::seconds(started_ + age - platform::DefaultEnv().NowSeconds());
    fs::last_write_time(fs::path(path), at);
  }
  // Listed: gone (no file), resized (listed 100, 5 on disk), kept. On disk
  // unlisted: old.dat (before the start), new.dat (after), and extra/f.dat
  // in a FileFolders folder (before).
  void Populate() {
    MakeFile(InCache("resized"), 5, -500);
    MakeFile(InCache("kept"), 7, -500);
    ASSERT_TRUE(Add(InCache("gone"), 10));
    ASSERT_TRUE(Add(InCache("resized"), 100));
    ASSERT_TRUE(Add(InCache("kept"), 7));
    MakeFile(InCache("old.dat"), 3, -200);
    MakeFile(InCache("new.dat"), 4, 200);
    MakeFile(extra_dir_ + platform::kSeparator + "f.dat", 6, -300);
  }
  int Count(const char* text) {
    const std::string log =
        ReadWholeFile(dir_.Sub(testing_support::LogFileName(testing_support::kLogTestTime)));
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  bool StatusPending() {
    return ReadStatus(index_path_, {200 * testing_support::kMiB, 20, 900}, 0, 0)
        .reconciliation_pending;
  }
  std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  int64_t started_ = 0;
  std::string extra_dir_;
};

TEST_F(ReconcileTest, TheFirstPassAfterARestartMakesTheIndexAgreeWithTheDisk) {
  struct Case {
    const char* what;
    bool restart;                     // the pass runs in another start of the machine
    bool boot_known;                  // the system tells the start
    bool adopt_file_folders;          // AdoptFileFolders=1
    bool lock_refused;                // the first pass cannot have the index lock
    std::vector<const char*> listed;  // after the passes, in the cache folder
    bool extra_listed;                // extra/f.dat listed
  };
  const Case cases[] = {
      {"no restart", false, true, false, false, {"gone", "kept", "resized"}, false},
      {"the start not known", true, false, false, false, {"gone", "kept", "resized"}, false},
      {"a restart", true, true, false, false, {"kept", "old.dat", "resized"}, false},
      {"a restart, FileFolders adopted",
       true,
       true,
       true,
       false,
       {"kept", "old.dat", "resized"},
       true},
      {"a restart, the lock refused first",
       true,
       true,
       false,
       true,
       {"kept", "old.dat", "resized"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A new cache and log for each case.
    TearDown();
    std::filesystem::remove_all(cache_dir_);
    std::filesystem::remove_all(extra_dir_);
    std::filesystem::remove(dir_.Sub(testing_support::LogFileName(testing_support::kLogTestTime)));
    SetUp();
    WriteSettings("[Cache]\nCacheDir=" + cache_dir_ + "\nFileFolders=" + extra_dir_ +
                  "\nAdoptFileFolders=" + (c.adopt_file_folders ? "1" : "0") + "\n");
    Populate();
    testing_support::FaultEnv env;
    env.pretend_boot = c.restart;
    env.boot.known = c.boot_known;
    env.boot.bytes[0] = 0xA5;
    env.boot.started = started_;
    index_.reset();
    index_ = Open();
    const bool pending = c.restart && c.boot_known;
    EXPECT_EQ(pending, index_->ReconciliationPending());
    EXPECT_EQ(pending, StatusPending());

    WorkThread worker(index_.get(), index_path_, {200 * testing_support::kMiB, 20, 900}, 0);
    if (c.lock_refused) {
      env.lock_times_out = true;
      try {
        worker.ShrinkNow();
      } catch (const OsError&) {
        // The eviction pass after it cannot have the lock either.
      }
      env.lock_times_out = false;
      EXPECT_TRUE(index_->ReconciliationPending());
      EXPECT_EQ(1, Count(kNotFinished));
      EXPECT_EQ(4, H().TotalFileCount + 1) << "nothing changed";
      // Not tried again at once: only once the retry time has passed.
      worker.ShrinkNow();
      EXPECT_TRUE(index_->ReconciliationPending());
      testing_support::IndexNow() += LookupTable::kReconcileRetrySeconds;
    }
    worker.ShrinkNow();
    EXPECT_FALSE(index_->ReconciliationPending());
    EXPECT_FALSE(StatusPending());
    const int summaries = Count(kSummary);
    EXPECT_EQ(pending ? (c.lock_refused ? 2 : 1) : 0, summaries);
    // A second pass does nothing more.
    worker.ShrinkNow();
    EXPECT_EQ(summaries, Count(kSummary));

    std::vector<std::string> expected;
    for (const char* name : c.listed) expected.push_back(InCache(name));
    if (c.extra_listed) expected.push_back(extra_dir_ + platform::kSeparator + "f.dat");
    EXPECT_EQ(Sorted(expected), Sorted(testing_support::ValidPaths(*index_)));
    if (pending) {
      EXPECT_EQ(1, Count(("Entry dropped, its file is missing: " + InCache("gone")).c_str()));
      EXPECT_EQ(1,
                Count(("Entry size updated from 100 to 5 bytes: " + InCache("resized")).c_str()));
      const std::string adopted =
          c.extra_listed ? "2 files adopted (9 bytes)" : "1 files adopted (3 bytes)";
      EXPECT_EQ(1,
                Count(("3 entries looked at, 1 dropped, 1 sizes corrected, " + adopted).c_str()));
    }
    EXPECT_EQ(c.lock_refused ? 1 : 0, Count(kNotFinished));
    worker.Stop();
  }
}

// One process reconciles at a time; a claim left by a process that died is
// taken over once it is old, and a forged one from the future at once.
TEST_F(ReconcileTest, TheClaimIsHeldByOneProcessAndTakenOverWhenOld) {
  LookupTable table(cache_dir_ + platform::kSeparator + kLookupFileName);
  LookupTable other(cache_dir_ + platform::kSeparator + kLookupFileName);
  const int64_t now = 1800000000;
  int64_t claim = 0;
  int64_t other_claim = 0;
  ASSERT_TRUE(table.ClaimReconciliation(now, &claim));
  EXPECT_FALSE(other.ClaimReconciliation(now + 1, &other_claim));
  EXPECT_FALSE(
      other.ClaimReconciliation(now + LookupTable::kReconcileClaimSeconds - 1, &other_claim));
  EXPECT_TRUE(other.ClaimReconciliation(now + LookupTable::kReconcileClaimSeconds, &other_claim));
  // The first claimant ends after the takeover: the claim stays the other's.
  table.EndReconciliation(claim, true, now + LookupTable::kReconcileClaimSeconds + 1);
  EXPECT_FALSE(table.ClaimReconciliation(other_claim + 1, &claim));
  // Unfinished, the claim is left to run out after the retry time.
  const int64_t end = other_claim + 5;
  other.EndReconciliation(other_claim, false, end);
  EXPECT_FALSE(table.ClaimReconciliation(end + LookupTable::kReconcileRetrySeconds - 1, &claim));
  ASSERT_TRUE(table.ClaimReconciliation(end + LookupTable::kReconcileRetrySeconds, &claim));
  // Finished, it is given back at once.
  table.EndReconciliation(claim, true, claim + 1);
  ASSERT_TRUE(other.ClaimReconciliation(claim + 2, &other_claim));
  // A claim from the future (a clock set back, or a forged value).
  EXPECT_TRUE(table.ClaimReconciliation(now, &claim));
}

}  // namespace
}  // namespace stow
