// The fixture of every black-box test: a private installation of the built
// library in a fresh temporary folder (lib/ holding the library and its
// TESSARON.INI, cache/, log/, and data/ for the files clients register), the
// means to run client processes against it, and the folder kept on disk when
// the test fails so that its logs and index can be looked at.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "index_image.h"
#include "test_platform.h"

namespace stow {
namespace testing_support {

// Longest time any single client may take; under Wine a process alone takes
// up to a second to start.
constexpr int kClientTimeoutMs = 20000;

// File name of the library in the build's output folder.
#ifdef _WIN32
constexpr char kLibraryFileName[] = "stowmaster.dll";
#else
constexpr char kLibraryFileName[] = "libstowmaster.so";
#endif

using Lines = std::vector<std::string>;

// Counts the non-overlapping occurrences of `needle` in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); !needle.empty() && at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// A file's text with CR removed; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
  std::string text = ReadWholeFile(path);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// Settings written to TESSARON.INI. An empty value leaves the key out, so
// the library's default applies.
struct SandboxSettings {
  std::string cache_size;  // MiB
  std::string precision;   // percent
  std::string delay;       // minutes
  std::string cache_dir;   // empty: <root>/cache
  // Folders a privileged client may delete in besides the cache folder;
  // empty: <root>/data, where the tests put the files they register.
  std::string file_folders;
  std::string log_dir;  // empty: <root>/log
  // Further lines, as they are, at the end of the "Cache" and "Log" sections.
  std::vector<std::string> cache_lines;
  std::vector<std::string> log_lines;
};

// A process of stow_test_client: its result lines go to a file of their own,
// whatever it prints to a second file. One that does not end when killed is
// a test failure.
class ClientProcess {
 public:
  ~ClientProcess() { Kill(); }
  int Wait(int timeout_ms) { return child_.Wait(timeout_ms); }
  void Kill() { EXPECT_TRUE(child_.Kill()) << "a killed child does not end: " << output_file_; }
  bool running() const { return child_.running(); }
  std::string Output() const { return ReadText(output_file_); }
  // The client's result lines without their '@', e.g. "add 1".
  std::vector<std::string> Results() const {
    std::vector<std::string> lines;
    const std::string text = ReadWholeFile(results_file_);
    for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
      end = std::min(text.find('\n', pos), text.size());
      if (end > pos && text[pos] == '@') lines.push_back(text.substr(pos + 1, end - pos - 1));
    }
    return lines;
  }

 private:
  friend class Sandbox;
  Child child_;
  std::string output_file_, results_file_;
};

struct ClientRun {
  int exit_code;  // Child::kTimedOut when the client was killed for taking too long
  std::vector<std::string> results;
  std::string output;
};

class Sandbox {
 public:
  // Creates the folders, copies the built library (found beside the running
  // executable) and writes default settings. False with a reason on failure.
  bool Create(std::string* error) {
    cache_dir_ = root_.Sub("cache");
    library_ = JoinPath(root_.Sub("lib"), kLibraryFileName);
    const std::string built = JoinPath(ExecutableDir(), kLibraryFileName);
    std::error_code ec;
    if (root().empty() || !MakeDir(root_.Sub("lib")) || !MakeDir(log_dir()) ||
        !MakeDir(data_dir())) {
      *error = "cannot create the folders under " + root();
    } else if (!fs::copy_file(FsPath(built), FsPath(library_), ec)) {
      *error = "cannot copy " + built;
    } else if (!WriteSettings(SandboxSettings())) {
      *error = "cannot write the settings file";
    }
    return error->empty();
  }
  bool WriteSettings(const SandboxSettings& s) {
    if (!s.cache_dir.empty()) cache_dir_ = s.cache_dir;
    std::string text = "[Cache]\nCacheDir=" + cache_dir_ + "\n";
    if (!s.cache_size.empty()) text += "CacheSize=" + s.cache_size + "\n";
    if (!s.precision.empty()) text += "Precision=" + s.precision + "\n";
    if (!s.delay.empty()) text += "Delay=" + s.delay + "\n";
    text += "FileFolders=" + (s.file_folders.empty() ? data_dir() : s.file_folders) + "\n";
    for (const std::string& line : s.cache_lines) text += line + "\n";
    text += "[Log]\nLogPath=" + (s.log_dir.empty() ? log_dir() : s.log_dir) + "\n";
    for (const std::string& line : s.log_lines) text += line + "\n";
    // Line ends as a Windows editor writes them there.
    return WriteWholeFile(JoinPath(root_.Sub("lib"), "TESSARON.INI"), TextModeBytes(text));
  }
  void Keep() { root_.Keep(); }

