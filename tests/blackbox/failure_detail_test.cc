// Failures that say why in the log, settings that the library does not
// understand, and the host's standard output left to the host.
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

using FailureDetailTest = BlackBoxTest;

#ifdef _WIN32
const char kFileSizeCall[] = "GetFileAttributesExA";
#else
const char kFileSizeCall[] = "stat";
#endif

// The message of the log line that follows the first line holding `line`
// ("" when there is none).
std::string LineAfter(const std::string& log, const std::string& line) {
  size_t at = log.find(line);
  if (at == std::string::npos) return std::string();
  at += line.size();
  const size_t msg = log.find("Msg:  ", at);
  if (msg == std::string::npos) return std::string();
  const size_t start = msg + 6;
  return log.substr(start, log.find('\n', start) - start);
}

TEST_F(FailureDetailTest, NothingReachesTheClientsStandardOutputUnlessAsked) {
  const std::string file = box_.Data("file");
  ASSERT_TRUE(WriteWholeFile(file, "data"));
  const std::vector<std::string> commands = {
      "init", "0", "add", file, "0", "add", box_.Data("missing"), "0", "uninit"};
  ClientRun quiet = box_.RunClient(commands, kClientTimeoutMs);
  ASSERT_EQ(0, quiet.exit_code) << quiet.output;
  EXPECT_EQ((Lines{"init 1", "add 1", "add 0", "uninit"}), quiet.results);
  EXPECT_EQ("", quiet.output);
  EXPECT_EQ(5, CountOf(box_.ReadLogs(), "Msg:  "));  // the lines went to the log

  SandboxSettings echo;
  echo.log_lines = {"EchoToStdout=1"};
  ASSERT_TRUE(box_.WriteSettings(echo));
  ClientRun loud = box_.RunClient(commands, kClientTimeoutMs);
  ASSERT_EQ(0, loud.exit_code) << loud.output;
  // The log file's path, once for every line logged.
  EXPECT_EQ(5, CountOf(loud.output, JoinPath(box_.log_dir(), "Stowmaster_"))) << loud.output;
}

TEST_F(FailureDetailTest, MissingFileAndUncreatableCacheFolderNameCallPathAndCause) {
  const std::string missing = box_.Data("missing");
  ClientRun run =
      box_.RunClient({"init", "0", "add", missing, "0", "lasterror", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  const std::string log = box_.ReadLogs();
  const std::string detail = LineAfter(log, "Msg:  \nUnable to get file size.\n");
  const std::string head = std::string(kFileSizeCall) + " " + missing + ": ";
  EXPECT_EQ(0u, detail.find(head)) << log;
  EXPECT_GT(detail.size(), head.size()) << "no system text: " << log;
  EXPECT_EQ((Lines{"init 1", "add 0", "lasterror " + detail, "uninit"}), run.results);

  // A plain file where the cache folder's parent would have to be.
  const std::string blocker = JoinPath(box_.root(), "blocker");
  ASSERT_TRUE(WriteWholeFile(blocker, "not a folder"));
  SandboxSettings settings;
  settings.cache_dir = JoinPath(blocker, "cache");
  ASSERT_TRUE(box_.WriteSettings(settings));
  ClientRun failed = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, failed.exit_code) << failed.output;
  EXPECT_EQ((Lines{"init 0", "uninit"}), failed.results);
  const std::string after = box_.ReadLogs();
  const std::string init_detail =
      LineAfter(after, "Msg:  An error occurs when try to initialize stowmaster. (");
  EXPECT_EQ(0u, init_detail.find("mkdir " + settings.cache_dir + ": ")) << after;
  EXPECT_GT(init_detail.size(), std::string("mkdir " + settings.cache_dir + ": ").size()) << after;
}

// A cache folder the user may not write to: the index cannot be made.
TEST_F(FailureDetailTest, UnwritableCacheFolderNamesTheIndexAndTheCause) {
#ifdef _WIN32
  GTEST_SKIP() << "folder permissions are not enforced for the test's user on Windows/Wine";
#else
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  ASSERT_TRUE(SetFolderWritable(box_.cache_dir(), false));
  std::vector<std::string> args;
  std::string program = JoinPath(ExecutableDir(), "stow_test_client");
  if (IsSuperUser()) {
    // Root may write anywhere: run the client as nobody. Every folder it
    // needs must then be open to it.
    if (!PathExists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv to drop root";
    for (const std::string& dir : {box_.root(), JoinPath(box_.root(), "lib"), box_.log_dir()}) {
      ASSERT_TRUE(SetFolderWritable(dir, true)) << dir;
    }
    args = {"--reuid=65534", "--regid=65534", "--clear-groups", program};
    program = "/usr/bin/setpriv";
  }
  const std::string results = JoinPath(box_.root(), "nobody.results");
  args.insert(args.end(), {results, box_.library(), "init", "0", "uninit"});
  ClientRun run = box_.RunProgram(program, args, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  std::string lines;
  ASSERT_TRUE(ReadFile(results, &lines));
  EXPECT_EQ("@init 0\n@uninit\n", lines);
  const std::string log = box_.ReadLogs();
  EXPECT_EQ("open " + box_.index_path() + ": Permission denied",
            LineAfter(log, "Msg:  An error occurs when try to initialize stowmaster. (13)\n"))
      << log;
#endif
}

// Keys the library does not know, values out of range and numbers with
// other text after them are logged once per process at the first
// initialisation; the defaults still apply.
TEST_F(FailureDetailTest, UnknownKeysAndValuesOutOfRangeAreLoggedOnce) {
  SandboxSettings settings;
  settings.cache_size = "49";
  settings.cache_lines = {"CachSize=100", "Delay=abc", "Precision=20 percent"};
  settings.log_lines = {"LogFile=x", "EchoToStdout=0"};
  ASSERT_TRUE(box_.WriteSettings(settings));
  ClientRun run =
      box_.RunClient({"init", "0", "uninit", "init", "0", "settings", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  ASSERT_LE(1u, run.results.size());
  // The defaults: 200 MiB, 20 %, 15 minutes.
  EXPECT_EQ("settings 0 1 1 209715200 20 251658240 167772160 900", run.results[3]);
  const std::string log = box_.ReadLogs();
  const std::string ini = JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI");
  const std::string unknown = "Msg:  Unknown key in the settings file " + ini + ": ";
  EXPECT_EQ(1, CountOf(log, unknown + "[Cache] CachSize.\n")) << log;
  EXPECT_EQ(1, CountOf(log, unknown + "[Log] LogFile.\n")) << log;
  const std::string range = "Msg:  Value out of range in the settings file " + ini + ": ";
  EXPECT_EQ(1, CountOf(log, range + "[Cache] CacheSize=49 (50 to 204800); the default applies.\n"))
      << log;
  EXPECT_EQ(1, CountOf(log, range + "[Cache] Delay=abc (5 to 4320); the default applies.\n"))
      << log;
  // A number with other text after it counts as that number, and says so.
  EXPECT_EQ(1, CountOf(log, "Msg:  Value not a whole number in the settings file " + ini +
                                ": [Cache] Precision=20 percent; 20 applies.\n"))
      << log;
  EXPECT_EQ(5, CountOf(log, "in the settings file")) << log;
}

}  // namespace
}  // namespace stow::testing_support
