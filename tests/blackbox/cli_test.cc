// The stowmaster program end to end: it loads the sandbox's library and
// works on the sandbox's cache, as a user's shell would run it.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

constexpr int64_t kMiB = 1024 * 1024;

class CliTest : public BlackBoxTest {
 protected:
  // Runs the program on the sandbox's library.
  ClientRun Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--library", box_.library()});
    return box_.RunProgram(JoinPath(ExecutableDir(), std::string("stowmaster") + kExeSuffix), args,
                           kClientTimeoutMs);
  }

  // Runs it and parses its output as JSON (a null value when it is none).
  nlohmann::json RunJson(const std::vector<std::string>& args, int expected_exit) {
    ClientRun run = Run(args);
    EXPECT_EQ(expected_exit, run.exit_code) << run.output;
    nlohmann::json value = nlohmann::json::parse(run.output, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << run.output;
    return value.is_discarded() ? nlohmann::json() : value;
  }

  // Runs the program with its standard error in a file of its own: what it
  // printed to the standard output, and `error` what it printed there.
  // `input`: the file its standard input reads, none when empty.
  ClientRun RunSeparately(const std::vector<std::string>& args, std::string* error,
                          const std::string& input = std::string()) {
    const std::string error_file = JoinPath(box_.root(), "stderr.txt");
    std::vector<std::string> line = {
        JoinPath(ExecutableDir(), std::string("stowmaster") + kExeSuffix), "--library",
        box_.library()};
    line.insert(line.end(), args.begin(), args.end());
#ifdef _WIN32
    line.insert(line.begin(), "/c");
    line.push_back("2>" + error_file);
    if (!input.empty()) line.push_back("<" + input);
    const char* shell = std::getenv("ComSpec");
    ClientRun run = box_.RunProgram(shell != nullptr ? shell : "C:\\windows\\system32\\cmd.exe",
                                    line, kClientTimeoutMs);
#else
    line.insert(line.begin(), {"-c", "f=$1; shift; exec \"$@\" 2>\"$0\" <\"$f\"", error_file,
                               input.empty() ? "/dev/null" : input});
    ClientRun run = box_.RunProgram("/bin/sh", line, kClientTimeoutMs);
#endif
    error->clear();
    ReadFile(error_file, error);
    // A text-mode stream ends its lines with CR LF on Windows.
    error->erase(std::remove(error->begin(), error->end(), '\r'), error->end());
    return run;
  }

  // Files registered now, oldest first, each `size` bytes in the index.
  void Seed(const std::vector<std::string>& names, int64_t size, int age) {
    IndexImage image = IndexImage::Formatted();
    const int64_t now = UnixSeconds();
    for (const std::string& name : names) {
      ASSERT_TRUE(WriteWholeFile(box_.Data(name), "x"));
      ASSERT_NE(-1, image.AddEntry(box_.Data(name), static_cast<uint32_t>(size),
                                   static_cast<int32_t>(now - age), 0));
    }
    ASSERT_TRUE(image.Save(box_.index_path()));
  }
};

TEST_F(CliTest, JsonOfStatusListAndCheckDescribesTheCache) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  ASSERT_NO_FATAL_FAILURE(Seed({"a", "b", "c"}, 20 * kMiB, 3600));

  nlohmann::json status = RunJson({"status", "--json"}, 0);
  EXPECT_EQ(JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI"), status["settings_file"].get<std::string>());
  EXPECT_TRUE(status["settings_found"].get<bool>());
  EXPECT_TRUE(status["log_writable"].get<bool>());
  EXPECT_EQ(box_.index_path(), status["index_path"].get<std::string>());
  EXPECT_EQ(50 * kMiB, status["limit_bytes"].get<int64_t>());
  EXPECT_EQ(55 * kMiB, status["high_mark_bytes"].get<int64_t>());
  EXPECT_EQ(45 * kMiB, status["low_mark_bytes"].get<int64_t>());
  EXPECT_EQ(300, status["min_age_seconds"].get<int64_t>());
  EXPECT_EQ(3, status["entries"].get<int64_t>());
  EXPECT_EQ(100000, status["capacity"].get<int64_t>());
  EXPECT_EQ(60 * kMiB, status["bytes_in_use"].get<int64_t>());
  EXPECT_TRUE(status["lists_consistent"].get<bool>());
  // Above the high mark: the oldest goes, which takes the cache below the
  // low mark.
  EXPECT_EQ(1, status["evictable_files"].get<int64_t>());
  EXPECT_EQ(20 * kMiB, status["evictable_bytes"].get<int64_t>());
  EXPECT_EQ(box_.Data("a"), status["next_path"].get<std::string>());

  nlohmann::json list = RunJson({"list", "--json", "--limit", "2"}, 0);
  ASSERT_EQ(2u, list["entries"].size());
  EXPECT_EQ(box_.Data("c"), list["entries"][0]["path"].get<std::string>());
  EXPECT_EQ(box_.Data("b"), list["entries"][1]["path"].get<std::string>());
  EXPECT_EQ(20 * kMiB, list["entries"][1]["file_size"].get<int64_t>());
  EXPECT_TRUE(list["entries"][1]["evictable"].get<bool>());
  EXPECT_TRUE(list["complete"].get<bool>());

  nlohmann::json check = RunJson({"--json", "check"}, 0);
  EXPECT_TRUE(check["sound"].get<bool>());
  EXPECT_EQ(3, check["valid_count"].get<int64_t>());
  EXPECT_EQ(99997, check["free_count"].get<int64_t>());
  EXPECT_EQ("", check["problem"].get<std::string>());

  // In words: the bar and the marks in human units.
  ClientRun human = Run({"status"});
  EXPECT_EQ(0, human.exit_code) << human.output;
  EXPECT_NE(std::string::npos, human.output.find("In use       60.0 MiB (120 % of the limit)"))
      << human.output;
  EXPECT_NE(std::string::npos, human.output.find("low mark 45.0 MiB, high mark 55.0 MiB"))
      << human.output;
  // 40 columns for 68.75 MiB (the high mark and a quarter): the low mark at
  // column 26, the high mark at 32, 60 MiB in use filling 35.
  EXPECT_NE(std::string::npos, human.output.find("[" + std::string(26, '#') + "L#####H##.....]\n"))
      << human.output;

  // A refused deletion is remembered: the pass that met it goes on to the
  // next file, and status counts it and names the next one that would go.
  RemoveTree(box_.Data("a"));
  ASSERT_TRUE(MakeDir(box_.Data("a")));
  EXPECT_EQ(3, Run({"shrink"}).exit_code);
  nlohmann::json after = RunJson({"status", "--json"}, 0);
  EXPECT_EQ(1, after["refused_files"].get<int64_t>());
  EXPECT_EQ(20 * kMiB, after["refused_bytes"].get<int64_t>());
  EXPECT_EQ(box_.Data("c"), after["next_path"].get<std::string>());
  EXPECT_NE(std::string::npos, Run({"status"}).output.find("Refused      1 files (20.0 MiB)"));

  // The counters: the pass above (b deleted, a refused), then two new
  // registrations, a refresh and a refusal. Each command below must see
  // them exactly; a rebuild of the lookup table keeps them, a zeroing
  // empties them.
  ASSERT_TRUE(WriteWholeFile(box_.Data("d"), "dd"));
  ASSERT_TRUE(WriteWholeFile(box_.Data("e"), "eee"));
  EXPECT_EQ(0, Run({"add", "--quiet", box_.Data("d"), box_.Data("e"), box_.Data("c")}).exit_code);
  EXPECT_EQ(1, Run({"add", box_.Data("missing")}).exit_code);
  struct Counts {
    int64_t registrations_new, registrations_refreshed, registrations_refused, passes,
        pass_deleted_files, pass_deleted_bytes, deletions_refused;
  };
  const auto expect_counts = [&](const nlohmann::json& c, const Counts& want, const char* when) {
    EXPECT_TRUE(c["available"].get<bool>()) << when << c;
    EXPECT_EQ(want.registrations_new, c["registrations_new"].get<int64_t>()) << when;
    EXPECT_EQ(want.registrations_refreshed, c["registrations_refreshed"].get<int64_t>()) << when;
    EXPECT_EQ(want.registrations_refused, c["registrations_refused"].get<int64_t>()) << when;
    EXPECT_EQ(0, c["full_index_refusals"].get<int64_t>()) << when;
    EXPECT_EQ(want.passes, c["passes"].get<int64_t>()) << when;
    EXPECT_EQ(want.pass_deleted_files, c["pass_deleted_files"].get<int64_t>()) << when;
    EXPECT_EQ(want.pass_deleted_bytes, c["pass_deleted_bytes"].get<int64_t>()) << when;
    EXPECT_EQ(0, c["emptied_files"].get<int64_t>()) << when;
    EXPECT_EQ(want.deletions_refused, c["deletions_refused"].get<int64_t>()) << when;
    EXPECT_EQ(0, c["repair_dropped"].get<int64_t>()) << when;
  };
  const Counts counted = {2, 1, 1, 1, 1, 20 * kMiB, 1};
  nlohmann::json stats = RunJson({"stats", "--json"}, 0);
  expect_counts(stats, counted, "stats");
  EXPECT_EQ(0, stats["last_reset"].get<int64_t>());
  const int64_t since = stats["counting_since"].get<int64_t>();
  EXPECT_LE(stats["now"].get<int64_t>() - 600, since);
  expect_counts(RunJson({"status", "--json"}, 0)["counters"], counted, "status");
  EXPECT_NE(std::string::npos, Run({"status"}).output.find(
                                   "Registered   2 new, 1 refreshed, 1 refused (0 for a full "
                                   "index)\nPasses       1, deleted 1 files (20.0 MiB)\n"));

  // The lookup table marked stale (its fresh flag cleared) is rebuilt by
  // the next registration, which is counted on top.
  {
    std::FILE* f = std::fopen(JoinPath(box_.cache_dir(), "Index.Lkp").c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    const uint32_t stale = 0;
    ASSERT_EQ(0, std::fseek(f, 36, SEEK_SET));  // the header's fresh flag
    ASSERT_EQ(1u, std::fwrite(&stale, sizeof(stale), 1, f));
    std::fclose(f);
  }
  EXPECT_EQ(0, Run({"add", "--quiet", box_.Data("d")}).exit_code);
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), "Lookup table rebuilt")) << box_.ReadLogs();
  stats = RunJson({"stats", "--json"}, 0);
  expect_counts(stats, {2, 2, 1, 1, 1, 20 * kMiB, 1}, "after the rebuild");
  EXPECT_EQ(since, stats["counting_since"].get<int64_t>());

  // Zeroed under the lock, with the time noted; what follows counts again.
  ClientRun zero = Run({"stats", "--zero"});
  EXPECT_EQ(0, zero.exit_code) << zero.output;
  EXPECT_NE(std::string::npos, zero.output.find(", zeroed ")) << zero.output;
  EXPECT_NE(std::string::npos, zero.output.find("Registered   0 new, 0 refreshed, 0 refused"))
      << zero.output;
  EXPECT_EQ(0, Run({"add", "--quiet", box_.Data("e")}).exit_code);
  stats = RunJson({"stats", "--json"}, 0);
  expect_counts(stats, {0, 1, 0, 0, 0, 0, 0}, "after the zeroing");
  EXPECT_LE(since, stats["last_reset"].get<int64_t>());
  EXPECT_EQ(since, stats["counting_since"].get<int64_t>());
}

