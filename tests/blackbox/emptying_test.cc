// Emptying the whole cache: from a client through DeleteAllFileInCache, and
// from the command-line host through EmptyCache while other clients use it.
#include <string>
#include <vector>

#include "blackbox/blackbox_fixture.h"

namespace stow_test {
namespace {

#ifdef _WIN32
constexpr int kDirectoryError = 5;  // ERROR_ACCESS_DENIED
#else
constexpr int kDirectoryError = 21;  // EISDIR
#endif

using EmptyingTest = BlackBoxTest;

// Emptying ignores size, age and the files' own delays; before
// initialisation it does nothing at all.
TEST_F(EmptyingTest, DeleteAllFreesEveryBlockButNotBeforeInit) {
  const std::string sub = box_.Data("sub");
  const std::string prefix = JoinPath(sub, "f");
  const std::string top = box_.Data("top");
  ASSERT_TRUE(MakeDir(sub));
  ASSERT_TRUE(WriteFile(top, "top"));
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
  for (const std::string& name : listed) EXPECT_TRUE(FileExists(name)) << name;

  ClientRun run = box_.RunClient({"init", "0", "deleteall", "stats", box_.index_path(), "uninit"},
                                 kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "deleteall", "stats 0 0", "uninit"}), run.results);
  const std::string log = box_.ReadLogs();
  for (const std::string& name : listed) {
    EXPECT_FALSE(FileExists(name)) << name;
    EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + name + ".\n")) << log;
  }
  EXPECT_FALSE(FileExists(sub));
  EXPECT_EQ(1, CountOf(log, "Msg:  Remove Directory " + sub + ".\n")) << log;

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(0, image.header().TotalFileCount);
  EXPECT_EQ(0, image.header().CacheSize);
  EXPECT_EQ(-1, image.header().FirstValidBlock);
  EXPECT_EQ(stow::kBlockCount, image.FreeCount());
}

// What cannot be deleted stays listed and is logged: a registered folder,
// and on Windows a file another process holds open without delete sharing.
TEST_F(EmptyingTest, EntriesThatCannotBeDeletedSurvive) {
  const std::string dir = box_.Data("dir");
  const std::string plain = box_.Data("plain");
  ASSERT_TRUE(MakeDir(dir));
  ASSERT_TRUE(WriteFile(plain, "plain"));
  std::vector<std::string> commands = {"init", "0", "add", dir, "0", "add", plain, "0"};
  std::vector<std::string> survivors = {dir};
#ifdef _WIN32
  const std::string held = box_.Data("held");
  ASSERT_TRUE(WriteFile(held, "held"));
  ClientProcess holder;
  ASSERT_TRUE(box_.StartClient({"hold-open", held, box_.Marker("held")}, &holder));
  ASSERT_TRUE(WaitForFile(box_.Marker("held"), kClientTimeoutMs)) << holder.Output();
  commands.insert(commands.end(), {"add", held, "0"});
  survivors.insert(survivors.begin(), held);
#endif
  commands.insert(commands.end(), {"deleteall", "uninit"});
  ClientRun run = box_.RunClient(commands, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;

  const std::string log = box_.ReadLogs();
  EXPECT_FALSE(FileExists(plain));
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + plain + ".\n")) << log;
  EXPECT_TRUE(IsDir(dir));
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Error(" + std::to_string(kDirectoryError) +
                                "): " + dir + ".\n"))
      << log;
#ifdef _WIN32
  EXPECT_TRUE(FileExists(held));
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Error(32): " + held + ".\n")) << log;
  holder.Kill();
#endif
  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(survivors, image.ValidNames());
}

// The host empties the index that a running client has open; that client
// sees the emptied index and goes on registering.
TEST_F(EmptyingTest, EmptyCacheFromHostWhileAnotherClientIsInitialised) {
  const std::string prefix = box_.Data("m");
  const std::string after = box_.Data("after");
  ASSERT_TRUE(WriteFile(after, "after"));
  ClientProcess client;
  ASSERT_TRUE(box_.StartClient({"init", "0", "addmany", prefix, "5", "signal", box_.Marker("ready"),
                                "wait-for", box_.Marker("emptied"), "stats", box_.index_path(),
                                "add", after, "0", "stats", box_.index_path(), "uninit"},
                               &client));
  ASSERT_TRUE(WaitForFile(box_.Marker("ready"), kClientTimeoutMs)) << client.Output();

#ifdef _WIN32
  const std::string host = SystemProgramPath("rundll32.exe");
  ClientRun emptied = box_.RunProgram(host, {box_.library() + ",EmptyCache"}, kClientTimeoutMs);
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
    EXPECT_FALSE(FileExists(name)) << name;
    EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + name + ".\n")) << log;
  }

  ASSERT_TRUE(WriteFile(box_.Marker("emptied"), "1"));
  ASSERT_EQ(0, client.Wait(kClientTimeoutMs)) << client.Output();
  EXPECT_EQ((Lines{"init 1", "addmany 5", "signal 1", "wait-for 1", "stats 0 0", "add 1",
                   "stats 1 5", "uninit"}),
            client.Results());
  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(std::vector<std::string>{after}, image.ValidNames());
}

}  // namespace
}  // namespace stow_test
