// Clients that die at the worst moment, and index files damaged on disk: the
// next client must neither hang nor fail, and must leave the lists sound.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

using RecoveryTest = BlackBoxTest;

// Registers one file in a client of its own; every step must succeed.
void RegisterInNewClient(Sandbox& box, const std::string& path) {
  ASSERT_TRUE(WriteWholeFile(path, "data"));
  ClientRun run = box.RunClient({"init", "0", "add", path, "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "add 1", "uninit"}), run.results);
}

bool Listed(const IndexImage& image, const std::string& name) {
  for (const std::string& listed : image.ValidNames()) {
    if (listed == name) return true;
  }
  return false;
}

TEST_F(RecoveryTest, HolderKilledWhileHoldingLockReleasesWaitingClient) {
  ASSERT_NO_FATAL_FAILURE(RegisterInNewClient(box_, box_.Data("first")));

  ClientProcess holder;
  ASSERT_TRUE(box_.StartClient({"hold-lock", box_.index_path(), box_.Marker("held")}, &holder));
  ASSERT_TRUE(WaitForFile(box_.Marker("held"), kClientTimeoutMs)) << holder.Output();

  ASSERT_TRUE(WriteWholeFile(box_.Data("second"), "data"));
  ClientProcess waiter;
  ASSERT_TRUE(box_.StartClient(
      {"signal", box_.Marker("opening"), "init", "0", "add", box_.Data("second"), "0", "uninit"},
      &waiter));
  ASSERT_TRUE(WaitForFile(box_.Marker("opening"), kClientTimeoutMs)) << waiter.Output();
  // The lock is really the library's: the waiter cannot get past opening
  // the index while it is held.
  EXPECT_EQ(Child::kTimedOut, waiter.Wait(1000)) << waiter.Output();

  holder.Kill();
  ASSERT_EQ(0, waiter.Wait(kClientTimeoutMs)) << waiter.Output();
  EXPECT_EQ((Lines{"signal 1", "init 1", "add 1", "uninit"}), waiter.Results());

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ((std::vector<std::string>{box_.Data("second"), box_.Data("first")}),
            image.ValidNames());
}

// A host's own SIGBUS handler leaves a registration by siglongjmp while the
// library holds the index lock: another user cut Index.Lkp short while the
// client waited for the lock, and the first touch of it after the wait
// faults. The same thread's next call takes the lock over instead of waiting
// for itself (30 seconds per call, longer than this test waits), and the
// index stays sound.
TEST_F(RecoveryTest, LockLeftByAJumpOutOfTheLibraryIsTakenOverByItsThread) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals";
#else
  ASSERT_NO_FATAL_FAILURE(RegisterInNewClient(box_, box_.Data("first")));
  ASSERT_TRUE(WriteWholeFile(box_.Data("second"), "data") && WriteWholeFile(box_.Data("third"), "data"));
  // The frames the jump leaves are never unwound, so what they allocated is
  // never freed: a sanitizer build's leak check at the client's exit would
  // fail it for what the jump did, not for what the library does.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asan_before = asan != nullptr ? asan : "";
  SetEnvironment("ASAN_OPTIONS", asan_before + (asan_before.empty() ? "" : ":") + "detect_leaks=0");
  ClientProcess client;
  const bool started = box_.StartClient(
      {"init", "0", "signal", box_.Marker("ready"), "wait-for", box_.Marker("held"), "signal",
       box_.Marker("waiting"), "add-jump", box_.Data("second"), box_.index_path(), "uninit-timed",
       "init", "0", "add", box_.Data("third"), "0", "uninit", "init", "0", "signal",
       box_.Marker("ready2"), "wait-for", box_.Marker("cut"), "uninit-jump", "uninit-timed"},
      &client);
  SetEnvironment("ASAN_OPTIONS", asan_before);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitForFile(box_.Marker("ready"), kClientTimeoutMs)) << client.Output();
  ClientProcess holder;
  ASSERT_TRUE(box_.StartClient({"hold-lock", box_.index_path(), box_.Marker("held")}, &holder));
  ASSERT_TRUE(WaitForFile(box_.Marker("waiting"), kClientTimeoutMs)) << client.Output();
  SleepMs(300);  // the registration is waiting for the lock by now
  std::filesystem::resize_file(JoinPath(box_.cache_dir(), "Index.Lkp"), 0);
  holder.Kill();
  // Then the Lkp is cut short again under an UnInitialize that the host's
  // handler leaves by a jump, holding the lifecycle mutex: the thread's next
  // UnInitialize takes that over too instead of waiting for itself.
  ASSERT_TRUE(WaitForFile(box_.Marker("ready2"), kClientTimeoutMs)) << client.Output();
  std::filesystem::resize_file(JoinPath(box_.cache_dir(), "Index.Lkp"), 0);
  ASSERT_TRUE(WriteWholeFile(box_.Marker("cut"), "1"));

  ASSERT_EQ(0, client.Wait(kClientTimeoutMs)) << client.Output();
  const Lines results = client.Results();
  ASSERT_EQ(14u, results.size()) << ::testing::PrintToString(results);
  // The jump left the lock held: otherwise this test proves nothing.
  EXPECT_EQ("add-jump 1 1", results[4]);
  ASSERT_EQ(0u, results[5].rfind("uninit-timed ", 0)) << results[5];
  EXPECT_GT(5000, std::stoi(results[5].substr(13))) << results[5];
  EXPECT_EQ((Lines{"init 1", "add 1", "uninit", "init 1", "signal 1", "wait-for 1"}),
            Lines(results.begin() + 6, results.begin() + 12));
  EXPECT_EQ("uninit-jump 1", results[12]);
  ASSERT_EQ(0u, results[13].rfind("uninit-timed ", 0)) << results[13];
  EXPECT_GT(5000, std::stoi(results[13].substr(13))) << results[13];

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ((std::vector<std::string>{box_.Data("third"), box_.Data("first")}),
            image.ValidNames());
  // The lock is free for everyone else again.
  RegisterInNewClient(box_, box_.Data("second"));
#endif
}