// `config` shows each setting with its source and each mistake of the
// settings file with its line; `status` ends with the same mistakes, and
// both say them in JSON too.
TEST_F(CliTest, ConfigAndStatusShowTheSettingsMistakes) {
  SandboxSettings settings;
  settings.cache_size = "10";                                     // line 3
  settings.cache_lines = {"CacheSzie=500", "Delay=2 ; minutes"};  // lines 5 and 6
  ASSERT_TRUE(box_.WriteSettings(settings));
  const std::string ini = JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI");
  const struct {
    const char* kind;
    int line;
    std::string text;
  } mistakes[] = {
      {"out_of_range", 3,
       ":3: CacheSize=10 is out of range (50 to 204800 MiB): the default 200 "
       "MiB applies"},
      {"unknown_key", 5, ":5: unknown key CacheSzie in [Cache], ignored (meant CacheSize?)"},
      {"not_a_number", 6,
       ":6: Delay=2 ; minutes is not a whole number: it reads as 2 (a number "
       "ends at its first other character; ';' starts a comment only at the "
       "start of a line), which is out of range (5 to 4320 minutes): the "
       "default 15 minutes applies"},
  };
  std::string problem_lines;
  for (const auto& m : mistakes) problem_lines += "Problem      " + ini + m.text + "\n";

  ClientRun config = Run({"config"});
  EXPECT_EQ(0, config.exit_code) << config.output;
  EXPECT_EQ(0u, config.output.find("Settings     " + ini + "\n")) << config.output;
  EXPECT_NE(std::string::npos,
            config.output.find("  [Cache] CacheSize    200 MiB                  default\n"))
      << config.output;
  EXPECT_NE(std::string::npos, config.output.find("  [Cache] FileFolders  " + box_.data_dir()))
      << config.output;
  EXPECT_NE(std::string::npos, config.output.find(ini + ":4\n")) << config.output;
  ClientRun status = Run({"status"});
  EXPECT_EQ(0, status.exit_code) << status.output;
  for (const ClientRun* run : {&config, &status}) {
    ASSERT_LE(problem_lines.size(), run->output.size());
    EXPECT_EQ(problem_lines, run->output.substr(run->output.size() - problem_lines.size()))
        << run->output;
  }

  const nlohmann::json json_config = RunJson({"config", "--json"}, 0);
  const nlohmann::json json_status = RunJson({"status", "--json"}, 0);
  for (const nlohmann::json* out : {&json_config, &json_status}) {
    const nlohmann::json problems = out->value("problems", nlohmann::json::array());
    ASSERT_EQ(3u, problems.size()) << *out;
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(mistakes[i].kind, problems[i].value("kind", ""));
      EXPECT_EQ(mistakes[i].line, problems[i].value("line", 0));
      EXPECT_EQ(ini, problems[i].value("file", ""));
      EXPECT_EQ(ini + mistakes[i].text, problems[i].value("text", ""));
    }
  }
  EXPECT_EQ(200 * kMiB, json_status.value("limit_bytes", 0LL));
  for (const nlohmann::json& item : json_config["settings"]) {
    if (item.value("key", "") == "CacheDir") {
      EXPECT_EQ("file", item.value("source", ""));
      EXPECT_EQ(2, item.value("line", 0));
    } else if (item.value("key", "") == "Delay") {
      EXPECT_EQ("default", item.value("source", ""));
      EXPECT_EQ("15", item.value("value", ""));
      EXPECT_EQ("minutes", item.value("unit", ""));
    } else if (item.value("key", "") == "AdoptFileFolders") {
      EXPECT_EQ("default", item.value("source", ""));
      EXPECT_EQ("0", item.value("value", ""));
    }
  }
  EXPECT_EQ(8u, json_config["settings"].size()) << json_config;

  // Mended, nothing is left to say.
  ASSERT_TRUE(box_.WriteSettings(SandboxSettings()));
  EXPECT_EQ(std::string::npos, Run({"status"}).output.find("Problem"));
}

// After a restart of the machine the status says the index is not yet
// reconciled with the disk; the first pass of a client (inline, after its
// registration) reconciles it, with one summary line, and the status says
// so. A second client's pass does nothing more.
TEST_F(CliTest, StatusTellsWhetherTheIndexWasReconciledAfterTheRestart) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  ASSERT_NO_FATAL_FAILURE(Seed({"a", "b"}, 20 * kMiB, 3600));
  // A client has made the lookup table; then the machine restarts.
  ASSERT_EQ(0, box_.RunClient({"init", "1", "uninit"}, kClientTimeoutMs).exit_code);
  ASSERT_TRUE(IndexImage::MarkReconciled(IndexImage::LookupPathBeside(box_.index_path()), false));
  ASSERT_TRUE(WriteWholeFile(box_.Data("c"), "xy"));

  EXPECT_TRUE(RunJson({"status", "--json"}, 0)["reconciliation_pending"].get<bool>());
  EXPECT_NE(
      std::string::npos,
      Run({"status"})
          .output.find("Disk         NOT reconciled since the restart: the next pass does it\n"));
  for (int client = 0; client < 2; ++client) {
    ClientRun run =
        box_.RunClient({"init", "0", "add", box_.Data("c"), "2", "uninit"}, kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;
  }
  const std::string logs = box_.ReadLogs();
  EXPECT_EQ(1, CountOf(logs, "Reconciled with the disk after the restart: "));
  EXPECT_EQ(1, CountOf(logs,
                       "Reconciled with the disk after the restart: 3 entries looked at, "
                       "0 dropped, 2 sizes corrected, 0 files adopted (0 bytes).\n"))
      << logs;
  EXPECT_FALSE(RunJson({"status", "--json"}, 0)["reconciliation_pending"].get<bool>());
  EXPECT_NE(std::string::npos,
            Run({"status"}).output.find("Disk         reconciled since the last restart\n"));
  EXPECT_EQ(2 + 2, RunJson({"status", "--json"}, 0)["bytes_in_use"].get<int64_t>());
}

