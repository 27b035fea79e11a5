#include "support/sandbox.h"

#include <algorithm>

#include "support/stow_library.h"

namespace stow_test {
namespace {

#ifdef _WIN32
const char kEol[] = "\r\n";
#else
const char kEol[] = "\n";
#endif

std::string WithoutCr(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

}  // namespace

int CountOf(const std::string& text, const std::string& needle) {
  if (needle.empty()) return 0;
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

std::string ClientProcess::Output() const {
  std::string text;
  ReadFile(output_file_, &text);
  return WithoutCr(text);
}

std::vector<std::string> ClientProcess::Results() const {
  std::vector<std::string> lines;
  std::string text;
  ReadFile(results_file_, &text);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos && text[pos] == '@') lines.push_back(text.substr(pos + 1, end - pos - 1));
    pos = end + 1;
  }
  return lines;
}

Sandbox::~Sandbox() {
  if (!keep_) RemoveTree(root_);
}

bool Sandbox::Create(std::string* error) {
  root_ = MakeTempDir("stowbb_");
  if (root_.empty()) {
    *error = "cannot create a temporary folder";
    return false;
  }
  const std::string lib_dir = JoinPath(root_, "lib");
  cache_dir_ = JoinPath(root_, "cache");
  log_dir_ = JoinPath(root_, "log");
  data_dir_ = JoinPath(root_, "data");
  if (!MakeDir(lib_dir) || !MakeDir(log_dir_) || !MakeDir(data_dir_)) {
    *error = "cannot create the folders under " + root_;
    return false;
  }
  const std::string built = JoinPath(ExecutableDir(), kLibraryFileName);
  library_ = JoinPath(lib_dir, kLibraryFileName);
  if (!CopyFileTo(built, library_)) {
    *error = "cannot copy " + built;
    return false;
  }
  if (!WriteSettings(SandboxSettings())) {
    *error = "cannot write the settings file";
    return false;
  }
  return true;
}

bool Sandbox::WriteSettings(const SandboxSettings& s) {
  if (!s.cache_dir.empty()) cache_dir_ = s.cache_dir;
  std::string text = std::string("[Cache]") + kEol + "CacheDir=" + cache_dir_ + kEol;
  if (!s.cache_size.empty()) text += "CacheSize=" + s.cache_size + kEol;
  if (!s.precision.empty()) text += "Precision=" + s.precision + kEol;
  if (!s.delay.empty()) text += "Delay=" + s.delay + kEol;
  text += "FileFolders=" + (s.file_folders.empty() ? data_dir_ : s.file_folders) + kEol;
  for (const std::string& line : s.cache_lines) text += line + kEol;
  text +=
      std::string("[Log]") + kEol + "LogPath=" + (s.log_dir.empty() ? log_dir_ : s.log_dir) + kEol;
  for (const std::string& line : s.log_lines) text += line + kEol;
  return WriteFile(JoinPath(JoinPath(root_, "lib"), "TESSARON.INI"), text);
}

std::string Sandbox::ReadLogs() const {
  std::vector<std::string> names = ListDir(log_dir_);
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string& name : names) {
    std::string text;
    if (ReadFile(JoinPath(log_dir_, name), &text)) all += text;
  }
  return WithoutCr(all);
}

bool Sandbox::WaitForLogCount(const std::string& needle, int count, int timeout_ms) const {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (CountOf(ReadLogs(), needle) >= count) return true;
    if (NowMs() >= deadline) return false;
    SleepMs(20);
  }
}

bool Sandbox::StartClient(const std::vector<std::string>& commands, ClientProcess* client) {
  const std::string stem = JoinPath(root_, "client" + std::to_string(++clients_started_));
  client->output_file_ = stem + ".out";
  client->results_file_ = stem + ".results";
  std::vector<std::string> args;
  args.push_back(client->results_file_);
  args.push_back(library_);
  args.insert(args.end(), commands.begin(), commands.end());
  const std::string program =
      JoinPath(ExecutableDir(), std::string("stow_test_client") + kExeSuffix);
  return client->child_.Start(program, args, client->output_file_);
}

ClientRun Sandbox::RunClient(const std::vector<std::string>& commands, int timeout_ms) {
  ClientProcess client;
  ClientRun run;
  if (!StartClient(commands, &client)) {
    run.exit_code = -1;
    return run;
  }
  run.exit_code = client.Wait(timeout_ms);
  if (run.exit_code == Child::kTimedOut) client.Kill();
  run.results = client.Results();
  run.output = client.Output();
  return run;
}

ClientRun Sandbox::RunProgram(const std::string& program, const std::vector<std::string>& args,
                              int timeout_ms) {
  ClientRun run;
  const std::string output_file =
      JoinPath(root_, "program" + std::to_string(++programs_started_) + ".out");
  Child child;
  if (!child.Start(program, args, output_file)) {
    run.exit_code = -1;
    return run;
  }
  run.exit_code = child.Wait(timeout_ms);
  if (run.exit_code == Child::kTimedOut) child.Kill();
  ReadFile(output_file, &run.output);
  run.output = WithoutCr(run.output);
  return run;
}

}  // namespace stow_test
