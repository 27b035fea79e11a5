// A private installation of the built library for one test: a temporary
// folder holding lib/ (the library and its TESSARON.INI), cache/, log/ and
// data/ (files for clients to register), and the means to run client
// processes against it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_platform.h"

namespace stow_test {

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
  std::string log_dir;     // empty: <root>/log
  // Further lines, as they are, at the end of the "Cache" and "Log" sections.
  std::vector<std::string> cache_lines;
  std::vector<std::string> log_lines;
};

// A client process of stow_test_client: its result lines go to a file of
// their own, and whatever it prints to a second file.
class ClientProcess {
 public:
  int Wait(int timeout_ms) { return child_.Wait(timeout_ms); }
  void Kill() { child_.Kill(); }
  bool running() const { return child_.running(); }
  std::string Output() const;
  // The client's result lines without their '@', e.g. "add 1".
  std::vector<std::string> Results() const;

 private:
  friend class Sandbox;
  Child child_;
  std::string output_file_;
  std::string results_file_;
};

struct ClientRun {
  int exit_code;  // Child::kTimedOut when the client was killed for taking too long
  std::vector<std::string> results;
  std::string output;
};

class Sandbox {
 public:
  Sandbox() = default;
  ~Sandbox();  // removes the folder unless Keep() was called
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Creates the folders, copies the built library (found beside the running
  // executable) and writes default settings. False with a reason on failure.
  bool Create(std::string* error);
  bool WriteSettings(const SandboxSettings& settings);
  void Keep() { keep_ = true; }

  const std::string& root() const { return root_; }
  const std::string& library() const { return library_; }
  const std::string& cache_dir() const { return cache_dir_; }
  const std::string& log_dir() const { return log_dir_; }
  const std::string& data_dir() const { return data_dir_; }
  std::string index_path() const { return JoinPath(cache_dir_, "Index.Dat"); }
  std::string Data(const std::string& name) const { return JoinPath(data_dir_, name); }
  std::string Marker(const std::string& name) const { return JoinPath(root_, name + ".marker"); }

  // Every log file of the log folder, in name order, with CR removed.
  std::string ReadLogs() const;
  // Waits until the logs hold `needle` at least `count` times or
  // `timeout_ms` passes. True when they do.
  bool WaitForLogCount(const std::string& needle, int count, int timeout_ms) const;

  // Starts `stow_test_client <library> <commands...>`.
  bool StartClient(const std::vector<std::string>& commands, ClientProcess* client);
  // Runs a client to its end; one that outlives `timeout_ms` is killed.
  ClientRun RunClient(const std::vector<std::string>& commands, int timeout_ms);
  // Runs any program to its end the same way (`results` stays empty).
  ClientRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                       int timeout_ms);

 private:
  std::string root_, library_, cache_dir_, log_dir_, data_dir_;
  int clients_started_ = 0;
  int programs_started_ = 0;
  bool keep_ = false;
};

// Counts the non-overlapping occurrences of `needle` in `text`.
int CountOf(const std::string& text, const std::string& needle);

// Size of the i-th file the client's "addmany" command creates.
inline uint32_t ManyFileSize(int i) { return 1 + static_cast<uint32_t>((i * 37) % 1000); }
// Path of the i-th file of "addmany PREFIX N".
inline std::string ManyFileName(const std::string& prefix, int i) {
  return prefix + std::to_string(i);
}

}  // namespace stow_test