TEST_F(CliTest, EveryExitCodeComesFromARealSituation) {
  // 2: bad usage, and nothing is done.
  ClientRun unknown = Run({"frobnicate"});
  EXPECT_EQ(2, unknown.exit_code) << unknown.output;
  EXPECT_EQ("stowmaster: unknown command 'frobnicate'; see stowmaster --help\n", unknown.output);
  EXPECT_EQ(2, Run({"list", "--limit", "many"}).exit_code);

  // 1: a folder is no file to register; 0: a file registered from the
  // shell, with its own delay.
  ASSERT_TRUE(MakeDir(box_.Data("dir")));
  ASSERT_TRUE(WriteWholeFile(box_.Data("f"), "data"));
  EXPECT_EQ(1, Run({"add", box_.Data("dir")}).exit_code);
  ClientRun add = Run({"add", box_.Data("f"), "--delay", "60"});
  EXPECT_EQ(0, add.exit_code) << add.output;
  // An entry that names the folder, as a damaged or foreign index may hold
  // one: no pass or emptying can delete it.
  {
    IndexImage listed = LoadIndex();
    ASSERT_NE(-1,
              listed.AddEntry(box_.Data("dir"), 1, static_cast<int32_t>(UnixSeconds()) - 9999, 0));
    ASSERT_TRUE(listed.Save(box_.index_path()));
  }
  nlohmann::json list = RunJson({"list", "--json"}, 0);
  ASSERT_EQ(2u, list["entries"].size());
  EXPECT_EQ(box_.Data("f"), list["entries"][1]["path"].get<std::string>());
  EXPECT_EQ(60, list["entries"][1]["delay"].get<int64_t>());

  // 0: a pass below the high mark; the dump to a file and to the output.
  EXPECT_EQ(0, Run({"shrink"}).exit_code);
  const std::string dump = JoinPath(box_.root(), "dump.txt");
  EXPECT_EQ(0, Run({"dump", dump}).exit_code);
  EXPECT_TRUE(PathExists(dump));
  ClientRun dumped = Run({"dump"});
  EXPECT_EQ(0, dumped.exit_code);
  EXPECT_EQ(0u, dumped.output.find("\nDump Index File Header (v2.0)...\n")) << dumped.output;

  // 3: emptied, but the registered folder could not be deleted.
  ClientRun empty = Run({"empty"});
  EXPECT_EQ(3, empty.exit_code) << empty.output;
  EXPECT_FALSE(PathExists(box_.Data("f")));
  EXPECT_TRUE(IsDir(box_.Data("dir")));

  // 4: damage found, then repaired; then sound.
  IndexImage image = LoadIndex();
  image.header().CacheSize += 7;
  ASSERT_TRUE(image.Save(box_.index_path()));
  ClientRun damaged = Run({"check"});
  EXPECT_EQ(4, damaged.exit_code) << damaged.output;
  EXPECT_NE(std::string::npos, damaged.output.find("DAMAGED")) << damaged.output;
  EXPECT_EQ(4, Run({"check", "--repair"}).exit_code);
  EXPECT_EQ(0, Run({"check"}).exit_code);
  // A path listed twice is damage too; the repair keeps the first entry.
  IndexImage twice = LoadIndex();
  ASSERT_NE(-1, twice.AddEntry(box_.Data("dir"), 5, static_cast<int32_t>(UnixSeconds()), 0));
  ASSERT_TRUE(twice.Save(box_.index_path()));
  ClientRun listed_twice = Run({"check"});
  EXPECT_EQ(4, listed_twice.exit_code) << listed_twice.output;
  EXPECT_NE(std::string::npos, listed_twice.output.find("DAMAGED: valid list: a path listed twice"))
      << listed_twice.output;
  EXPECT_EQ(4, Run({"check", "--repair"}).exit_code);
  EXPECT_EQ(0, Run({"check"}).exit_code);
  nlohmann::json once = RunJson({"list", "--json"}, 0);
  ASSERT_EQ(1u, once["entries"].size());
  EXPECT_EQ(5, once["entries"][0]["file_size"].get<int64_t>());

  // A log file that cannot be written is shown on every command.
  SandboxSettings no_log;
  no_log.log_dir = JoinPath(box_.root(), "no_such_folder");
  ASSERT_TRUE(box_.WriteSettings(no_log));
  ClientRun warned = Run({"status"});
  EXPECT_EQ(0, warned.exit_code) << warned.output;
  EXPECT_NE(std::string::npos,
            warned.output.find("stowmaster: warning: the log file " + no_log.log_dir))
      << warned.output;

  // 1: initialisation fails (the cache folder cannot be made), and the
  // shell hears why; a library that is not there.
  const std::string blocker = JoinPath(box_.root(), "blocker");
  ASSERT_TRUE(WriteWholeFile(blocker, "not a folder"));
  SandboxSettings blocked;
  blocked.cache_dir = JoinPath(blocker, "cache");
  ASSERT_TRUE(box_.WriteSettings(blocked));
  ClientRun failed = Run({"add", box_.Data("dir")});
  EXPECT_EQ(1, failed.exit_code) << failed.output;
  EXPECT_NE(std::string::npos, failed.output.find("mkdir " + blocked.cache_dir + ": "))
      << failed.output;
  ClientRun missing =
      box_.RunProgram(JoinPath(ExecutableDir(), std::string("stowmaster") + kExeSuffix),
                      {"--library", box_.Data("nothing"), "status"}, kClientTimeoutMs);
  EXPECT_EQ(1, missing.exit_code) << missing.output;
}

// `add` takes its paths as arguments, from the standard input ("-") or from
// a list file, one a line or NUL-ended, and initialises the library once
// for all of them; --quiet leaves only the failures; --delay takes an age.
TEST_F(CliTest, AddRegistersListedPathsWithinOneInitialisation) {
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const std::string list = JoinPath(box_.root(), "paths.txt");
  struct Case {
    const char* what;
    std::vector<std::string> names;  // the files made below data/
    std::string listed;              // the list file's text, each '|' a data path
    std::vector<std::string> args;   // "@" stands for the list file
    bool from_stdin;
    int exit_code;
    int registered_lines;  // "registered" lines on the standard output
    std::string error;     // in the standard error; empty: nothing there
    int64_t delay;         // of the first name
  } cases[] = {
      {"lines from the standard input, a blank one and a missing file among them",
       {"1a", "1b"},
       "|1a\n\n|1b\n|1missing\n",
       {"-"},
       true,
       1,
       2,
       "not registered: ",
       0},
      {"NUL-ended paths of a list file, quiet",
       {"2a", "2b"},
       std::string("|2a\0|2b\0", 8),
       {"--from", "@", "-0", "--quiet"},
       false,
       0,
       0,
       "",
       0},
      {"arguments and a list file together, an age as the delay",
       {"3a", "3b"},
       "|3b",
       {"--delay", "1h", "|3a", "--from", "@"},
       false,
       0,
       2,
       "",
       3600},
      {"quiet hides the registered, not the failures",
       {"4a"},
       "",
       {"--quiet", "|4a", "|4missing"},
       false,
       1,
       0,
       "not registered: ",
       0},
      {"a bare delay is seconds", {"5a"}, "", {"--delay", "90", "|5a"}, false, 0, 1, "", 90},
      {"a list file that is not there",
       {},
       "",
       {"--from", "|6none"},
       false,
       1,
       0,
       "cannot open ",
       -1},
  };
  const auto spell = [this](std::string text) {
    for (size_t at = text.find('|'); at != std::string::npos; at = text.find('|', at)) {
      const size_t end = std::min(text.find_first_of(std::string("\n\0", 2), at), text.size());
      const std::string path = box_.Data(text.substr(at + 1, end - at - 1));
      text.replace(at, end - at, path);
      at += path.size();
    }
    return text;
  };
  for (const Case& c : cases) {
    for (const std::string& name : c.names) ASSERT_TRUE(WriteWholeFile(box_.Data(name), "data"));
    ASSERT_TRUE(WriteWholeFile(list, spell(c.listed)));
    std::vector<std::string> args = {"add"};
    for (const std::string& arg : c.args) args.push_back(arg == "@" ? list : spell(arg));
    const int inits = CountOf(box_.ReadLogs(), " Initialize stowmaster successfully");
    std::string error;
    ClientRun run = RunSeparately(args, &error, c.from_stdin ? list : std::string());
    EXPECT_EQ(c.exit_code, run.exit_code) << c.what << "\n" << run.output << error;
    EXPECT_EQ(c.registered_lines, CountOf(run.output, "registered ")) << c.what << "\n"
                                                                      << run.output;
    if (c.error.empty()) {
      EXPECT_EQ("", error) << c.what;
    } else {
      EXPECT_NE(std::string::npos, error.find("stowmaster: " + c.error)) << c.what << "\n" << error;
    }
    // One initialisation however many paths, none when nothing can be read.
    EXPECT_EQ(inits + (c.delay < 0 ? 0 : 1),
              CountOf(box_.ReadLogs(), " Initialize stowmaster successfully"))
        << c.what;
    nlohmann::json entries = RunJson({"list", "--json"}, 0)["entries"];
    for (const std::string& name : c.names) {
      const auto listed =
          std::find_if(entries.begin(), entries.end(),
                       [&](const nlohmann::json& e) { return e["path"] == box_.Data(name); });
      ASSERT_NE(entries.end(), listed) << c.what << ": " << name << "\n" << entries;
      if (name == c.names[0]) {
        EXPECT_EQ(c.delay, (*listed)["delay"].get<int64_t>()) << c.what;
      }
    }
  }
}

