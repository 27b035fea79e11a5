#include "support/test_platform.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "support/windows_headers.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace stow_test {

std::string JoinPath(const std::string& a, const std::string& b) {
  if (!a.empty() && a.back() == kSep) return a + b;
  return a + kSep + b;
}

std::string ExecutableDir() {
  std::string path;
#ifdef _WIN32
  char buffer[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(NULL, buffer, sizeof(buffer));
  if (n > 0 && n < sizeof(buffer)) path.assign(buffer, n);
#else
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n > 0) path.assign(buffer, static_cast<size_t>(n));
#endif
  size_t cut = path.find_last_of(kSep);
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string MakeTempDir(const char* prefix) {
#ifdef _WIN32
  char base[MAX_PATH];
  DWORD n = GetTempPathA(sizeof(base), base);
  if (n == 0 || n >= sizeof(base)) return std::string();
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof(name), "%s%lu_%lu_%u", prefix, GetCurrentProcessId(), GetTickCount(),
                  counter++);
    std::string path = JoinPath(base, name);
    if (CreateDirectoryA(path.c_str(), NULL)) return path;
  }
  return std::string();
#else
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      JoinPath(base != nullptr && base[0] != '\0' ? base : "/tmp", std::string(prefix) + "XXXXXX");
  if (::mkdtemp(&pattern[0]) == nullptr) return std::string();
  return pattern;
#endif
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
#ifdef _WIN32
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(JoinPath(path, "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
#else
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
#endif
  return names;
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
#ifdef _WIN32
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    for (const std::string& name : ListDir(path)) RemoveTree(JoinPath(path, name));
    // A file deleted while a process that has just ended still holds it open
    // (a child's output, under Wine) lingers for a moment and keeps the
    // folder from being removed.
    for (int attempt = 0; !RemoveDirectoryA(path.c_str()) && attempt < 50; ++attempt) {
      if (GetLastError() != ERROR_DIR_NOT_EMPTY) break;
      Sleep(20);
    }
  } else {
    DeleteFileA(path.c_str());
  }
#else
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : ListDir(path)) RemoveTree(JoinPath(path, name));
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
#endif
}

bool MakeDir(const std::string& path) {
#ifdef _WIN32
  return CreateDirectoryA(path.c_str(), NULL) != 0;
#else
  return ::mkdir(path.c_str(), 0777) == 0;
#endif
}

bool FileExists(const std::string& path) {
#ifdef _WIN32
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
#endif
}

bool MakeSymlink(const std::string& target, const std::string& link) {
#ifdef _WIN32
  // Wine's own CreateSymbolicLink makes nothing (8.0): the Unix program ln
  // is run instead, which Wine starts like any other program.
  using ToUnix = char*(CDECL*)(LPCWSTR);
  using ToDos = WCHAR*(CDECL*)(LPCSTR);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto to_unix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
  const auto to_dos = reinterpret_cast<ToDos>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
  if (to_unix == nullptr || to_dos == nullptr) {
    return CreateSymbolicLinkA(link.c_str(), target.c_str(), 0) != 0;
  }
  const auto unix_name = [&](const std::string& path) {
    const std::wstring wide(path.begin(), path.end());  // ASCII test paths
    char* name = to_unix(wide.c_str());
    std::string out = name != nullptr ? name : "";
    if (name != nullptr) HeapFree(GetProcessHeap(), 0, name);
    return out;
  };
  const bool made_target = !FileExists(target) && WriteFile(target, "");
  const std::string unix_target = unix_name(target);
  const std::string unix_link = unix_name(link);
  WCHAR* ln = to_dos("/bin/ln");
  if (unix_target.empty() || unix_link.empty() || ln == nullptr) {
    if (made_target) DeleteFileA(target.c_str());
    return false;
  }
  std::string program;
  for (const WCHAR* c = ln; *c != 0; ++c) program += static_cast<char>(*c);
  HeapFree(GetProcessHeap(), 0, ln);
  std::string command = "\"" + program + "\" -s \"" + unix_target + "\" \"" + unix_link + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    if (made_target) DeleteFileA(target.c_str());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // The exit code of a Unix program does not reach a Windows parent: the
  // link counts as made once the folder lists it (a dangling one included).
  // Wine lists no dangling link, so a missing target is there until the
  // link shows.
  const size_t cut = link.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? "." : link.substr(0, cut);
  const std::string name = link.substr(cut == std::string::npos ? 0 : cut + 1);
  bool made = false;
  for (int waited = 0; waited < 10000 && !made; waited += 10) {
    for (const std::string& entry : ListDir(folder)) made = made || entry == name;
    if (!made) Sleep(10);
  }
  if (made_target) DeleteFileA(target.c_str());
  return made;
#else
  return ::symlink(target.c_str(), link.c_str()) == 0;
#endif
}

