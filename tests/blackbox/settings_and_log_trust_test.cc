// The settings file and the log as the users of one machine share them: a
// root client refuses a settings file that others could have written, and
// the day's log takes the lines of every user's clients, whoever made it.
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>

#include <ctime>
#endif

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

using SettingsAndLogTrustTest = BlackBoxTest;

#ifndef _WIN32
// Today's log file in the library's default log folder.
std::string DefaultLogFile() {
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  ::localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof(name), "/var/tmp/Stowmaster_%Y%m%d.LOG", &local);
  return name;
}

// The client or the program run as nobody, its results (for the client)
// in `results`.
ClientRun RunAsNobody(Sandbox& box, const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
  return box.RunProgram("/usr/bin/setpriv", args, kClientTimeoutMs);
}
#endif

TEST_F(SettingsAndLogTrustTest, RootRefusesASettingsFileThatOthersMayWrite) {
#ifdef _WIN32
  GTEST_SKIP() << "no privileged process under Wine; the access list rule is in Win32ChecksTest";
#else
  if (!IsSuperUser()) GTEST_SKIP() << "needs root";
  const std::string ini = JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI");
  ASSERT_EQ(0, ::chmod(ini.c_str(), 0666));
  const std::string reason = "Settings file " + ini +
                             " is writable by others than its owner: not used by a privileged "
                             "process.";
  std::string before;
  ReadFile(DefaultLogFile(), &before);

  ClientRun run = box_.RunClient({"init", "0", "lasterror", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 0", "lasterror " + reason, "uninit"}), run.results);
  // One line, and not in the folder the refused file names.
  std::string after;
  ReadFile(DefaultLogFile(), &after);
  const std::string added = after.substr(std::min(before.size(), after.size()));
  EXPECT_EQ(1, CountOf(added, "Msg:  " + reason + "\n")) << added;
  EXPECT_EQ(1, CountOf(added, ini)) << added;
  // Other tests' clients write to this log too: the line before is looked
  // at, which the same client would have written just before.
  const size_t at = added.find("Msg:  " + reason);
  const size_t previous = added.rfind("Msg:  ", at == std::string::npos || at == 0 ? 0 : at - 1);
  EXPECT_TRUE(
      previous == std::string::npos || previous == at ||
      added.compare(previous, 56, "Msg:  An error occurs when try to initialize stowmaster.") != 0)
      << added;
  EXPECT_EQ("", box_.ReadLogs());
  EXPECT_FALSE(PathExists(box_.index_path()));

  // The program says the same and exits 1.
  ClientRun status = box_.RunProgram(JoinPath(ExecutableDir(), "stowmaster"),
                                     {"--library", box_.library(), "status"}, kClientTimeoutMs);
  EXPECT_EQ(1, status.exit_code) << status.output;
  EXPECT_NE(std::string::npos, status.output.find(reason)) << status.output;

  // Once only its owner may write it, the file is used again.
  ASSERT_EQ(0, ::chmod(ini.c_str(), 0644));
  ClientRun fixed = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
  EXPECT_EQ((Lines{"init 1", "uninit"}), fixed.results) << fixed.output;
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), "Msg:  Initialize stowmaster successfully"));
#endif
}

// Root's client makes the day's log in a sticky folder that everyone may
// write (as /var/tmp is); the client of another user appends to it, and
// one that may not write it is told so.
TEST_F(SettingsAndLogTrustTest, DaysLogMadeByRootTakesTheLinesOfEveryUser) {
#ifdef _WIN32
  GTEST_SKIP() << "file modes and other users are Linux's";
#else
  if (!IsSuperUser()) GTEST_SKIP() << "needs root to make the log and another user to append";
  if (!PathExists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv to drop root";
  ASSERT_EQ(0, ::chmod(box_.root().c_str(), 0755));
  const std::string sticky = JoinPath(box_.root(), "sticky");
  ASSERT_TRUE(MakeDir(sticky));
  ASSERT_EQ(0, ::chmod(sticky.c_str(), 01777));
  SandboxSettings settings;
  settings.log_dir = sticky;
  ASSERT_TRUE(box_.WriteSettings(settings));

  ClientRun root = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ((Lines{"init 1", "uninit"}), root.results) << root.output;
  const std::vector<std::string> logs = ListDir(sticky);
  ASSERT_EQ(1u, logs.size());
  const std::string log = JoinPath(sticky, logs[0]);
  struct stat st;
  ASSERT_EQ(0, ::stat(log.c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 07777);

  const std::string client = JoinPath(ExecutableDir(), "stow_test_client");
  const std::string results = JoinPath(sticky, "nobody.results");
  ClientRun nobody =
      RunAsNobody(box_, client, {results, box_.library(), "init", "0", "settings", "uninit"});
  ASSERT_EQ(0, nobody.exit_code) << nobody.output;
  std::string lines;
  ASSERT_TRUE(ReadFile(results, &lines));
  EXPECT_EQ(0u, lines.find("@init 1\n@settings 0 1 1 ")) << lines;
  std::string text;
  ASSERT_TRUE(ReadFile(log, &text));
  EXPECT_EQ(2, CountOf(text, "Msg:  Initialize stowmaster successfully")) << text;
  EXPECT_EQ(2, CountOf(text, "Msg:  UnInitialize stowmaster successfully")) << text;

  // A log that only root may write: nobody's lines are lost, and it is told.
  ASSERT_EQ(0, ::chmod(log.c_str(), 0644));
  ASSERT_EQ(0, ::unlink(results.c_str()));
  nobody = RunAsNobody(box_, client, {results, box_.library(), "settings"});
  ASSERT_EQ(0, nobody.exit_code) << nobody.output;
  ASSERT_TRUE(ReadFile(results, &lines));
  EXPECT_EQ(0u, lines.find("@settings 0 1 0 ")) << lines;
  const std::string program = JoinPath(ExecutableDir(), "stowmaster");
  ClientRun status = RunAsNobody(box_, program, {"--library", box_.library(), "status"});
  EXPECT_EQ(0, status.exit_code) << status.output;
  EXPECT_NE(std::string::npos,
            status.output.find("Log          " + log +
                               " (not writable by this user: its lines are lost)\n"))
      << status.output;
  ClientRun json = RunAsNobody(box_, program, {"--library", box_.library(), "status", "--json"});
  EXPECT_NE(std::string::npos, json.output.find("\"log_writable\": false")) << json.output;
#endif
}

}  // namespace
}  // namespace stow::testing_support