// An index that no command can use makes every command exit 1 and say why,
// rather than report an empty cache, a damaged index or "not made yet".
TEST_F(CliTest, AnIndexThatCannotBeUsedFailsEveryCommand) {
  const std::string blocker = JoinPath(box_.root(), "blocker");
  ASSERT_TRUE(WriteWholeFile(blocker, "not a folder"));
  const std::string cache_dir = box_.cache_dir();
  const std::string index_path = box_.index_path();
  struct Case {
    const char* what;
    std::string cache_dir;
    std::string reason;     // in the program's error line
  } cases[] = {
      {"Index.Dat is a folder", cache_dir, "open (not a regular file) " + index_path},
      {"the cache folder runs through a file", JoinPath(JoinPath(blocker, "sub"), "cache"),
       "cannot make the cache folder below " + blocker},
  };
  const std::vector<std::vector<std::string>> commands = {
      {"status"}, {"status", "--json"}, {"list"},  {"list", "--json"}, {"check"},
      {"check", "--repair"}, {"shrink"}, {"empty"}, {"dump"}};
  MakeDir(cache_dir);  // there already or not
  ASSERT_TRUE(MakeDir(index_path));
  for (const Case& c : cases) {
    SandboxSettings settings;
    settings.cache_dir = c.cache_dir;
    ASSERT_TRUE(box_.WriteSettings(settings));
    for (const std::vector<std::string>& command : commands) {
      ClientRun run = Run(command);
      EXPECT_EQ(1, run.exit_code) << c.what << ": " << command[0] << "\n" << run.output;
      EXPECT_NE(std::string::npos, run.output.find(c.reason))
          << c.what << ": " << command[0] << "\n" << run.output;
    }
  }
  EXPECT_TRUE(IsDir(index_path));
  EXPECT_FALSE(PathExists(JoinPath(blocker, "sub")));

  // A list that meets damage prints what it read before and exits 4, as
  // the check does.
  SandboxSettings settings;
  settings.cache_dir = cache_dir;
  ASSERT_TRUE(box_.WriteSettings(settings));
  RemoveTree(index_path);
  ASSERT_NO_FATAL_FAILURE(Seed({"a", "b", "c"}, 1, 0));
  IndexImage image = LoadIndex();
  image.block(image.header().FirstValidBlock).RightNode = 99999;
  ASSERT_TRUE(image.Save(box_.index_path()));
  ClientRun damaged = Run({"list"});
  EXPECT_EQ(4, damaged.exit_code) << damaged.output;
  EXPECT_NE(std::string::npos, damaged.output.find(box_.Data("c"))) << damaged.output;
}

// `text` as JSON; a test failure, and a discarded value, when it is not JSON
// (ill-formed UTF-8 and raw control characters included).
nlohmann::json ParsedOrFail(const std::string& text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  EXPECT_FALSE(value.is_discarded()) << text;
  return value;
}

// The member `name` of `object` as the library gave it: from its "_bytes"
// member when there is one.
std::string Exactly(const nlohmann::json& object, const std::string& name) {
  if (!object.contains(name + "_bytes")) return object.value(name, std::string("?"));
  const std::string hex = object[name + "_bytes"].get<std::string>();
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
  }
  return bytes;
}

// Every --json output is well-formed UTF-8 JSON whatever bytes the index and
// the settings hold, and every text in it can be had back exactly.
TEST_F(CliTest, JsonIsUtf8AndKeepsEveryTextExactly) {
  struct Case {
    std::string name;   // of a listed file
    std::string shown;  // its "path" ends so
    bool bytes;         // and a "path_bytes" member follows
  };
  const std::string kReplaced = "\xEF\xBF\xBD";  // U+FFFD
  SandboxSettings settings;
  settings.cache_size = "50";
  settings.precision = "10";
  settings.delay = "5";
#ifdef _WIN32
  // Paths are ANSI code-page text (1252 here): converted to UTF-8.
  const std::vector<Case> cases = {{"caf\xE9", "caf\xC3\xA9", false},
                                   {"q\"\\\x01\n", "q\"\\\x01\n", false}};
#else
  const std::vector<Case> cases = {
      {"caf\xE9", "caf" + kReplaced, true},
      {"caf\xC3\xA9", "caf\xC3\xA9", false},
      {"over\xC0\xAF", "over" + kReplaced + kReplaced, true},
      {"surrogate\xED\xA0\x80", "surrogate" + kReplaced + kReplaced + kReplaced, true},
      {"short\xE2\x82", "short" + kReplaced + kReplaced, true},
      {"high\xF4\x90\x80\x80", "high" + kReplaced + kReplaced + kReplaced + kReplaced, true},
      {"q\"\\\x01\n", "q\"\\\x01\n", false}};
  // The cache and log folders are no UTF-8 either.
  settings.cache_dir = JoinPath(box_.root(), "cache\xE9");
  settings.log_dir = JoinPath(box_.root(), "log\xE9");
  ASSERT_TRUE(MakeDir(settings.log_dir));
#endif
  ASSERT_TRUE(box_.WriteSettings(settings));
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  IndexImage image = IndexImage::Formatted();
  const int64_t now = UnixSeconds();
  for (size_t i = 0; i < cases.size(); ++i) {  // the first the oldest
    ASSERT_NE(-1, image.AddEntry(box_.Data(cases[i].name), 20 * kMiB,
                                 static_cast<int32_t>(now - 3600 + static_cast<int>(i)), 0));
  }
  ASSERT_TRUE(image.Save(box_.index_path()));

  for (const char* command : {"status", "list", "check"}) {
    ClientRun run = Run({command, "--json"});
    EXPECT_EQ(0, run.exit_code) << command << "\n" << run.output;
    const nlohmann::json out = ParsedOrFail(run.output);
    if (out.is_discarded()) continue;
    if (std::string(command) == "list") {
      ASSERT_EQ(cases.size(), out["entries"].size());
      for (size_t i = 0; i < cases.size(); ++i) {
        const nlohmann::json& entry = out["entries"][cases.size() - 1 - i];
        EXPECT_EQ(box_.Data(cases[i].shown), entry["path"]) << i;
        EXPECT_EQ(cases[i].bytes, entry.contains("path_bytes")) << i;
        if (cases[i].bytes) {
          EXPECT_EQ(box_.Data(cases[i].name), Exactly(entry, "path")) << i;
        }
      }
    } else if (std::string(command) == "status") {
      EXPECT_EQ(cases[0].bytes ? box_.Data(cases[0].name) : box_.Data(cases[0].shown),
                Exactly(out, "next_path"));
      EXPECT_EQ(box_.cache_dir(), Exactly(out, "cache_dir"));
      EXPECT_EQ(box_.index_path(), Exactly(out, "index_path"));
      EXPECT_EQ(0u, Exactly(out, "log_file").find(settings.log_dir)) << out["log_file"];
      EXPECT_EQ(JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI"),
                Exactly(out, "settings_file"));
    } else {
      EXPECT_EQ(box_.index_path(), Exactly(out, "index_path"));
      EXPECT_TRUE(out["sound"].get<bool>());
    }
  }
}

// With EchoToStdout=1 the library echoes the log file's path for every line
// it logs: the program sends that to the standard error, so that its own
// standard output, JSON or text, holds nothing else.
TEST_F(CliTest, TheLibrarysLogEchoGoesToTheStandardError) {
  SandboxSettings settings;
  settings.log_lines = {"EchoToStdout=1"};
  ASSERT_TRUE(box_.WriteSettings(settings));
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  ASSERT_TRUE(WriteWholeFile(box_.Data("f"), "data"));
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exit_code;
    bool json;  // the output is JSON, else `output` is all of it
    std::string output;
  } cases[] = {
      {"a registration", {"add", box_.Data("f")}, 0, false, "registered " + box_.Data("f") + "\n"},
      {"a damaged index", {"--json", "check"}, 4, true, ""},
      {"an index that is a folder", {"list", "--json"}, 1, true, ""},
      {"an index that is a folder", {"--json", "status"}, 1, false, ""},
  };
  for (const Case& c : cases) {
    if (std::string(c.what) == "a damaged index") {
      IndexImage image = LoadIndex();
      image.header().CacheSize += 7;
      ASSERT_TRUE(image.Save(box_.index_path()));
    } else if (std::string(c.what) == "an index that is a folder") {
      RemoveTree(box_.index_path());
      MakeDir(box_.index_path());
    }
    std::string error;
    ClientRun run = RunSeparately(c.args, &error);
    EXPECT_EQ(c.exit_code, run.exit_code) << c.what << "\n" << run.output << error;
    if (c.json) {
      ParsedOrFail(run.output);
    } else {
      EXPECT_EQ(c.output, run.output) << c.what;
    }
    // Moved, not lost.
    EXPECT_NE(std::string::npos, error.find("Stowmaster_")) << c.what << "\n" << error;
  }
}

