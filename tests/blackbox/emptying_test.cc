// Emptying the whole cache: from a client through DeleteAllFileInCache, and
// from the command-line host through EmptyCache while other clients use it.
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

using EmptyingTest = BlackBoxTest;

// Emptying ignores size, age and the files' own delays; before
// initialisation it does nothing at all.
TEST_F(EmptyingTest, DeleteAllFreesEveryBlockButNotBeforeInit) {
  const std::string sub = box_.Data("sub");
  const std::string prefix = JoinPath(sub, "f");
  const std::string top = box_.Data("top");
  ASSERT_TRUE(MakeDir(sub));
  ASSERT_TRUE(WriteWholeFile(top, "top"));
  ClientRun fill = box_.RunClient(
      {"init", "0", "addmany", prefix, "5", "add", top, "3600", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, fill.exit_code) << fill.output;
  EXPECT_EQ((Lines{"init 1", "addmany 5", "add 1", "uninit"}), fill.results);
  const std::string log_before = box_.ReadLogs();
  const std::vector<std::string> listed = LoadIndex().ValidNames();
  ASSERT_EQ(6u, listed.size());

  ClientRun early = box_.RunClient({"deleteall"}, kClientTimeoutMs);
  ASSERT_EQ(0, early.exit_code) << early.output;
  EXPECT_EQ(Lines{"deleteall"}, early.results);
  EXPECT_EQ(log_before, box_.ReadLogs());
  EXPECT_EQ(listed, LoadIndex().ValidNames());
  for (const std::string& name : listed) EXPECT_TRUE(PathExists(name)) << name;

  ClientRun run = box_.RunClient({"init", "0", "deleteall", "stats", box_.index_path(), "uninit"},
                                 kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "deleteall", "stats 0 0", "uninit"}), run.results);
  const std::string log = box_.ReadLogs();
  for (const std::string& name : listed) {
    EXPECT_FALSE(PathExists(name)) << name;
    EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + name + ".\n")) << log;
  }
  EXPECT_FALSE(PathExists(sub));
  EXPECT_EQ(1, CountOf(log, "Msg:  Remove Directory " + sub + ".\n")) << log;

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(0, image.header().TotalFileCount);
  EXPECT_EQ(0, image.header().CacheSize);
  EXPECT_EQ(-1, image.header().FirstValidBlock);
  EXPECT_EQ(stow::kBlockCount, image.FreeCount());
}

// What cannot be deleted stays listed and is logged: on Windows a file
// another process holds open without delete sharing; on Linux a file in a
// folder without write permission, or for a root client, which may delete
// anything, a file outside its folders.
TEST_F(EmptyingTest, EntriesThatCannotBeDeletedSurvive) {
  const std::string plain = box_.Data("plain");
  ASSERT_TRUE(WriteWholeFile(plain, "plain"));
  std::string kept;
  std::string kept_line;
#ifdef _WIN32
  kept = box_.Data("held");
  ASSERT_TRUE(WriteWholeFile(kept, "held"));
  ClientProcess holder;
  ASSERT_TRUE(box_.StartClient({"hold-open", kept, box_.Marker("held")}, &holder));
  ASSERT_TRUE(WaitForFile(box_.Marker("held"), kClientTimeoutMs)) << holder.Output();
  kept_line = "Msg:  Delete File Error(32): " + kept + ".\n";
#else
  const std::string folder =
      ClientsConfined() ? JoinPath(box_.root(), "outside") : box_.Data("locked");
  kept = JoinPath(folder, "f");
  ASSERT_TRUE(MakeDir(folder) && WriteWholeFile(kept, "kept"));
  if (ClientsConfined()) {
    kept_line = RefusedOutsideLine(kept);
  } else {
    ASSERT_TRUE(SetFolderWritable(folder, false));
    kept_line = "Msg:  Delete File Error(13): " + kept + ".\n";
  }
#endif
  ClientRun run = box_.RunClient(
      {"init", "0", "add", kept, "0", "add", plain, "0", "deleteall", "uninit"}, kClientTimeoutMs);
#ifdef _WIN32
  holder.Kill();
#else
  SetFolderWritable(folder, true);
#endif
  ASSERT_EQ(0, run.exit_code) << run.output;

  const std::string log = box_.ReadLogs();
  EXPECT_FALSE(PathExists(plain));
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + plain + ".\n")) << log;
  EXPECT_TRUE(PathExists(kept));
  EXPECT_EQ(1, CountOf(log, kept_line)) << log;
  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(std::vector<std::string>{kept}, image.ValidNames());
}

