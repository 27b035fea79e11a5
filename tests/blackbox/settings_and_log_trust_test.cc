// The settings file and the log as the users of one machine share them: a
// root client refuses a settings file that others could have written, and
// the day's log takes the lines of every user's clients, whoever made it.
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

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
// in `results`; with `capability` (setpriv's name, e.g. "fowner") that one
// capability effective, none else.
ClientRun RunAsNobody(Sandbox& box, const std::string& program, std::vector<std::string> args,
                      const std::string& capability = "") {
  args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
  if (!capability.empty()) {
    args.insert(args.begin(),
                {"--inh-caps=-all,+" + capability, "--ambient-caps=-all,+" + capability});
  }
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

// Run as root with STOWMASTER_SETTINGS set, the program works on no cache
// (the library would ignore the variable and use another) but shows why in
// `config`; --settings names the file instead, when only its owner may
// change it. As another user the variable is simply used.
TEST_F(SettingsAndLogTrustTest, ProgramRunAsRootTakesTheSettingsFileOnlyAsAnOption) {
#ifdef _WIN32
  GTEST_SKIP() << "no settings variable on Windows";
#else
  if (!IsSuperUser()) GTEST_SKIP() << "needs root";
  const std::string program = JoinPath(ExecutableDir(), "stowmaster");
  const std::string other_cache = JoinPath(box_.root(), "other-cache");
  const std::string other = JoinPath(box_.root(), "other.ini");
  ASSERT_TRUE(WriteWholeFile(
      other, "[Cache]\nCacheDir=" + other_cache + "\n[Log]\nLogPath=" + box_.log_dir() + "\n"));
  ASSERT_EQ(0, ::chmod(other.c_str(), 0644));
  ASSERT_EQ(0, ::chmod(box_.root().c_str(), 0755));
  SetEnvironment("STOWMASTER_SETTINGS", other);
  struct Unset {
    ~Unset() { SetEnvironment("STOWMASTER_SETTINGS", ""); }
  } unset;
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--library", box_.library()});
    return box_.RunProgram(program, args, kClientTimeoutMs);
  };
  const std::string refusal =
      "stowmaster: STOWMASTER_SETTINGS is ignored when run as root, set-id or with a capability, "
      "so this would work on another cache than the one it names; give the file as --settings " +
      other + " instead (only its owner, root or you may change it and its folder)\n";
  const std::string data = JoinPath(box_.data_dir(), "f");
  ASSERT_TRUE(WriteWholeFile(data, "x"));
  const std::vector<std::vector<std::string> > cache_commands = {
      {"status"}, {"list"}, {"check"}, {"add", data}, {"shrink"},
      {"empty"},  {"dump"}, {"usage"}, {"metrics"},   {"adopt", box_.data_dir()}};
  for (const std::vector<std::string>& command : cache_commands) {
    ClientRun refused = run(command);
    EXPECT_EQ(1, refused.exit_code) << command[0];
    EXPECT_EQ(refusal, refused.output) << command[0];
  }
  EXPECT_FALSE(PathExists(box_.index_path()));
  EXPECT_FALSE(PathExists(other_cache));
  ClientRun config = run({"config"});
  EXPECT_EQ(0, config.exit_code) << config.output;
  EXPECT_NE(std::string::npos, config.output.find("Problem      STOWMASTER_SETTINGS=" + other +
                                                  " is ignored in a privileged process"))
      << config.output;

  // Named as an option, an owner-only file is taken, the variable no matter.
  ClientRun named = run({"--settings", other, "add", data});
  EXPECT_EQ(0, named.exit_code) << named.output;
  EXPECT_TRUE(PathExists(JoinPath(other_cache, "Index.Dat")));
  EXPECT_FALSE(PathExists(box_.index_path()));
  ClientRun status = run({"--settings", other, "status"});
  EXPECT_EQ(0u, status.output.find("Settings     " + other + "\n")) << status.output;
  EXPECT_EQ(std::string::npos, status.output.find("Problem")) << status.output;
  // One that others may write is not.
  ASSERT_EQ(0, ::chmod(other.c_str(), 0666));
  ClientRun writable = run({"--settings", other, "status"});
  EXPECT_EQ(1, writable.exit_code) << writable.output;
  EXPECT_EQ("stowmaster: cannot use the settings file " + other +
                ": StowmasterUseSettingsFile: Settings file " + other +
                " is writable by others than its owner: not used by a privileged process.\n",
            writable.output);
  ASSERT_EQ(0, ::chmod(other.c_str(), 0644));

  // Not privileged, the program works on the variable's cache.
  if (!PathExists("/usr/bin/setpriv")) return;
  for (const std::string& dir : {other_cache, box_.log_dir()}) {
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0777)) << dir;
  }
  ASSERT_EQ(0, ::chmod(JoinPath(other_cache, "Index.Dat").c_str(), 0666));
  ClientRun nobody = RunAsNobody(box_, program, {"--library", box_.library(), "status"});
  EXPECT_EQ(0, nobody.exit_code) << nobody.output;
  EXPECT_EQ(0u, nobody.output.find("Settings     " + other + "\n")) << nobody.output;