  const std::string& root() const { return root_.path(); }
  const std::string& library() const { return library_; }
  const std::string& cache_dir() const { return cache_dir_; }
  std::string log_dir() const { return root_.Sub("log"); }
  std::string data_dir() const { return root_.Sub("data"); }
  std::string index_path() const { return JoinPath(cache_dir_, "Index.Dat"); }
  std::string Data(const std::string& name) const { return JoinPath(data_dir(), name); }
  std::string Marker(const std::string& name) const { return root_.Sub(name + ".marker"); }

  // Every log file of the log folder, in name order, with CR removed.
  std::string ReadLogs() const {
    std::vector<std::string> names = ListDir(log_dir());
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& name : names) all += ReadText(JoinPath(log_dir(), name));
    return all;
  }
  // Waits until the logs hold `needle` at least `count` times or
  // `timeout_ms` passes. True when they do.
  bool WaitForLogCount(const std::string& needle, int count, int timeout_ms) const {
    for (const int64_t deadline = NowMs() + timeout_ms; CountOf(ReadLogs(), needle) < count;) {
      if (NowMs() >= deadline) return false;
      SleepMs(20);
    }
    return true;
  }

  // Starts `stow_test_client <results file> <library> <commands...>`.
  bool StartClient(const std::vector<std::string>& commands, ClientProcess* client) {
    client->results_file_ = root_.Sub("client" + std::to_string(++started_) + ".results");
    std::vector<std::string> args{client->results_file_, library_};
    args.insert(args.end(), commands.begin(), commands.end());
    return Start(JoinPath(ExecutableDir(), std::string("stow_test_client") + kExeSuffix), args,
                 client);
  }
  // Runs a client to its end; one that outlives `timeout_ms` is killed.
  ClientRun RunClient(const std::vector<std::string>& commands, int timeout_ms) {
    ClientProcess client;
    return Finish(StartClient(commands, &client), &client, timeout_ms);
  }
  // Runs any program to its end the same way (`results` stays empty).
  ClientRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                       int timeout_ms) {
    ClientProcess child;
    return Finish(Start(program, args, &child), &child, timeout_ms);
  }

 private:
  bool Start(const std::string& program, const std::vector<std::string>& args,
             ClientProcess* child) {
    child->output_file_ = root_.Sub("child" + std::to_string(++started_) + ".out");
    return child->child_.Start(program, args, child->output_file_);
  }
  static ClientRun Finish(bool started, ClientProcess* child, int timeout_ms) {
    if (!started) return ClientRun{-1, {}, "not started: " + child->child_.start_error()};
    const int exit_code = child->Wait(timeout_ms);
    child->Kill();
    return ClientRun{exit_code, child->Results(), child->Output()};
  }

  TempDir root_;
  std::string library_, cache_dir_;
  int started_ = 0;
};

class BlackBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(box_.Create(&error)) << error;
  }
  void TearDown() override {
    if (!HasFailure()) return;
    box_.Keep();
    std::printf("sandbox kept for inspection: %s\n", box_.root().c_str());
  }

  // A 50 MiB cache with 10 % precision (high mark 55 MiB, low mark 45 MiB)
  // and a 5-minute minimum age, its folder created: a few files of some MiB
  // take it over its high mark.
  void UseSmallCache() {
    SandboxSettings settings;
    settings.cache_size = "50";
    settings.precision = "10";
    settings.delay = "5";
    ASSERT_TRUE(box_.WriteSettings(settings));
    ASSERT_TRUE(MakeDir(box_.cache_dir()));
  }

  // The index as it is on disk now; a test failure when it cannot be read.
  IndexImage LoadIndex() {
    IndexImage image;
    EXPECT_TRUE(image.Load(box_.index_path())) << box_.index_path();
    return image;
  }

  Sandbox box_;
};

// Gtest-printable result of a list check.
inline ::testing::AssertionResult ListsConsistent(const IndexImage& image) {
  const std::string problem = image.CheckLists();
  if (problem.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << problem;
}

// True when a client of this test run deletes only below its folders (the
// cache folder and FileFolders): it runs as root on Linux.
inline bool ClientsConfined() { return IsSuperUser(); }

// The log line of a listed path that a confined client keeps.
inline std::string RefusedOutsideLine(const std::string& path) {
  return "Msg:  Delete File Refused (outside the cache folders): " + path + ".\n";
}

}  // namespace testing_support
}  // namespace stow