// ------------------------------------------------- the operator's toolkit ---

// One listed file of the sandbox: below data/, `bytes` long on disk and in
// the index, registered `age` seconds ago.
struct Listed {
  std::string name;  // "one/a": folders are made
  int64_t bytes;
  int age;
};

class ToolkitTest : public CliTest {
 protected:
  std::string DataPath(const std::string& name) const {
    std::string path = box_.data_dir();
    for (size_t at = 0; at <= name.size();) {
      const size_t slash = std::min(name.find('/', at), name.size());
      path = JoinPath(path, name.substr(at, slash - at));
      at = slash + 1;
    }
    return path;
  }
  // Writes the files (of `bytes` bytes when `real`, else of one) and an
  // index that lists them, in the order given: the first the least
  // recently registered.
  void SeedListed(const std::vector<Listed>& files, bool real) {
    MakeDir(box_.cache_dir());  // there already or not
    IndexImage image = IndexImage::Formatted();
    const int64_t now = UnixSeconds();
    for (const Listed& f : files) {
      for (size_t slash = f.name.find('/'); slash != std::string::npos;
           slash = f.name.find('/', slash + 1)) {
        MakeDir(DataPath(f.name.substr(0, slash)));
      }
      ASSERT_TRUE(real ? WriteFileOfSize(DataPath(f.name), static_cast<uint64_t>(f.bytes))
                       : WriteWholeFile(DataPath(f.name), "x"));
      ASSERT_NE(-1, image.AddEntry(DataPath(f.name), static_cast<uint32_t>(f.bytes),
                                   static_cast<int32_t>(now - f.age), 0));
    }
    ASSERT_TRUE(image.Save(box_.index_path()));
  }
  // The names below data/ of the "path" members of `entries`, '/' between
  // folders.
  std::vector<std::string> Names(const nlohmann::json& entries, const char* member = "path") {
    std::vector<std::string> names;
    for (const nlohmann::json& e : entries) {
      std::string path = e.value(member, std::string("?"));
      if (path.compare(0, box_.data_dir().size(), box_.data_dir()) == 0) {
        path = path.substr(std::min(path.size(), box_.data_dir().size() + 1));
      }
      std::replace(path.begin(), path.end(), '\\', '/');
      names.push_back(path);
    }
    return names;
  }
  // The program with a library that is not there: what must not load one.
  ClientRun RunWithoutLibrary(const std::vector<std::string>& args) {
    std::vector<std::string> line = {"--library", box_.Data("no-such-library")};
    line.insert(line.end(), args.begin(), args.end());
    return box_.RunProgram(JoinPath(ExecutableDir(), std::string("stowmaster") + kExeSuffix), line,
                           kClientTimeoutMs);
  }
};

constexpr int64_t kHour = 3600;

// Four files in three folders, "oneself" a neighbour of "one" whose name
// begins the same; "two/deep" a folder one level lower.
const std::vector<Listed> kTree = {{"oneself/d", 2 * kMiB, 4 * kHour},
                                   {"two/deep/e", 1 * kMiB, 5 * kHour / 2},
                                   {"one/a", 3 * kMiB, 3 * kHour},
                                   {"two/c", 5 * kMiB, 2 * kHour},
                                   {"one/b", 1 * kMiB, 1 * kHour}};

// Bad usage is one line on the standard error with the help to read, exit
// 2, and nothing done; the two spellings of a value and `--` parse.
TEST_F(ToolkitTest, UsageErrorsAreOneLineWithAHint) {
  struct Case {
    std::vector<std::string> args;
    std::string line;  // the whole output
  } cases[] = {
      {{"frobnicate"}, "stowmaster: unknown command 'frobnicate'; see stowmaster --help\n"},
      {{"shrink", "--fo"}, "stowmaster: unknown option --fo; see stowmaster shrink --help\n"},
      {{"list", "--limit", "many"},
       "stowmaster: --limit takes a whole number from 0 to 2147483647, not 'many'; see "
       "stowmaster list --help\n"},
      {{"list", "--sort=name"},
       "stowmaster: --sort takes one of size|age|path, not 'name'; see stowmaster list --help\n"},
      {{"shrink", "--older-than", "3x"},
       "stowmaster: --older-than takes an age such as 30d, 12h, 90m or 45s, not '3x'; see "
       "stowmaster shrink --help\n"},
      {{"list", "--under"}, "stowmaster: --under needs DIR; see stowmaster list --help\n"},
      {{"status", "--disk=yes"}, "stowmaster: --disk takes no value; see stowmaster status --help\n"},
      {{"--limit", "3", "list"},
       "stowmaster: --limit is an option of list; put it after the command; see stowmaster "
       "--help\n"},
      {{"metrics", "--json"}, "stowmaster: metrics has no --json output; see stowmaster metrics --help\n"},
      {{"shrink", "--json"}, "stowmaster: --json goes with --dry-run; see stowmaster shrink --help\n"},
      {{"add"}, "stowmaster: add needs at least one FILE; see stowmaster add --help\n"},
      {{"add", "--quiet", "-0"},
       "stowmaster: add needs at least one FILE; see stowmaster add --help\n"},
      {{"add", "--delay", "1y", "f"},
       "stowmaster: --delay takes an age such as 30d, 12h, 90m or 45s, not '1y'; see "
       "stowmaster add --help\n"},
      {{"dump", "a", "b"}, "stowmaster: dump takes at most one FILE; see stowmaster dump --help\n"},
      {{"status", "extra"}, "stowmaster: unexpected argument 'extra'; see stowmaster status --help\n"},
      {{"dump", "-x"}, "stowmaster: unknown option -x; see stowmaster dump --help\n"},
      {{"completion", "zsh"}, "stowmaster: completion takes one shell: bash; see stowmaster completion --help\n"},
      {{"help", "frob"}, "stowmaster: unknown command 'frob'; see stowmaster help --help\n"},
      {{}, "stowmaster: no command given; see stowmaster --help\n"},
  };
  ASSERT_NO_FATAL_FAILURE(SeedListed(kTree, false));
  for (const Case& c : cases) {
    ClientRun run = Run(c.args);
    EXPECT_EQ(2, run.exit_code) << run.output;
    EXPECT_EQ(c.line, run.output);
  }

  // --name=value as --name value; a file named "-x" after "--".
  nlohmann::json limited = RunJson({"list", "--json", "--limit=2"}, 0);
  EXPECT_EQ(2u, limited["entries"].size());
  const fs::path before = fs::current_path();
  fs::current_path(FsPath(box_.root()));
  ClientRun dashed = Run({"dump", "--", "-x"});
  fs::current_path(before);
  EXPECT_EQ(0, dashed.exit_code) << dashed.output;
  EXPECT_NE(std::string::npos, ReadWholeFile(JoinPath(box_.root(), "-x")).find("Dump Index"));
}

