#include "test_platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <cstring>

namespace stow {
namespace testing_support {

void RemoveTree(const std::string& path) {
  // Under Wine a file deleted while a process that has just ended still
  // holds it open lingers for a moment and keeps its folder from going.
  std::error_code ec;
  for (int attempt = 0; !path.empty() && attempt < 50; ++attempt, SleepMs(20)) {
    fs::remove_all(FsPath(path), ec);
    if (!fs::exists(fs::symlink_status(FsPath(path), ec))) return;
  }
}

#ifdef _WIN32

fs::path FsPath(const std::string& path) {
  std::wstring wide(path.size(), L'\0');
  wide.resize(MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), &wide[0],
                                  static_cast<int>(wide.size())));
  return fs::path(wide);
}

std::string PathText(const fs::path& path) {
  const std::wstring& wide = path.native();
  std::string text(wide.size() * 2, '\0');
  text.resize(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &text[0],
                                  static_cast<int>(text.size()), NULL, NULL));
  return text;
}

std::string ExecutableDir() {
  wchar_t buffer[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(NULL, buffer, MAX_PATH * 2);
  return PathText(fs::path(std::wstring(buffer, n)).parent_path());
}

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

void SetEnvironment(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

bool MakeSymlink(const std::string& target, const std::string& link) {
  // Wine's own CreateSymbolicLink makes nothing (8.0): the Unix program ln
  // is run instead, which Wine starts like any other program.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto to_unix = reinterpret_cast<char*(CDECL*)(LPCWSTR)>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
  const auto to_dos = reinterpret_cast<WCHAR*(CDECL*)(LPCSTR)>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
  if (to_unix == nullptr || to_dos == nullptr) {
    std::error_code ec;
    fs::create_symlink(FsPath(target), FsPath(link), ec);
    return !ec;
  }
  const auto unix_name = [&](const std::string& path) {
    char* name = to_unix(FsPath(path).c_str());
    const std::string out = name != nullptr ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return out;
  };
  WCHAR* ln = to_dos("/bin/ln");
  const std::string program = ln != nullptr ? PathText(fs::path(ln)) : "";
  HeapFree(GetProcessHeap(), 0, ln);
  // Wine lists no dangling link: a missing target is there until the link
  // shows. The exit code of a Unix program does not reach a Windows parent
  // (nor is its handle waited for): the link counts as made once it is there.
  const bool made_target = !PathExists(target) && WriteWholeFile(target, "");
  const std::string unix_target = unix_name(target), unix_link = unix_name(link);
  std::string command = "\"" + program + "\" -s \"" + unix_target + "\" \"" + unix_link + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  bool made =
      !program.empty() && !unix_target.empty() && !unix_link.empty() &&
      CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
  if (made) CloseHandle(process.hThread), CloseHandle(process.hProcess);
  for (int waited = 0; made && !PathExists(link) && waited < 10000; waited += 10) SleepMs(10);
  made = made && PathExists(link);
  if (made_target) fs::remove(FsPath(target), NoThrow());
  return made;
}

bool IsSuperUser() { return false; }

bool ThisBootId(uint8_t out[16]) {
  std::memset(out, 0, 16);
  const int64_t up = static_cast<int64_t>(GetTickCount64() / 1000);
  const int64_t started = (static_cast<int64_t>(std::time(nullptr)) - up + 30) / 60;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(started >> (8 * i));
  out[8] = 'W';
  return true;
}

bool SetFolderWritable(const std::string&, bool) { return false; }

std::string SystemProgramPath(const std::string& name) {
  wchar_t folder[MAX_PATH];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  return JoinPath(PathText(fs::path(std::wstring(folder, n))), name);
}

// Quotes one argument so that the child's C runtime splits it back out:
// backslashes before a quote, the closing one included, are doubled and the
// quote escaped. An argument without blanks or quotes goes as it is, so that
// cmd.exe still sees a redirection such as "2>file" as one.
static std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  for (size_t i = 0, n = 0;; ++i, n = 0) {
    for (; i < arg.size() && arg[i] == '\\'; ++i) ++n;
    if (i == arg.size()) return out.append(n * 2, '\\') + "\"";
    out.append(arg[i] == '"' ? n * 2 + 1 : n, '\\').push_back(arg[i]);
  }
}

bool Child::Start(const std::string& program, const std::vector<std::string>& args,
                  const std::string& output_file) {
  if (running_ && !Kill()) return false;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  HANDLE out = CreateFileA(output_file.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) {
    start_error_ = "CreateFileA " + output_file + ": error " + std::to_string(GetLastError());
    return false;
  }
  std::string line = Quoted(program);
  for (const std::string& arg : args) line += " " + Quoted(arg);
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi = {};
  const BOOL ok =
      CreateProcessA(program.c_str(), &line[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
  const DWORD start_code = GetLastError();
  CloseHandle(out);
  if (!ok) {
    start_error_ = "CreateProcessA " + program + ": error " + std::to_string(start_code);
    return false;
  }
  CloseHandle(pi.hThread);
  if (process_ != nullptr) CloseHandle(static_cast<HANDLE>(process_));
  process_ = pi.hProcess;
  running_ = true;
  exit_code_ = kTimedOut;
  return true;
}

int Child::Wait(int timeout_ms) {
  if (!running_) return exit_code_;
  HANDLE h = static_cast<HANDLE>(process_);
  if (WaitForSingleObject(h, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return kTimedOut;
  DWORD code = 0;
  GetExitCodeProcess(h, &code);
  running_ = false;
  return exit_code_ = static_cast<int>(code);
}

bool Child::Kill() {
  if (running_) TerminateProcess(static_cast<HANDLE>(process_), 137);
  if (running_ && Wait(kKillWaitMs) == kTimedOut) return false;
  if (process_ != nullptr) CloseHandle(static_cast<HANDLE>(process_));
  process_ = nullptr;
  return true;
}

#else  // POSIX

fs::path FsPath(const std::string& path) { return fs::path(path); }

std::string PathText(const fs::path& path) { return path.native(); }

std::string ExecutableDir() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).parent_path().native();
}

void SleepMs(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

void SetEnvironment(const char* name, const std::string& value) {
  ::setenv(name, value.c_str(), 1);
}

bool MakeSymlink(const std::string& target, const std::string& link) {
  std::error_code ec;
  fs::create_symlink(target, link, ec);
  return !ec;
}

bool IsSuperUser() { return ::geteuid() == 0; }

bool ThisBootId(uint8_t out[16]) {
  std::memset(out, 0, 16);
  const std::string text = ReadWholeFile("/proc/sys/kernel/random/boot_id");
  size_t digits = 0;
  for (size_t i = 0; i < text.size() && digits < 32; ++i) {
    const char c = text[i];
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      continue;
    }
    out[digits / 2] = static_cast<uint8_t>(out[digits / 2] | (v << (digits % 2 ? 0 : 4)));
    ++digits;
  }
  return digits == 32;
}

bool SetFolderWritable(const std::string& path, bool writable) {
  return ::chmod(path.c_str(), writable ? 0777 : 0555) == 0;
}

std::string SystemProgramPath(const std::string&) { return std::string(); }

bool Child::Start(const std::string& program, const std::vector<std::string>& args,
                  const std::string& output_file) {
  if (running_ && !Kill()) return false;
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int err = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  running_ = err == 0;
  exit_code_ = kTimedOut;
  if (!running_) start_error_ = "posix_spawn " + program + ": " + std::strerror(err);
  return running_;
}

int Child::Wait(int timeout_ms) {
  for (const int64_t deadline = NowMs() + timeout_ms; running_; SleepMs(2)) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r != 0) {
      running_ = false;
      exit_code_ = r < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (NowMs() >= deadline) {
      return kTimedOut;
    }
  }
  return exit_code_;
}

bool Child::Kill() {
  if (running_) ::kill(pid_, SIGKILL);
  return !running_ || Wait(kKillWaitMs) != kTimedOut;
}

#endif

}  // namespace testing_support
}  // namespace stow