bool IsDir(const std::string& path) {
#ifdef _WIN32
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

bool ReadFile(const std::string& path, std::string* content) {
  content->clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) content->append(buffer, n);
  std::fclose(f);
  return true;
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  return std::fclose(f) == 0 && ok;
}

bool WriteFileOfSize(const std::string& path, uint64_t size) {
  if (size > 0x7FFFFFFFull) return false;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = true;
  if (size > 0) {
    ok = std::fseek(f, static_cast<long>(size - 1), SEEK_SET) == 0 && std::fputc('x', f) != EOF;
  }
  return std::fclose(f) == 0 && ok;
}

bool CopyFileTo(const std::string& from, const std::string& to) {
  std::string content;
  return ReadFile(from, &content) && WriteFile(to, content);
}

void SleepMs(int ms) {
#ifdef _WIN32
  Sleep(static_cast<DWORD>(ms));
#else
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0) {
  }
#endif
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t UnixSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

bool WaitForFile(const std::string& path, int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (FileExists(path)) return true;
    if (NowMs() >= deadline) return false;
    SleepMs(5);
  }
}

#ifdef _WIN32

bool IsSuperUser() { return false; }

bool SetFolderWritable(const std::string&, bool) { return false; }

std::string SystemProgramPath(const std::string& name) {
  char folder[MAX_PATH];
  const UINT n = GetSystemDirectoryA(folder, sizeof(folder));
  if (n == 0 || n >= sizeof(folder)) return std::string();
  return JoinPath(std::string(folder, n), name);
}

#else

bool IsSuperUser() { return ::geteuid() == 0; }

bool SetFolderWritable(const std::string& path, bool writable) {
  return ::chmod(path.c_str(), writable ? 0777 : 0555) == 0;
}

#endif

// ---------------------------------------------------------------- Child ---

Child::~Child() {
  if (running_) Kill();
  Reset();
}

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (running_) Kill();
    Reset();
#ifdef _WIN32
    process_ = other.process_;
    other.process_ = nullptr;
#else
    pid_ = other.pid_;
    other.pid_ = -1;
#endif
    running_ = other.running_;
    exit_code_ = other.exit_code_;
    other.running_ = false;
  }
  return *this;
}

#ifdef _WIN32

namespace {

// Quotes one argument so that the child's C runtime splits it back out.
void AppendQuoted(std::string* line, const std::string& arg) {
  if (!line->empty()) line->push_back(' ');
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    line->append(arg);
    return;
  }
  line->push_back('"');
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    line->append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, '\\');
  line->push_back('"');
}

}  // namespace

void Child::Reset() {
  if (process_ != nullptr) CloseHandle(static_cast<HANDLE>(process_));
  process_ = nullptr;
  running_ = false;
}

bool Child::Start(const std::string& program, const std::vector<std::string>& args,
                  const std::string& output_file) {
  if (running_) Kill();
  Reset();
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  HANDLE out = CreateFileA(output_file.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) return false;
  std::string line;
  AppendQuoted(&line, program);
  for (const std::string& arg : args) AppendQuoted(&line, arg);
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = NULL;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi = {};
  BOOL ok = CreateProcessA(program.c_str(), &line[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
  CloseHandle(out);
  if (!ok) return false;
  CloseHandle(pi.hThread);
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
  exit_code_ = static_cast<int>(code);
  running_ = false;
  return exit_code_;
}

void Child::Kill() {
  if (!running_) return;
  HANDLE h = static_cast<HANDLE>(process_);
  TerminateProcess(h, 137);
  WaitForSingleObject(h, INFINITE);
  running_ = false;
  exit_code_ = 137;
}

#else  // POSIX

void Child::Reset() {
  pid_ = -1;
  running_ = false;
}

bool Child::Start(const std::string& program, const std::vector<std::string>& args,
                  const std::string& output_file) {
  if (running_) Kill();
  Reset();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int err = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return false;
  pid_ = pid;
  running_ = true;
  exit_code_ = kTimedOut;
  return true;
}

int Child::Wait(int timeout_ms) {
  if (!running_) return exit_code_;
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      running_ = false;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_code_;
    }
    if (r < 0) {
      running_ = false;
      exit_code_ = -1;
      return exit_code_;
    }
    if (NowMs() >= deadline) return kTimedOut;
    SleepMs(2);
  }
}

void Child::Kill() {
  if (!running_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  running_ = false;
  exit_code_ = 128 + SIGKILL;
}

#endif

}  // namespace stow_test