// Every command's help, as `CMD --help` and as `help CMD`, without loading
// the library; and the manual page names every command and option.
TEST_F(ToolkitTest, EveryCommandHasItsHelpAndItsManualEntry) {
  ClientRun top = RunWithoutLibrary({"--help"});
  ASSERT_EQ(0, top.exit_code) << top.output;
  std::vector<std::string> commands;
  const size_t from = top.output.find("Commands:\n"), to = top.output.find("\n\n", from);
  ASSERT_NE(std::string::npos, from) << top.output;
  for (size_t at = from + 10; at < to; at = top.output.find('\n', at) + 1) {
    commands.push_back(top.output.substr(at + 2, top.output.find(' ', at + 2) - at - 2));
  }
  const std::vector<std::string> expected = {"status", "config", "list",    "check", "add",
                                             "adopt",  "shrink", "empty",   "dump",  "usage",
                                             "metrics", "stats", "help",   "completion"};
  EXPECT_EQ(expected, commands);

  std::string manual;
  std::string manual_path = std::string(STOW_SOURCE_DIR) + "/docs/stowmaster.1";
  const bool have_manual = ReadFile(manual_path, &manual);
#ifndef _WIN32
  EXPECT_TRUE(have_manual) << manual_path;
#endif
  std::vector<std::string> manual_commands;
  for (size_t at = manual.find(".SS \\fB"); at != std::string::npos;
       at = manual.find(".SS \\fB", at + 1)) {
    manual_commands.push_back(manual.substr(at + 7, manual.find("\\fR", at) - at - 7));
  }
  if (have_manual) {
    EXPECT_EQ(expected, manual_commands);
  }

  for (const std::string& command : commands) {
    ClientRun help = RunWithoutLibrary({command, "--help"});
    EXPECT_EQ(0, help.exit_code) << command << "\n" << help.output;
    EXPECT_EQ(0u, help.output.find("Usage: stowmaster " + command)) << help.output;
    ClientRun again = RunWithoutLibrary({"help", command});
    EXPECT_EQ(help.output, again.output) << command;
    // Each option of the command is in the manual page.
    for (size_t at = help.output.find("\n  --"); at != std::string::npos;
         at = help.output.find("\n  --", at + 1)) {
      const std::string option = help.output.substr(at + 5, help.output.find_first_of(" \n=", at + 5) - at - 5);
      std::string roff = "\\-\\-";  // every '-' escaped
      for (const char c : option) roff += c == '-' ? std::string("\\-") : std::string(1, c);
      if (have_manual) {
        EXPECT_NE(std::string::npos, manual.find(roff)) << command << " --" << option;
      }
    }
  }
}

// `completion bash` loads no library and completes every command, each
// command's options and the words an option takes.
TEST_F(ToolkitTest, TheCompletionScriptKnowsEveryCommand) {
  ClientRun script = RunWithoutLibrary({"completion", "bash"});
  ASSERT_EQ(0, script.exit_code) << script.output;
  EXPECT_NE(std::string::npos, script.output.find("complete -F _stowmaster stowmaster\n"));
  ASSERT_TRUE(WriteWholeFile(JoinPath(box_.root(), "completion.bash"), script.output));
#ifdef _WIN32
  GTEST_SKIP() << "no bash to run the script in";
#else
  struct Case {
    std::string words;  // the command line so far, the last word the one completed
    std::string offered;
  } cases[] = {
      {"stowmaster ''",
       "add adopt check completion config dump empty help list metrics shrink stats status usage "
       "--help --json --library --settings --version"},
      {"stowmaster li", "list"},
      {"stowmaster --json ch", "check"},
      {"stowmaster list --sort ''", "age path size"},
      {"stowmaster list --",
       "--help --json --library --limit --older-than --settings --sort --under"},
      {"stowmaster shrink --d", "--dry-run"},
      {"stowmaster metrics --", "--disk --help --library --output --settings"},
      {"stowmaster --settings /et", "/etc"},
      {"stowmaster help us", "usage"},
      {"stowmaster completion ''", "bash"},
  };
  for (const Case& c : cases) {
    const std::string line =
        "source \"$0\"; COMP_WORDS=(" + c.words +
        "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _stowmaster; "
        "printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort | tr '\\n' ' '";
    ClientRun run = box_.RunProgram("/bin/bash", {"-c", line, JoinPath(box_.root(), "completion.bash")},
                                    kClientTimeoutMs);
    EXPECT_EQ(0, run.exit_code) << run.output;
    std::vector<std::string> want;
    for (size_t at = 0; at < c.offered.size();) {
      const size_t space = std::min(c.offered.find(' ', at), c.offered.size());
      want.push_back(c.offered.substr(at, space - at));
      at = space + 1;
    }
    std::sort(want.begin(), want.end());
    std::string joined;
    for (const std::string& w : want) joined += w + " ";
    EXPECT_EQ(joined, run.output) << c.words;
  }
#endif
}

// The filters, the sort and the limit of `list`: the limit after the
// filter and the sort, the folder compared at a name boundary.
TEST_F(ToolkitTest, ListFiltersSortsAndLimits) {
  ASSERT_NO_FATAL_FAILURE(SeedListed(kTree, false));
  const std::string one = DataPath("one");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> names;
    std::string nothing_under = "";  // the folder the standard error says lists nothing
  } cases[] = {
      {{}, {"one/b", "two/c", "one/a", "two/deep/e", "oneself/d"}},
      {{"--limit", "2"}, {"one/b", "two/c"}},
      {{"--sort", "size"}, {"two/c", "one/a", "oneself/d", "one/b", "two/deep/e"}},
      {{"--sort=age"}, {"oneself/d", "one/a", "two/deep/e", "two/c", "one/b"}},
      {{"--sort", "path"}, {"one/a", "one/b", "oneself/d", "two/c", "two/deep/e"}},
      {{"--under", one}, {"one/b", "one/a"}},
      {{"--under", one + (one.find('\\') != std::string::npos ? "\\" : "/")}, {"one/b", "one/a"}},
      {{"--under", DataPath("two")}, {"two/c", "two/deep/e"}},
      {{"--under", DataPath("on")}, {}, DataPath("on")},
      // From the current folder (data/), each separator once.
      {{"--under", "one"}, {"one/b", "one/a"}},
      {{"--under", "two//deep/"}, {"two/deep/e"}},
      {{"--under", "./two/deep/..//"}, {"two/c", "two/deep/e"}},
      {{"--under", box_.data_dir() + "//one"}, {"one/b", "one/a"}},
      {{"--under", "nowhere"}, {}, DataPath("nowhere")},
      {{"--older-than", "150m"}, {"one/a", "two/deep/e", "oneself/d"}},
      {{"--older-than", "150m", "--sort", "path", "--limit", "2"}, {"one/a", "oneself/d"}},
      {{"--sort", "size", "--limit", "2"}, {"two/c", "one/a"}},
      {{"--under", one, "--limit", "1"}, {"one/b"}},
  };
  const fs::path before = fs::current_path();
  fs::current_path(FsPath(box_.data_dir()));
  for (const Case& c : cases) {
    std::vector<std::string> args = {"list", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string error;
    ClientRun run = RunSeparately(args, &error);
    EXPECT_EQ(0, run.exit_code) << run.output << error;
    const nlohmann::json list = ParsedOrFail(run.output);
    EXPECT_EQ(c.names, Names(list["entries"])) << args.back();
    EXPECT_TRUE(list.value("complete", false));
    EXPECT_EQ(c.nothing_under.empty()
                  ? ""
                  : "stowmaster: nothing is listed under " + c.nothing_under + "\n",
              error)
        << args.back();
  }
  fs::current_path(before);
  // In words too: the filtered lines only.
  ClientRun text = Run({"list", "--under", one, "--sort", "size"});
  EXPECT_EQ(0, text.exit_code);
  EXPECT_EQ(3, CountOf(text.output, "\n")) << text.output;
  EXPECT_LT(text.output.find("3.0 MiB"), text.output.find("1.0 MiB")) << text.output;
}

