// Failures of the system, made on purpose through the Env, and the states a
// crashed or concurrent holder of the index lock leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "api/process_state.h"
#include "fault_env.h"
#include "index/object_name.h"
#include "index_test_util.h"
#include "maintenance/delete_cached_file.h"
#include "maintenance/work_thread.h"
#include "stow_hooks.h"

namespace stow {
namespace {

using testing_support::FaultEnv;
using testing_support::IndexNow;
using testing_support::kMiB;
using testing_support::PathExists;
using testing_support::WriteWholeFile;
using Paths = std::vector<std::string>;

class FaultInjectionTest : public testing_support::IndexTest {
 protected:
  std::string File(const std::string& name) {
    const std::string path = dir_.Sub(name);
    WriteWholeFile(path, "x");
    return path;
  }
};

// A deletion the system refuses keeps the file listed and counted, and the
// log names the system's code; it runs as root too, where a real refusal
// cannot be arranged.
TEST_F(FaultInjectionTest, RefusedDeletionKeepsItsBlockAndLogsTheCode) {
  FaultEnv env;
  const std::string kept = File("kept.dat");
  const std::string gone = File("gone.dat");
  env.refused_path = kept;
  ASSERT_TRUE(Add(kept, 150 * kMiB));
  ASSERT_TRUE(Add(gone, 150 * kMiB));
  IndexNow() += 100000;
  index_->ShrinkCache(DeleteCachedFile);
  EXPECT_EQ(testing_support::ValidPaths(*index_), Paths{kept});
  EXPECT_EQ(H().CacheSize, 150 * kMiB);
  EXPECT_TRUE(PathExists(kept));
  EXPECT_FALSE(PathExists(gone));
  EXPECT_TRUE(LogHas("Delete File Error(" + std::to_string(platform::kErrorAccessDenied) +
                     "): " + kept + ".\n"));
}

// A period wait that fails ends the worker: it logs why, gives its slot back
// and is stopped before anyone asks it to stop, instead of running passes
// back to back.
TEST_F(FaultInjectionTest, WorkerEndsWhenItsPeriodWaitFails) {
  FaultEnv env;
  env.fail_waits_from_ms = 1000;
  WorkThread worker(index_.get(), index_path_, 1);
  bool stopped = false;
  for (int i = 0; i < 250 && !stopped; ++i) {
    stopped = LogHas("Stowmaster Work Thread Stops...\n");
    if (!stopped) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(LogHas("Stowmaster Work Thread cannot wait for its period.\n"));
  std::unique_ptr<platform::NamedSemaphore> slots;
  platform::env()
      .OpenNamedSemaphore(MakeObjectName(kSemaphorePrefix, index_path_.c_str()), index_path_,
                          &slots)
      .ThrowIfFailed();
  EXPECT_TRUE(slots->TryAcquire());
  EXPECT_TRUE(slots->TryAcquire());  // the worker's slot is free again
  worker.Stop();
}

// The library's process state under a FaultEnv that outlives it: shutdown
// in TearDown still uses the objects the Env made.
class FaultyProcessTest : public testing_support::TempDirTest {
 protected:
  void TearDown() override {
    env_.lock_error = 0;
    while (api::ReferenceCount() > 0) api::UnInitialize();
    TempDirTest::TearDown();
  }
  // Outlives TearDown: the index that the shutdown there closes took its
  // lock through this Env.
  FaultEnv env_;
};

// A disk too full for the index fails the initialisation with the system's
// code; once there is room a later call succeeds.
TEST_F(FaultyProcessTest, FullDiskFailsInitialisationWithItsCode) {
  FaultEnv& env = env_;
  env.open_shared_file_error = platform::kErrorDiskFull;
  EXPECT_EQ(api::Initialize(0), 0);
  EXPECT_TRUE(LogHas("An error occurs when try to initialize stowmaster. (" +
                     std::to_string(platform::kErrorDiskFull) + ")\n"));
  env.open_shared_file_error = 0;
  EXPECT_EQ(api::Initialize(0), 1);
}

// A lock that cannot be taken fails the registration with 0 and a log line;
// nothing escapes to the caller and the index stays usable.
TEST_F(FaultyProcessTest, FailedLockFailsOnlyThatRegistration) {
  FaultEnv& env = env_;
  const std::string file = dir_.Sub("file.dat");
  WriteWholeFile(file, "12345");
  ASSERT_EQ(api::Initialize(0), 1);
  env.lock_error = platform::kErrorInvalidName;
  EXPECT_EQ(api::AddFileA(file.c_str(), 0), 0);
  EXPECT_TRUE(LogHas("An unknown error occurs when try to add a file to cache.\n"));
  env.lock_error = 0;
  EXPECT_EQ(api::AddFileA(file.c_str(), 0), 1);
}

// ------------------------------------------------- holders of the lock ---

using LockHolderTest = testing_support::IndexTest;

// The marker that tells the next holder a change may be half done is set
// exactly while the lock is held.
TEST_F(LockHolderTest, MarkerIsSetOnlyWhileTheLockIsHeld) {
  ASSERT_TRUE(Add("a", 1));
  EXPECT_EQ(H().LockMarker, 0u);
  uint32_t seen = 0;
  index_->RemoveAll([&](const char*) {
    seen = H().LockMarker;  // the removal callback runs under the lock
    return false;
  });
  EXPECT_NE(seen, 0u);
  EXPECT_EQ(H().LockMarker, 0u);
}

// Two threads of one process exclude each other as two processes do: a
// registration waits while another thread's removal is under way.
TEST_F(LockHolderTest, ThreadsOfOneProcessTakeTurns) {
  ASSERT_TRUE(Add("a", 1));
  struct Shared {
    IndexFile* index;
    std::atomic<bool> inside{false};
  } shared{index_.get()};
  std::unique_ptr<platform::Thread> remover;
  platform::env()
      .StartThread(
          [](void* arg) {
            auto* s = static_cast<Shared*>(arg);
            s->index->RemoveAll([s](const char*) {
              s->inside = true;
              platform::env().SleepMs(200);
              s->inside = false;
              return false;
            });
          },
          &shared, &remover)
      .ThrowIfFailed();
  while (!shared.inside) platform::env().SleepMs(1);
  EXPECT_TRUE(Add("b", 2));
  const bool overlapped = shared.inside.load();
  remover->Join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(testing_support::ValidPaths(*index_), (Paths{"b", "a"}));
}

class LockHolderDeathTest : public testing_support::IndexTest {
 protected:
  // In a process of its own: takes the lock on the index named by the
  // environment, damages the totals as a half-done change would, and dies
  // while it still holds the lock. Its own folder is removed first, since
  // dying skips the clean-up.
  void DieHoldingTheLock() {
    const char* path = std::getenv("STOW_TEST_INDEX");
    if (path == nullptr) hooks::Die(1);
    index_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_.path(), ignored);
    IndexFile holder(path, {200 * kMiB, 20, 900});
    holder.RemoveAll([&](const char*) {
      holder.header()->TotalFileCount = 99;
      hooks::Die(7);
      return false;
    });
    hooks::Die(2);
  }
};

// A process that keeps the index open across another holder's death sees
// the damage repaired at its next lock, not only new processes at open.
TEST_F(LockHolderDeathTest, MidChangeIsRepairedForProcessesThatStayUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(Add("a", 1));
  ASSERT_TRUE(Add("b", 2));
  // The child runs this test again up to the statement below, in a folder
  // of its own: it must use the index the parent named.
  if (std::getenv("STOW_TEST_INDEX") == nullptr) testing_support::SetEnvironment("STOW_TEST_INDEX", index_path_);
  EXPECT_EXIT(DieHoldingTheLock(), ::testing::ExitedWithCode(7), "");
  ASSERT_EQ(H().TotalFileCount, 99);  // as the dead holder left it
  EXPECT_TRUE(Add("c", 4));
  EXPECT_EQ(testing_support::ValidPaths(*index_), (Paths{"c", "b", "a"}));
  EXPECT_EQ(H().TotalFileCount, 3);
  EXPECT_EQ(H().CacheSize, 7);
}

}  // namespace
}  // namespace stow
