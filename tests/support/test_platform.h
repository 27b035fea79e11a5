// What every test program shares, on POSIX and on Win32: files and folders
// (through std::filesystem), one temporary folder per test, clocks, child
// processes and privileges.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace stow {
namespace testing_support {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr char kExeSuffix[] = ".exe";
#else
constexpr char kExeSuffix[] = "";
#endif

// A test path as the library's narrow entry points read it (ANSI code page
// text on Windows, bytes elsewhere) and back: MinGW's std::filesystem would
// convert a narrow string through the C locale instead.
fs::path FsPath(const std::string& path);
std::string PathText(const fs::path& path);

// An error code to drop: the file helpers report failure by their result.
struct NoThrow {
  std::error_code ec;
  operator std::error_code&() { return ec; }
};
inline std::string JoinPath(const std::string& a, const std::string& b) {
  return PathText(FsPath(a) / FsPath(b));
}
inline bool MakeDir(const std::string& path) {
  return fs::create_directory(FsPath(path), NoThrow());
}
inline bool PathExists(const std::string& path) { return fs::exists(FsPath(path), NoThrow()); }
inline bool IsDir(const std::string& path) { return fs::is_directory(FsPath(path), NoThrow()); }
// Removes a folder with everything in it, links not followed.
void RemoveTree(const std::string& path);
inline bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  return out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && out.flush();
}
// A file of exactly `size` bytes, as a hole where the file system allows.
inline bool WriteFileOfSize(const std::string& path, uint64_t size) {
  std::error_code ec;
  return WriteWholeFile(path, "") && (fs::resize_file(FsPath(path), size, ec), !ec);
}
// What a file written in text mode holds: CR LF line ends on Windows.
inline std::string TextModeBytes(std::string text) {
#ifdef _WIN32
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
    text.insert(at, "\r");
#endif
  return text;
}
// Whole file in binary; false when it cannot be opened.
inline bool ReadFile(const std::string& path, std::string* content) {
  std::ifstream in(FsPath(path), std::ios::binary);
  content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.is_open();
}
inline std::string ReadWholeFile(const std::string& path) {
  std::string content;
  return ReadFile(path, &content), content;
}
inline std::vector<std::string> ListDir(const std::string& path) {  // entry names
  std::vector<std::string> names;
  for (fs::directory_iterator it(FsPath(path), NoThrow()), end; it != end;
       it.increment(NoThrow())) {
    names.push_back(PathText(it->path().filename()));
  }
  return names;
}

std::string ExecutableDir();  // folder of the running program

void SleepMs(int ms);
inline int64_t NowMs() {  // monotonic
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
inline int64_t UnixSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

// Waits until `path` exists or `timeout_ms` passes. True when it exists.
inline bool WaitForFile(const std::string& path, int timeout_ms) {
  for (const int64_t deadline = NowMs() + timeout_ms; !PathExists(path); SleepMs(5)) {
    if (NowMs() >= deadline) return false;
  }
  return true;
}

// A new, empty folder under the system's temporary folder, removed with
// everything in it when this ends unless Keep() was called. path() is empty
// when none could be made.
class TempDir {
 public:
  TempDir() {
    std::mt19937_64 random(std::random_device{}() + static_cast<uint64_t>(NowMs()));
    const std::string base = PathText(fs::temp_directory_path(NoThrow()));
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::string candidate = JoinPath(base, "stow_" + std::to_string(random() % 1000000000));
      if (MakeDir(candidate)) path_ = candidate;
    }
  }
  ~TempDir() {
    if (!keep_) RemoveTree(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  void Keep() { keep_ = true; }
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return JoinPath(path_, name); }

 private:
  std::string path_;
  bool keep_ = false;
};

// Sets a variable of this process's environment, which children inherit.
void SetEnvironment(const char* name, const std::string& value);

// Makes `link` a symbolic link to `target` (which need not exist): under
// Wine a Unix link, as another user of the machine would make it (Wine
// shows it as a plain file). False when it cannot be made.
bool MakeSymlink(const std::string& target, const std::string& link);

// This start of the machine as the library identifies it (16 bytes): on
// Linux the kernel's boot id, on Windows the start time rounded to the
// minute. False when it cannot be read.
bool ThisBootId(uint8_t out[16]);

// True when the process may ignore file permissions (root on POSIX; never
// on Windows).
bool IsSuperUser();

// Gives a folder write permission for everyone, or takes it away, so that
// its entries can or cannot be deleted. POSIX only: false on Windows, where
// folder permissions do not guard deletion.
bool SetFolderWritable(const std::string& path, bool writable);

// Full path of a program in the system folder, e.g. "rundll32.exe" (Windows).
std::string SystemProgramPath(const std::string& name);

// Size and path of the i-th file of the test client's "addmany PREFIX N".
inline uint32_t ManyFileSize(int i) { return 1 + static_cast<uint32_t>((i * 37) % 1000); }
inline std::string ManyFileName(const std::string& prefix, int i) {
  return prefix + std::to_string(i);
}

// A child process, its standard output and error going to one file. Every
// wait is bounded.
class Child {
 public:
  static constexpr int kTimedOut = -1000;
  static constexpr int kKillWaitMs = 10000;  // for a killed child to end

  Child() = default;
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts `program` with `args`; false when it cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::string& output_file);
  // Waits up to `timeout_ms` for the child to end: its exit code (128 + the
  // signal number for one killed by a signal), or kTimedOut.
  int Wait(int timeout_ms);
  // Ends the child at once, as a crash would, and waits up to kKillWaitMs
  // for it. False when it was still running then.
  bool Kill();
  bool running() const { return running_; }
  // Why the last Start failed: the call and the system's code.
  const std::string& start_error() const { return start_error_; }

 private:
#ifdef _WIN32
  void* process_ = nullptr;
#else
  int pid_ = -1;
#endif
  bool running_ = false;
  int exit_code_ = kTimedOut;
  std::string start_error_;
};

}  // namespace testing_support
}  // namespace stow