// `usage` groups the listed bytes by folder, largest first.
TEST_F(ToolkitTest, UsageGroupsTheListedBytesByFolder) {
  ASSERT_NO_FATAL_FAILURE(SeedListed(kTree, false));
  struct Group {
    std::string folder;
    int64_t files, bytes;
  };
  struct Case {
    std::vector<std::string> args;
    std::string root;
    std::vector<Group> groups;
  } cases[] = {
      {{}, "", {{"two", 1, 5 * kMiB}, {"one", 2, 4 * kMiB}, {"oneself", 1, 2 * kMiB}, {"two/deep", 1, 1 * kMiB}}},
      {{"--depth", "1"}, "", {{"two", 2, 6 * kMiB}, {"one", 2, 4 * kMiB}, {"oneself", 1, 2 * kMiB}}},
      {{"--depth=0"}, "", {{"", 5, 12 * kMiB}}},
      {{"--under", DataPath("two"), "--depth", "1"}, "two", {{"two", 1, 5 * kMiB}, {"two/deep", 1, 1 * kMiB}}},
      {{"--under", "two//deep"}, "two/deep", {{"two/deep", 1, 1 * kMiB}}},
  };
  const fs::path before = fs::current_path();
  fs::current_path(FsPath(box_.data_dir()));
  for (const Case& c : cases) {
    std::vector<std::string> args = {"usage", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    nlohmann::json usage = RunJson(args, 0);
    EXPECT_EQ(std::vector<std::string>{c.root}, Names(nlohmann::json::array({usage}), "root")) << usage;
    std::vector<std::string> folders;
    for (const Group& g : c.groups) folders.push_back(g.folder);
    EXPECT_EQ(folders, Names(usage["folders"], "folder")) << usage;
    for (size_t i = 0; i < c.groups.size() && i < usage["folders"].size(); ++i) {
      EXPECT_EQ(c.groups[i].files, usage["folders"][i]["files"].get<int64_t>()) << usage;
      EXPECT_EQ(c.groups[i].bytes, usage["folders"][i]["bytes"].get<int64_t>()) << usage;
    }
  }
  // In words, a single file and folder as such; nothing under a spelling
  // said once on the standard error.
  ClientRun one = Run({"usage", "--under", "two/deep"});
  EXPECT_NE(std::string::npos,
            one.output.find("1 file (1.0 MiB) below " + DataPath("two/deep") + ", in 1 folder\n"))
      << one.output;
  std::string error;
  ClientRun nothing = RunSeparately({"usage", "--under", "on"}, &error);
  EXPECT_EQ(0, nothing.exit_code) << nothing.output;
  EXPECT_EQ("stowmaster: nothing is listed under " + DataPath("on") + "\n", error);
  fs::current_path(before);
  // In words: the root, and a line per folder with its share as a bar.
  ClientRun text = Run({"usage", "--depth", "1"});
  EXPECT_EQ(0, text.exit_code) << text.output;
  EXPECT_NE(std::string::npos, text.output.find("5 files (12.0 MiB) below " + box_.data_dir()))
      << text.output;
  EXPECT_NE(std::string::npos,
            text.output.find("6.0 MiB       2  [##########..........]  50 %  " + DataPath("two") + "\n"))
      << text.output;
}

// `metrics`: a # HELP and a # TYPE line and one whole-number sample per
// gauge, in this order, each sample labelled with its cache folder (a
// Windows path's backslashes escaped).
TEST_F(ToolkitTest, MetricsAreTheTextExpositionFormat) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  ASSERT_NO_FATAL_FAILURE(SeedListed(kTree, false));
  ClientRun run = Run({"metrics"});
  ASSERT_EQ(0, run.exit_code) << run.output;
  // The index was written by the test: no lookup file, nothing counted.
  struct Gauge {
    std::string name;
    int64_t value;  // < 0: at least -value
    std::string type = "gauge";
  } gauges[] = {{"stowmaster_limit_bytes", 50 * kMiB},
                {"stowmaster_used_bytes", 12 * kMiB},
                {"stowmaster_high_mark_bytes", 55 * kMiB},
                {"stowmaster_low_mark_bytes", 45 * kMiB},
                {"stowmaster_entries", 5},
                {"stowmaster_oldest_entry_age_seconds", -4 * kHour},
                {"stowmaster_refused_entries", 0},
                {"stowmaster_refused_bytes", 0},
                {"stowmaster_registrations_new_total", 0, "counter"},
                {"stowmaster_registrations_refreshed_total", 0, "counter"},
                {"stowmaster_registrations_refused_total", 0, "counter"},
                {"stowmaster_full_index_refusals_total", 0, "counter"},
                {"stowmaster_passes_total", 0, "counter"},
                {"stowmaster_pass_deleted_files_total", 0, "counter"},
                {"stowmaster_pass_deleted_bytes_total", 0, "counter"},
                {"stowmaster_emptied_files_total", 0, "counter"},
                {"stowmaster_emptied_bytes_total", 0, "counter"},
                {"stowmaster_deletions_refused_total", 0, "counter"},
                {"stowmaster_repair_dropped_total", 0, "counter"}};
  std::string label = "{cache=\"";
  for (char c : box_.cache_dir()) label += c == '\\' ? std::string("\\\\") : std::string(1, c);
  label += "\"} ";
  std::vector<std::string> lines;
  for (size_t at = 0; at < run.output.size();) {
    const size_t end = std::min(run.output.find('\n', at), run.output.size());
    lines.push_back(run.output.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(3 * (sizeof(gauges) / sizeof(gauges[0])), lines.size()) << run.output;
  for (size_t i = 0; i < lines.size() / 3; ++i) {
    const Gauge& g = gauges[i];
    EXPECT_EQ(0u, lines[3 * i].find("# HELP " + g.name + " ")) << lines[3 * i];
    EXPECT_EQ("# TYPE " + g.name + " " + g.type, lines[3 * i + 1]);
    const std::string sample = lines[3 * i + 2];
    ASSERT_EQ(0u, sample.find(g.name + label)) << sample;
    const std::string value = sample.substr(g.name.size() + label.size());
    EXPECT_EQ(std::string::npos, value.find_first_not_of("0123456789")) << sample;
    if (g.value >= 0) {
      EXPECT_EQ(std::to_string(g.value), value);
    } else {
      EXPECT_LE(-g.value, std::stoll(value));
      EXPECT_GT(-g.value + 600, std::stoll(value));
    }
  }
  ClientRun disk = Run({"metrics", "--disk"});
  ASSERT_EQ(0, disk.exit_code) << disk.output;
  EXPECT_EQ(run.output.find("# HELP stowmaster_registrations_new_total "),
            disk.output.find("# HELP stowmaster_unlisted_bytes "))
      << disk.output;
  EXPECT_NE(std::string::npos, disk.output.find("\nstowmaster_unlisted_bytes" + label + "0\n"))
      << disk.output;
}

// Every --json output starts with "schema": 1 and names its members as the
// C structs do.
TEST_F(ToolkitTest, JsonCarriesTheSchemaAndTheStructsNames) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  ASSERT_NO_FATAL_FAILURE(SeedListed({{"a", 30 * kMiB, 2 * 3600}, {"b", 30 * kMiB, 3600}}, false));
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> members;  // of the object; "entries/x": of its first entry
    std::vector<std::string> not_members;
    int exit_code = 0;
  } cases[] = {
      {{"status", "--json"},
       {"settings_file",
        "settings_found",
        "cache_dir",
        "index_path",
        "log_file",
        "log_writable",
        "precision",
        "limit_bytes",
        "high_mark_bytes",
        "low_mark_bytes",
        "min_age_seconds",
        "index_present",
        "index_formatted",
        "lists_consistent",
        "entries",
        "capacity",
        "bytes_in_use",
        "oldest_registration",
        "newest_registration",
        "evictable_files",
        "evictable_bytes",
        "now",
        "next_path",
        "next_registered",
        "refused_files",
        "refused_bytes",
        "problems",
        "counters",
        "counters/available",
        "counters/registrations_new",
        "counters/last_reset"},
       {"next_to_go", "disk_usage", "registrations_new"}},
      {{"stats", "--json"},
       {"index_path", "available", "registrations_new", "registrations_refreshed",
        "registrations_refused", "full_index_refusals", "passes", "pass_deleted_files",
        "pass_deleted_bytes", "emptied_files", "emptied_bytes", "deletions_refused",
        "repair_dropped", "counting_since", "last_reset", "now"},
       {"counters", "size"}},
      {{"config", "--json"},
       {"settings_file", "settings_found", "settings", "problems", "settings/section",
        "settings/key", "settings/value", "settings/unit", "settings/file", "settings/line",
        "settings/source"},
       {}},
      {{"list", "--json"},
       {"entries", "complete", "entries/block", "entries/path", "entries/file_size",
        "entries/registered", "entries/delay", "entries/evictable", "entries/age_seconds"},
       {"entries/size"}},
      {{"check", "--json"},
       {"index_path", "index_present", "index_formatted", "lists_consistent", "interrupted",
        "repaired", "valid_count", "free_count", "valid_bytes", "header_bytes", "header_count",
        "problem", "sound"},
       {}},
      {{"usage", "--json"}, {"root", "depth", "files", "bytes", "folders", "complete"}, {}},
      {{"shrink", "--dry-run", "--json"},
       {"dry_run", "older_than", "entries", "deleted_files", "deleted_bytes", "kept_files",
        "kept_bytes", "remaining_files", "remaining_bytes", "entries/path", "entries/file_size"},
       {}},
      {{"check", "--files", "--json"},
       {"problems", "index_path", "checked", "missing", "not_regular", "size_differs", "repaired",
        "dropped_bytes", "size_change", "agree", "complete"},
       {},
       5},  // the files are of one byte, not as listed
      {{"status", "--disk", "--json"},
       {"disk_usage", "disk_usage/folders", "disk_usage/files", "disk_usage/bytes",
        "disk_usage/unlisted_files", "disk_usage/unlisted_bytes"},
       {}},
      {{"--version", "--json"}, {"program_version", "library_version", "library_file"}, {}},
  };
  for (const Case& c : cases) {
    const std::string what = c.args[0] + " " + c.args[1];
    ClientRun run = Run(c.args);
    EXPECT_EQ(c.exit_code, run.exit_code) << what << "\n" << run.output;
    EXPECT_EQ(0u, run.output.find("{\"schema\": 1, ")) << what << "\n" << run.output;
    const nlohmann::json out = ParsedOrFail(run.output);
    if (out.is_discarded()) continue;
    auto has = [&](const std::string& member) {
      const size_t slash = member.find('/');
      if (slash == std::string::npos) return out.contains(member);
      const nlohmann::json& inner = out[member.substr(0, slash)];
      const nlohmann::json& object = inner.is_array() ? inner[0] : inner;
      return object.contains(member.substr(slash + 1));
    };
    for (const std::string& m : c.members) EXPECT_TRUE(has(m)) << what << ": " << m << "\n" << out;
    for (const std::string& m : c.not_members) EXPECT_FALSE(has(m)) << what << ": " << m;
  }
}

