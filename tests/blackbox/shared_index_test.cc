// Several client processes sharing one index file.
#include <set>
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

int64_t ManyBytes(int n) {
  int64_t sum = 0;
  for (int i = 0; i < n; ++i) sum += ManyFileSize(i);
  return sum;
}

std::string StatsLine(int files, int64_t bytes) {
  return "stats " + std::to_string(files) + " " + std::to_string(bytes);
}

using SharedIndexTest = BlackBoxTest;

// A opens the index and registers files, then stays initialised while B
// opens the same index: B must find A's entries (no reformatting on open),
// and each sees the other's registrations in the shared totals.
TEST_F(SharedIndexTest, SecondProcessJoinsIndexInUse) {
  const std::string index = box_.index_path();
  const std::string a_ready = box_.Marker("a_ready");
  const std::string b_done = box_.Marker("b_done");
  ClientProcess a;
  ASSERT_TRUE(box_.StartClient({"init", "0", "addmany", box_.Data("a_"), "10", "signal", a_ready,
                                "wait-for", b_done, "stats", index, "uninit"},
                               &a));
  ASSERT_TRUE(WaitForFile(a_ready, kClientTimeoutMs)) << a.Output();

  ClientRun b = box_.RunClient({"init", "0", "stats", index, "addmany", box_.Data("b_"), "5",
                                "stats", index, "signal", b_done, "uninit"},
                               kClientTimeoutMs);
  ASSERT_EQ(0, b.exit_code) << b.output;
  const int64_t a_bytes = ManyBytes(10);
  const int64_t all_bytes = a_bytes + ManyBytes(5);
  EXPECT_EQ((Lines{"init 1", StatsLine(10, a_bytes), "addmany 5", StatsLine(15, all_bytes),
                   "signal 1", "uninit"}),
            b.results);

  ASSERT_EQ(0, a.Wait(kClientTimeoutMs)) << a.Output();
  EXPECT_EQ(
      (Lines{"init 1", "addmany 10", "signal 1", "wait-for 1", StatsLine(15, all_bytes), "uninit"}),
      a.Results());

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  std::set<std::string> expected;
  for (int i = 0; i < 10; ++i) expected.insert(ManyFileName(box_.Data("a_"), i));
  for (int i = 0; i < 5; ++i) expected.insert(ManyFileName(box_.Data("b_"), i));
  const std::vector<std::string> names = image.ValidNames();
  EXPECT_EQ(expected, std::set<std::string>(names.begin(), names.end()));
  // The most recent registration heads the list.
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(ManyFileName(box_.Data("b_"), 4), names.front());
}

// Four processes register 500 distinct files each at the same time. Every
// registration must land exactly once, with the totals and links intact.
TEST_F(SharedIndexTest, ConcurrentRegistrationsAreAllListed) {
  constexpr int kClients = 4;
  constexpr int kFilesEach = 500;
  const std::string go = box_.Marker("go");
  std::vector<ClientProcess> clients(kClients);
  for (int k = 0; k < kClients; ++k) {
    const std::string prefix = box_.Data("p" + std::to_string(k) + "_");
    ASSERT_TRUE(
        box_.StartClient({"init", "0", "signal", box_.Marker("ready" + std::to_string(k)),
                          "wait-for", go, "addmany", prefix, std::to_string(kFilesEach), "uninit"},
                         &clients[k]));
  }
  // Released together, once all of them have the index open.
  for (int k = 0; k < kClients; ++k) {
    ASSERT_TRUE(WaitForFile(box_.Marker("ready" + std::to_string(k)), kClientTimeoutMs))
        << clients[k].Output();
  }
  ASSERT_TRUE(WriteWholeFile(go, "1"));
  for (int k = 0; k < kClients; ++k) {
    ASSERT_EQ(0, clients[k].Wait(kClientTimeoutMs)) << clients[k].Output();
    EXPECT_EQ((Lines{"init 1", "signal 1", "wait-for 1", "addmany 500", "uninit"}),
              clients[k].Results());
  }

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(kClients * kFilesEach, image.header().TotalFileCount);
  EXPECT_EQ(kClients * ManyBytes(kFilesEach), image.header().CacheSize);
  const std::vector<std::string> names = image.ValidNames();
  std::set<std::string> distinct(names.begin(), names.end());
  std::set<std::string> expected;
  for (int k = 0; k < kClients; ++k) {
    for (int i = 0; i < kFilesEach; ++i) {
      expected.insert(ManyFileName(box_.Data("p" + std::to_string(k) + "_"), i));
    }
  }
  EXPECT_EQ(expected, distinct);
  // Appends to the shared log from several processes lose no line.
  EXPECT_EQ(kClients * kFilesEach, CountOf(box_.ReadLogs(), "Msg:  New File To Cache: "));
}

// Processes that start together on a cache folder that does not exist yet
// race to create its levels and the index: every one must initialise.
TEST_F(SharedIndexTest, ProcessesStartingTogetherOnANewCacheFolderAllInitialise) {
  constexpr int kClients = 4;
  SandboxSettings settings;
  settings.cache_dir = JoinPath(JoinPath(box_.root(), "new"), "cache");
  ASSERT_TRUE(box_.WriteSettings(settings));
  const std::string go = box_.Marker("go");
  std::vector<ClientProcess> clients(kClients);
  for (int k = 0; k < kClients; ++k) {
    ASSERT_TRUE(box_.StartClient({"wait-for", go, "init", "0", "uninit"}, &clients[k]));
  }
  ASSERT_TRUE(WriteWholeFile(go, "1"));
  for (int k = 0; k < kClients; ++k) {
    ASSERT_EQ(0, clients[k].Wait(kClientTimeoutMs)) << clients[k].Output();
    EXPECT_EQ((Lines{"wait-for 1", "init 1", "uninit"}), clients[k].Results());
  }
  IndexImage image;
  ASSERT_TRUE(image.Load(JoinPath(settings.cache_dir, "Index.Dat")));
  EXPECT_TRUE(ListsConsistent(image));
}

}  // namespace
}  // namespace stow::testing_support
