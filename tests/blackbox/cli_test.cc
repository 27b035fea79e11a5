// The stowmaster program end to end: it loads the sandbox's library and
// works on the sandbox's cache, as a user's shell would run it.
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
  ClientRun RunSeparately(const std::vector<std::string>& args, std::string* error) {
    const std::string error_file = JoinPath(box_.root(), "stderr.txt");
    std::vector<std::string> line = {
        JoinPath(ExecutableDir(), std::string("stowmaster") + kExeSuffix), "--library",
        box_.library()};
    line.insert(line.end(), args.begin(), args.end());
#ifdef _WIN32
    line.insert(line.begin(), "/c");
    line.push_back("2>" + error_file);
    const char* shell = std::getenv("ComSpec");
    ClientRun run = box_.RunProgram(shell != nullptr ? shell : "C:\\windows\\system32\\cmd.exe",
                                    line, kClientTimeoutMs);
#else
    line.insert(line.begin(), {"-c", "exec \"$@\" 2>\"$0\"", error_file});
    ClientRun run = box_.RunProgram("/bin/sh", line, kClientTimeoutMs);
#endif
    error->clear();
    ReadFile(error_file, error);
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
  EXPECT_EQ(box_.Data("a"), status["next_to_go"].get<std::string>());

  nlohmann::json list = RunJson({"list", "--json", "--limit", "2"}, 0);
  ASSERT_EQ(2u, list["entries"].size());
  EXPECT_EQ(box_.Data("c"), list["entries"][0]["path"].get<std::string>());
  EXPECT_EQ(box_.Data("b"), list["entries"][1]["path"].get<std::string>());
  EXPECT_EQ(20 * kMiB, list["entries"][1]["size"].get<int64_t>());
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
  EXPECT_EQ(box_.Data("c"), after["next_to_go"].get<std::string>());
  EXPECT_NE(std::string::npos, Run({"status"}).output.find("Refused      1 files (20.0 MiB)"));
}

TEST_F(CliTest, EveryExitCodeComesFromARealSituation) {
  // 2: bad usage, and nothing is done.
  ClientRun unknown = Run({"frobnicate"});
  EXPECT_EQ(2, unknown.exit_code) << unknown.output;
  EXPECT_NE(std::string::npos, unknown.output.find("Usage: stowmaster")) << unknown.output;
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
  EXPECT_EQ(5, once["entries"][0]["size"].get<int64_t>());

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
                Exactly(out, "next_to_go"));
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

}  // namespace
}  // namespace stow::testing_support