// The bar of `status` keeps both marks in their columns, in order, however
// full the cache is, and says when it cannot show all that is in use.
TEST_F(ToolkitTest, TheUsageBarShowsBothMarksAtAnyFill) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  struct Case {
    std::vector<int64_t> sizes;
    std::string bar;
  } cases[] = {
      {{}, "[" + std::string(26, '.') + "L.....H.......]"},
      {{30 * kMiB, 30 * kMiB}, "[" + std::string(26, '#') + "L#####H##.....]"},
      {{68 * kMiB}, "[" + std::string(26, '#') + "L#####H#######]"},
      // 8,192 % of the limit: every column full, and '>' for the rest.
      {{2048 * kMiB, 2048 * kMiB}, "[" + std::string(26, '#') + "L#####H#######>"},
  };
  for (const Case& c : cases) {
    std::vector<Listed> files;
    for (size_t i = 0; i < c.sizes.size(); ++i) files.push_back({std::to_string(i), c.sizes[i], 3600});
    ASSERT_NO_FATAL_FAILURE(SeedListed(files, false));
    ClientRun run = Run({"status"});
    EXPECT_EQ(0, run.exit_code) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("             " + c.bar + "\n")) << run.output;
  }
}

// shrink --dry-run tells what a pass would delete and deletes nothing;
// --older-than deletes by age whatever the marks, but not below the
// configured minimum age.
TEST_F(ToolkitTest, ShrinkDryRunAndOlderThan) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  ASSERT_NO_FATAL_FAILURE(
      SeedListed({{"a", 20 * kMiB, 3 * 3600}, {"b", 20 * kMiB, 2 * 3600}, {"c", 20 * kMiB, 600}}, false));
  // Below the minimum age of 5 minutes: bad usage, nothing deleted.
  ClientRun young = Run({"shrink", "--older-than", "4m"});
  EXPECT_EQ(2, young.exit_code) << young.output;
  EXPECT_NE(std::string::npos, young.output.find("stowmaster: --older-than 4m is below the minimum age of 5 min"))
      << young.output;
  EXPECT_EQ(1, CountOf(young.output, "\n")) << young.output;

  ClientRun dry = Run({"shrink", "--dry-run"});
  EXPECT_EQ(0, dry.exit_code) << dry.output;
  EXPECT_NE(std::string::npos, dry.output.find("  " + DataPath("a") + "\n")) << dry.output;
  EXPECT_EQ(std::string::npos, dry.output.find(DataPath("b"))) << dry.output;
  EXPECT_NE(std::string::npos,
            dry.output.find("would delete 1 files (20.0 MiB); 2 files (40.0 MiB) would remain\n"))
      << dry.output;
  nlohmann::json json = RunJson({"shrink", "--dry-run", "--json", "--older-than", "1h"}, 0);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), Names(json["entries"]));
  EXPECT_EQ(2, json["deleted_files"].get<int64_t>());
  EXPECT_EQ(40 * kMiB, json["deleted_bytes"].get<int64_t>());
  EXPECT_EQ(3600, json["older_than"].get<int64_t>());
  EXPECT_TRUE(PathExists(DataPath("a")));
  EXPECT_EQ(3u, RunJson({"list", "--json"}, 0)["entries"].size());

  // Below the high mark by then, a pass deletes nothing; by age it does.
  ClientRun old = Run({"shrink", "--older-than=90m"});
  EXPECT_EQ(0, old.exit_code) << old.output;
  EXPECT_NE(std::string::npos, old.output.find("deleted 2 files (40.0 MiB); 1 files (20.0 MiB) remain"))
      << old.output;
  EXPECT_FALSE(PathExists(DataPath("a")));
  EXPECT_FALSE(PathExists(DataPath("b")));
  EXPECT_TRUE(PathExists(DataPath("c")));
}

// check --files reports each entry the disk does not bear out and exits 5;
// with --repair it drops or updates them, and the next check agrees.
TEST_F(ToolkitTest, CheckFilesFindsWhatTheDiskDisagreesWith) {
  ASSERT_NO_FATAL_FAILURE(
      SeedListed({{"a", 10, 400}, {"b", 20, 300}, {"c", 30, 200}, {"d", 40, 100}}, true));
  RemoveTree(DataPath("b"));
  ASSERT_TRUE(WriteFileOfSize(DataPath("c"), 31));
  RemoveTree(DataPath("d"));
  ASSERT_TRUE(MakeDir(DataPath("d")));
  ClientRun check = Run({"check", "--files"});
  EXPECT_EQ(5, check.exit_code) << check.output;
  EXPECT_NE(std::string::npos, check.output.find(DataPath("b") + ": missing\n")) << check.output;
  EXPECT_NE(std::string::npos, check.output.find(DataPath("c") + ": listed 30 B, on disk 31 B\n"))
      << check.output;
  EXPECT_NE(std::string::npos, check.output.find(DataPath("d") + ": not a regular file\n"))
      << check.output;
  EXPECT_NE(std::string::npos,
            check.output.find("4 entries checked: 1 missing, 1 not regular files, 1 of another size"))
      << check.output;

  nlohmann::json json = RunJson({"check", "--files", "--json"}, 5);
  EXPECT_EQ(3u, json["problems"].size());
  EXPECT_EQ(1, json["missing"].get<int64_t>());
  EXPECT_FALSE(json["agree"].get<bool>());

  nlohmann::json repaired = RunJson({"check", "--files", "--repair", "--json"}, 5);
  EXPECT_EQ(3, repaired["repaired"].get<int64_t>());
  EXPECT_EQ(60, repaired["dropped_bytes"].get<int64_t>());
  EXPECT_EQ(1, repaired["size_change"].get<int64_t>());
  EXPECT_EQ(0, Run({"check", "--files"}).exit_code);
  EXPECT_EQ((std::vector<std::string>{"c", "a"}), Names(RunJson({"list", "--json"}, 0)["entries"]));
}

// adopt registers the unlisted files below a folder of the cache; status
// --disk counts what lies there unlisted.
TEST_F(ToolkitTest, AdoptAndStatusDiskSeeTheUnlistedFiles) {
  ASSERT_NO_FATAL_FAILURE(SeedListed({{"a", 10, 400}}, true));
  ASSERT_TRUE(MakeDir(DataPath("new")));
  ASSERT_TRUE(WriteFileOfSize(DataPath("new/x"), 100));
  ASSERT_TRUE(WriteFileOfSize(DataPath("new/y"), 200));
  nlohmann::json before;
  ClientRun disk = Run({"status", "--disk", "--json"});
  before = ParsedOrFail(disk.output);
  EXPECT_EQ(2, before["disk_usage"]["unlisted_files"].get<int64_t>()) << before;
  EXPECT_EQ(300, before["disk_usage"]["unlisted_bytes"].get<int64_t>()) << before;
  EXPECT_NE(std::string::npos, Run({"status", "--disk"}).output.find("Unlisted     2 files (300 B)"));

  ClientRun adopt = Run({"adopt", DataPath("new"), "--delay", "60"});
  EXPECT_EQ(0, adopt.exit_code) << adopt.output;
  EXPECT_NE(std::string::npos,
            adopt.output.find(DataPath("new") + ": 2 files found, 0 listed already, 2 adopted (300 B), 0 failed\n"))
      << adopt.output;
  nlohmann::json list = RunJson({"list", "--json", "--under", DataPath("new")}, 0);
  EXPECT_EQ(2u, list["entries"].size());
  EXPECT_EQ(60, list["entries"][0]["delay"].get<int64_t>());
  // Once more: both listed already.
  EXPECT_NE(std::string::npos, Run({"adopt", DataPath("new")}).output.find("2 listed already, 0 adopted"));
  // A folder outside the cache folders is bad usage.
  ClientRun outside = Run({"adopt", box_.log_dir()});
  EXPECT_EQ(2, outside.exit_code) << outside.output;
  // So is one spelt in a way a confined deletion refuses, with one line why.
  ClientRun doubled = Run({"adopt", box_.data_dir() + "//new"});
  EXPECT_EQ(2, doubled.exit_code) << doubled.output;
  EXPECT_NE(std::string::npos, doubled.output.find("has an empty, \".\" or \"..\" part\n"))
      << doubled.output;
}

}  // namespace
}  // namespace stow::testing_support