#endif
}

// A client of an ordinary user is privileged (its deletions confined to the
// cache folders, the settings variable ignored) when it holds a capability
// that passes an unlink's permission checks. Outside the cache folders lie
// a root-owned file in a sticky folder everyone may write (which
// CAP_FOWNER could delete) and one in a folder only root may write (which
// CAP_DAC_OVERRIDE could delete); the client registers both and empties
// the cache.
TEST_F(SettingsAndLogTrustTest, ACapabilityThatPassesUnlinksChecksMakesAClientPrivileged) {
#ifdef _WIN32
  GTEST_SKIP() << "capabilities are Linux's; Windows' privileges are in Win32ChecksTest";
#else
  if (!IsSuperUser()) GTEST_SKIP() << "needs root to give a capability to another user";
  if (!PathExists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv to drop root";
  ASSERT_EQ(0, ::chmod(box_.root().c_str(), 0755));
  const std::string nobody_dir = JoinPath(box_.root(), "nobody");
  ASSERT_TRUE(MakeDir(box_.cache_dir()) && MakeDir(nobody_dir));
  for (const std::string& dir : {box_.cache_dir(), box_.log_dir(), nobody_dir}) {
    ASSERT_EQ(0, ::chown(dir.c_str(), 65534, 65534)) << dir;
  }
  const std::string sticky = JoinPath(box_.root(), "sticky");
  const std::string root_only = JoinPath(box_.root(), "root-only");
  ASSERT_TRUE(MakeDir(sticky) && MakeDir(root_only));
  ASSERT_EQ(0, ::chmod(sticky.c_str(), 01777));
  ASSERT_EQ(0, ::chmod(root_only.c_str(), 0755));
  const std::string in_sticky = JoinPath(sticky, "root.bin");
  const std::string in_root_only = JoinPath(root_only, "root.bin");
  // The same settings under another name, for the variable to name.
  const std::string ini = JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI");
  const std::string variable_ini = JoinPath(box_.root(), "variable.ini");
  ASSERT_TRUE(WriteWholeFile(variable_ini, ReadWholeFile(ini)));
  SetEnvironment("STOWMASTER_SETTINGS", variable_ini);
  struct Unset {
    ~Unset() { SetEnvironment("STOWMASTER_SETTINGS", ""); }
  } unset;

  const struct {
    const char* capability;
    bool privileged;
  } rows[] = {
      {"", false},
      {"dac_override", true},
      {"fowner", true},
      // Search and read only: the folder's write permission still decides.
      {"dac_read_search", false},
  };
  const std::string client = JoinPath(ExecutableDir(), "stow_test_client");
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string("capability: ") + row.capability);
    ASSERT_TRUE(WriteWholeFile(in_sticky, "s") && WriteWholeFile(in_root_only, "r"));
    const std::string results = JoinPath(nobody_dir, std::string(row.capability) + ".results");
    const std::string before = box_.ReadLogs();
    ClientRun run = RunAsNobody(box_, client,
                                {results, box_.library(), "init", "0", "add", in_sticky, "0", "add",
                                 in_root_only, "0", "settings", "deleteall", "uninit"},
                                row.capability);
    ASSERT_EQ(0, run.exit_code) << run.output;
    std::string lines;
    ASSERT_TRUE(ReadFile(results, &lines));
    EXPECT_EQ(0u, lines.find("@init 1\n@add 1\n@add 1\n@settings 0 1 1 ")) << lines;
    EXPECT_NE(std::string::npos,
              lines.find("@settings-file " + (row.privileged ? ini : variable_ini) + "\n"))
        << lines;
    const std::string log = box_.ReadLogs().substr(before.size());
    const int refused = row.privileged ? 1 : 0;
    EXPECT_EQ(refused, CountOf(log, RefusedOutsideLine(in_sticky))) << log;
    EXPECT_EQ(refused, CountOf(log, RefusedOutsideLine(in_root_only))) << log;
    // Not privileged: the system refuses both.
    EXPECT_EQ(2 - 2 * refused, CountOf(log, "Msg:  Delete File Error(")) << log;
    EXPECT_TRUE(PathExists(in_sticky));
    EXPECT_TRUE(PathExists(in_root_only));
  }
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
