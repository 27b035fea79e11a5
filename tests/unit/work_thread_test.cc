#include "maintenance/work_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "fault_env.h"
#include "index/object_name.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::kMiB;
using testing_support::PathExists;

class WorkThreadTest : public testing_support::IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    // Another holder of the two eviction slots of this index.
    platform::env()
        .OpenNamedSemaphore(MakeObjectName(kSemaphorePrefix, index_path_.c_str()), index_path_,
                            &slots_)
        .ThrowIfFailed();
    old_ = cache_dir_ + platform::kSeparator + "old.dat";
    testing_support::WriteWholeFile(old_, "o");
  }
  void TearDown() override {
    slots_.reset();
    IndexTest::TearDown();
  }
  // Two files registered at 130 MiB each, old enough: a pass deletes old.dat.
  void RegisterOverLimit() {
    ASSERT_TRUE(Add(old_, 130 * kMiB));
    ASSERT_TRUE(Add(dir_.Sub("new.dat"), 130 * kMiB));
    testing_support::IndexNow() += 1000;
  }
  bool WaitForLog(const std::string& text) {
    for (int i = 0; i < 500 && !LogHas(text); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return LogHas(text);
  }
  std::unique_ptr<platform::NamedSemaphore> slots_;
  std::string old_;
};

TEST_F(WorkThreadTest, InlinePassNeedsAFreeSlotAndGivesItBack) {
  RegisterOverLimit();
  WorkThread worker(index_.get(), index_path_, 0);
  ASSERT_TRUE(slots_->TryAcquire());
  ASSERT_TRUE(slots_->TryAcquire());
  worker.ShrinkNow();
  EXPECT_TRUE(PathExists(old_));
  slots_->Release();
  worker.ShrinkNow();
  EXPECT_FALSE(PathExists(old_));
  EXPECT_EQ(H().TotalFileCount, 1);
  EXPECT_TRUE(slots_->TryAcquire());
}

TEST_F(WorkThreadTest, ThreadHoldsASlotAndRunsALastPassAtStop) {
  WorkThread worker(index_.get(), index_path_, 1);
  ASSERT_TRUE(WaitForLog("Stowmaster Work Thread Starts...\n"));
  EXPECT_TRUE(slots_->TryAcquire());
  EXPECT_FALSE(slots_->TryAcquire());
  RegisterOverLimit();
  worker.Stop();
  EXPECT_TRUE(LogHas("Stowmaster Work Thread Stops...\n"));
  EXPECT_FALSE(PathExists(old_));
  EXPECT_EQ(H().TotalFileCount, 1);
  EXPECT_TRUE(slots_->TryAcquire());
}

// Registrations within one second sync once; what the later ones changed is
// synced by the worker thread on its own timer once the second is over,
// with no registration to do it.
TEST_F(WorkThreadTest, ThreadSyncsWhatRegistrationsLeftUnsynced) {
  testing_support::FaultEnv env;
  env.now = platform::DefaultEnv().NowSeconds() + 100;
  // The index under this Env, gone before it.
  index_ = Open();
  struct Close {
    std::unique_ptr<IndexFile>& index;
    ~Close() { index.reset(); }
  } close{index_};
  ASSERT_TRUE(Add(dir_.Sub("a"), 1));
  const int before = env.syncs;
  ASSERT_TRUE(Add(dir_.Sub("b"), 1));
  EXPECT_EQ(env.syncs, before);
  WorkThread worker(index_.get(), index_path_, 1);
  env.now += 1;
  for (int i = 0; i < 300 && env.syncs - before < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The index and its table, once: the pass at the stop, in the same
  // second, does not sync again.
  worker.Stop();
  EXPECT_EQ(env.syncs - before, 2);
  EXPECT_EQ(env.syncs_under_lock, 0);
}

}  // namespace
}  // namespace stow