// The host empties the index that a running client has open; that client
// sees the emptied index and goes on registering.
TEST_F(EmptyingTest, EmptyCacheFromHostWhileAnotherClientIsInitialised) {
  const std::string prefix = box_.Data("m");
  const std::string after = box_.Data("after");
  ASSERT_TRUE(WriteWholeFile(after, "after"));
  ClientProcess client;
  ASSERT_TRUE(box_.StartClient({"init", "0", "addmany", prefix, "5", "signal", box_.Marker("ready"),
                                "wait-for", box_.Marker("emptied"), "stats", box_.index_path(),
                                "add", after, "0", "stats", box_.index_path(), "uninit"},
                               &client));
  ASSERT_TRUE(WaitForFile(box_.Marker("ready"), kClientTimeoutMs)) << client.Output();

#ifdef _WIN32
  // rundll32 is a windowed program: under Wine, when no desktop process is
  // running (it ends soon after its last program), it starts one first,
  // which took 6-8 s on an idle machine and over 20 s on a busy one.
  const std::string host = SystemProgramPath("rundll32.exe");
  ClientRun emptied =
      box_.RunProgram(host, {box_.library() + ",EmptyCache"}, 4 * kClientTimeoutMs);
  ASSERT_EQ(0, emptied.exit_code) << host << "\n" << emptied.output;
#else
  const std::string host = JoinPath(ExecutableDir(), "stowmaster");
  ClientRun help = box_.RunProgram(host, {"--help"}, kClientTimeoutMs);
  EXPECT_EQ(0, help.exit_code) << help.output;
  EXPECT_EQ(0u, help.output.find("Usage: stowmaster")) << help.output;
  ClientRun unknown =
      box_.RunProgram(host, {"--library", box_.library(), "fill"}, kClientTimeoutMs);
  EXPECT_EQ(2, unknown.exit_code) << unknown.output;
  EXPECT_EQ(0, CountOf(box_.ReadLogs(), "Delete File")) << "bad usage must not empty the cache";
  ClientRun emptied =
      box_.RunProgram(host, {"--library", box_.library(), "empty"}, kClientTimeoutMs);
  ASSERT_EQ(0, emptied.exit_code) << emptied.output;
#endif
  const std::string log = box_.ReadLogs();
#ifdef _WIN32
  EXPECT_EQ(1, CountOf(log, "Msg:  EmptyCache by RunDLL32!\n")) << log;
#else
  EXPECT_EQ(1, CountOf(log, "Msg:  Cache emptied on request: 5 files deleted")) << log;
#endif
  for (int i = 0; i < 5; ++i) {
    const std::string name = ManyFileName(prefix, i);
    EXPECT_FALSE(PathExists(name)) << name;
    EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + name + ".\n")) << log;
  }

  ASSERT_TRUE(WriteWholeFile(box_.Marker("emptied"), "1"));
  ASSERT_EQ(0, client.Wait(kClientTimeoutMs)) << client.Output();
  EXPECT_EQ((Lines{"init 1", "addmany 5", "signal 1", "wait-for 1", "stats 0 0", "add 1",
                   "stats 1 5", "uninit"}),
            client.Results());
  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(std::vector<std::string>{after}, image.ValidNames());
}

}  // namespace
}  // namespace stow::testing_support