// A client registering (and emptying the cache) in a tight loop is killed at
// a random moment, round after round, until two kills have landed while it
// held the index lock (its marker left set in the header) or eight rounds
// have passed. Whatever it was in the middle of, the next client works and
// the lists come out consistent, with the marker cleared.
TEST_F(RecoveryTest, ClientKilledMidRegistrationLeavesUsableIndex) {
  std::mt19937 random(std::random_device{}());
  // Emptying the cache removes every folder it leaves empty; a file that is
  // never registered keeps the data folder for the files of later rounds.
  ASSERT_TRUE(WriteWholeFile(box_.Data("never_registered"), ""));
  int killed_holding_lock = 0;
  for (int round = 0; round < 8 && killed_holding_lock < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string started = box_.Marker("loop" + std::to_string(round));
    ClientProcess looper;
    ASSERT_TRUE(
        box_.StartClient({"init", "0", "loop-add",
                          JoinPath(box_.Data("loop" + std::to_string(round)), "f"), started},
                         &looper));
    ASSERT_TRUE(WaitForFile(started, kClientTimeoutMs)) << looper.Output();
    SleepMs(20 + static_cast<int>(random() % 300));
    ASSERT_EQ(Child::kTimedOut, looper.Wait(0)) << "the loop ended early\n" << looper.Output();
    looper.Kill();
    if (LoadIndex().header().LockMarker != 0) ++killed_holding_lock;

    const std::string after = box_.Data("after" + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(RegisterInNewClient(box_, after));
    IndexImage image = LoadIndex();
    ASSERT_TRUE(ListsConsistent(image));
    EXPECT_TRUE(Listed(image, after));
    EXPECT_EQ(0u, image.header().LockMarker);
  }
}

// Writes an index holding five registered files (e0 oldest .. e4 newest),
// damaged by `damage`, and lets a client use it.
void CheckDamagedIndexIsRepaired(Sandbox& box, const std::function<void(IndexImage&)>& damage) {
  ASSERT_TRUE(MakeDir(box.cache_dir()));
  IndexImage image = IndexImage::Formatted();
  std::vector<std::string> names;
  for (int i = 0; i < 5; ++i) {
    names.push_back(box.Data("e" + std::to_string(i)));
    ASSERT_TRUE(WriteWholeFile(names.back(), "data"));
    ASSERT_EQ(i, image.AddEntry(names.back(), 4, static_cast<int32_t>(UnixSeconds()), 0));
  }
  ASSERT_TRUE(ListsConsistent(image));
  damage(image);
  ASSERT_FALSE(ListsConsistent(image));
  ASSERT_TRUE(image.Save(box.index_path()));

  const std::string fresh = box.Data("fresh");
  ASSERT_NO_FATAL_FAILURE(RegisterInNewClient(box, fresh));

  IndexImage after;
  ASSERT_TRUE(after.Load(box.index_path()));
  EXPECT_TRUE(after.HasMagic());
  ASSERT_TRUE(ListsConsistent(after));
  // Repair keeps every entry it can still reach; none is lost or doubled.
  const std::vector<std::string> listed = after.ValidNames();
  names.push_back(fresh);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            std::set<std::string>(listed.begin(), listed.end()));
  EXPECT_EQ(names.size(), listed.size());
  EXPECT_EQ(fresh, listed.front());
}

TEST_F(RecoveryTest, IndexWithLinkOutOfRangeIsRepaired) {
  // e2's forward link (valid list: e4 e3 e2 e1 e0) points past the blocks.
  CheckDamagedIndexIsRepaired(box_, [](IndexImage& image) { image.block(2).RightNode = 5000000; });
}

TEST_F(RecoveryTest, IndexWithCycleInValidListIsRepaired) {
  // The tail e0 links forward to e3 again: a walk from the head never ends.
  CheckDamagedIndexIsRepaired(box_, [](IndexImage& image) { image.block(0).RightNode = 3; });
}

}  // namespace
}  // namespace stow::testing_support
