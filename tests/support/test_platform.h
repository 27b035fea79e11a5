// The few system services the black-box tests and their client program need,
// on POSIX and on Win32: files and folders, child processes, clocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stow_test {

#ifdef _WIN32
constexpr char kSep = '\\';
constexpr char kExeSuffix[] = ".exe";
#else
constexpr char kSep = '/';
constexpr char kExeSuffix[] = "";
#endif

// `a` + separator + `b`.
std::string JoinPath(const std::string& a, const std::string& b);

// Folder of the running executable, without a trailing separator.
std::string ExecutableDir();

// Creates a new, empty folder under the system's temporary folder. Empty
// string on failure.
std::string MakeTempDir(const char* prefix);

// Removes a folder with everything in it (does not follow links).
void RemoveTree(const std::string& path);

bool MakeDir(const std::string& path);
bool FileExists(const std::string& path);
bool IsDir(const std::string& path);
bool CopyFileTo(const std::string& from, const std::string& to);
bool WriteFile(const std::string& path, const std::string& content);
// Creates (or replaces) a file of exactly `size` bytes; large files are
// written as a hole where the file system allows it.
bool WriteFileOfSize(const std::string& path, uint64_t size);
// Whole file in binary; false when it cannot be opened.
bool ReadFile(const std::string& path, std::string* content);
// Names (not paths) of the entries of a folder, "." and ".." left out.
std::vector<std::string> ListDir(const std::string& path);

void SleepMs(int ms);
// A monotonic clock in milliseconds.
int64_t NowMs();
// Seconds since 1970-01-01 UTC.
int64_t UnixSeconds();

// Waits until `path` exists or `timeout_ms` passes. True when it exists.
bool WaitForFile(const std::string& path, int timeout_ms);

// Makes `link` a symbolic link to `target` (which need not exist). Under
// Wine a Unix symbolic link, as another user on the same machine would make
// it (Wine shows it as a plain file); on Windows a file symbolic link (a
// reparse point). False when it cannot be made.
bool MakeSymlink(const std::string& target, const std::string& link);

// True when the process may ignore file permissions (root on POSIX; never
// on Windows).
bool IsSuperUser();

// Gives a folder write permission for everyone, or takes it away from
// everyone, so that its entries can or cannot be deleted. POSIX only: false
// on Windows, where folder permissions do not guard deletion.
bool SetFolderWritable(const std::string& path, bool writable);

#ifdef _WIN32
// Full path of a program in the system folder, e.g. "rundll32.exe".
std::string SystemProgramPath(const std::string& name);
#endif

// A child process. Its standard output and error go to one file.
class Child {
 public:
  static constexpr int kTimedOut = -1000;

  Child() = default;
  ~Child();  // kills a child still running
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts `program` with `args` (not including the program itself).
  // False when the process cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::string& output_file);

  // Waits up to `timeout_ms` for the child to end; its exit code, or
  // kTimedOut. A child killed by a signal gives 128 + the signal number.
  int Wait(int timeout_ms);

  // Ends the child at once, as a crash would (SIGKILL, TerminateProcess),
  // and reaps it.
  void Kill();

  bool running() const { return running_; }

 private:
  void Reset();
#ifdef _WIN32
  void* process_ = nullptr;
#else
  int pid_ = -1;
#endif
  bool running_ = false;
  int exit_code_ = kTimedOut;
};

}  // namespace stow_test
