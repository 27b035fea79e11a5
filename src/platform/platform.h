// The system layer under the portable core.
//
// The core says what it needs (map this file, take this lock, delete this
// file); the files under posix/ and win32/ say how. Exactly one of the two is
// compiled into a build. Nothing outside platform/ includes a system header.
//
// Conventions for every function here:
//  - Paths are narrow, NUL-terminated text in the platform's narrow encoding
//    (the ANSI code page on Windows, UTF-8 elsewhere).
//  - Functions documented as throwing throw OsError with the system's code of
//    the call that failed; all others report failure through their result and
//    never throw.
//  - Unless a comment says otherwise a function is safe to call from several
//    threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/os_error.h"

namespace stow {
namespace platform {

#ifdef _WIN32
constexpr char kSeparator = '\\';
constexpr uint32_t kErrorInvalidName = 123;  // ERROR_INVALID_NAME
constexpr uint32_t kErrorNameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
#else
constexpr char kSeparator = '/';
constexpr uint32_t kErrorInvalidName = 22;  // EINVAL
constexpr uint32_t kErrorNameTooLong = 36;  // ENAMETOOLONG
#endif

// ---------------------------------------------------------------- clock ---

// Calendar time of the system clock in whole seconds since 1970-01-01 UTC.
int64_t NowSeconds();

struct LocalTime {
  int year;    // four digits
  int month;   // 1..12
  int day;     // 1..31
  int hour;    // 0..23
  int minute;  // 0..59
  int second;  // 0..60
};

// Breaks a calendar time into the local time zone's fields.
LocalTime ToLocalTime(int64_t seconds);

// Suspends the calling thread for about `ms` milliseconds.
void SleepMs(int64_t ms);

// ------------------------------------------------------- module, settings ---

// Full path of the file the library was loaded from (the DLL or the shared
// object; in a program that links the core statically, the program). False
// when the system cannot tell.
bool ModuleFilePath(std::string* out);

// Reads `key` of `section` from the INI file at `file` with the lookup rules
// of the Windows profile functions: section and key names compared without
// regard to case, the first matching section and key counting, blanks around
// the value dropped, one pair of enclosing quotes removed. Gives `fallback`
// when the file, section or key is missing. The result is cut to
// `size` - 1 bytes, as a buffer of `size` bytes would hold it.
std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                              const char* fallback, size_t size);

// Converts UTF-16 text to the narrow encoding. A code unit that has no narrow
// form becomes the platform's default character ('?'). False when the result
// does not fit in `out_size` bytes including the terminator; `out` then holds
// an empty string.
bool WideToNarrow(const char16_t* text, char* out, size_t out_size);

// ----------------------------------------------------------- file system ---

// True when `path` is absolute (kept exactly as written). Otherwise stores in
// `out` the path made absolute against the current working folder and
// returns false; a failure to read the working folder leaves `out` empty.
bool IsAbsolutePath(const char* path, std::string* out);

// Reads the status of a file or folder. False when it cannot be found.
bool GetFileSize(const char* path, uint64_t* size);

// True when `path` names an existing folder.
bool IsDirectory(const char* path);

// Creates one folder with default permissions. Returns 0 on success, else the
// system's error code.
uint32_t CreateDirectory(const char* path);

enum class DeleteResult {
  kDeleted,  // the file is gone now
  kRefused,  // access denied, sharing or lock violation: the file stays
  kFailed,   // any other failure (missing file, bad path, ...)
};

// Deletes one file; `error` receives the system's code of a failure.
DeleteResult DeleteFile(const char* path, uint32_t* error);

// True when a search of `folder` finds an entry other than "." and "..".
// A folder that cannot be searched has no entries.
bool FolderHasEntries(const char* folder);

// Clears a folder's attributes so that it can be removed (read-only folders
// included). True on success; a no-op that succeeds where folders carry no
// such attributes.
bool SetNormalAttributes(const char* folder);

// Removes an empty folder. True on success.
bool RemoveDirectory(const char* folder);

// Appends `size` bytes to the file at `path`, creating it when missing, as
// one unit with respect to other processes appending to the same file: no
// two appends overwrite or interleave with each other. The bytes are written
// as they are (no line-end translation). False when the file cannot be
// opened or written.
bool AppendToFile(const char* path, const char* data, size_t size);

// ------------------------------------------------------ shared index file ---

// A file mapped into memory so that every process that maps the same file
// sees every change at once.
class SharedFile {
 public:
  virtual ~SharedFile() = default;  // unmaps and closes

  // Opens `path` for reading and writing, creating it (readable and writable
  // by every user) when missing, and maps its first `size` bytes; a shorter
  // file is grown to `size` first, a longer one keeps its length. On Windows
  // the mapping carries `mapping_name`. Refuses anything but a regular file.
  // Throws OsError.
  static std::unique_ptr<SharedFile> Open(const std::string& path, const std::string& mapping_name,
                                          size_t size);

  virtual uint8_t* data() = 0;
  virtual size_t size() const = 0;

  // Asks the system to write the whole mapped view to the file. Does not
  // block other users of the mapping. False when the system refuses.
  virtual bool Flush() = 0;
};

// The machine-wide lock that guards one index. Excludes every other holder:
// threads of this process as well as other processes, of any user. A holder
// that dies releases it. Shared by all processes that open it for the same
// index file.
class NamedMutex {
 public:
  virtual ~NamedMutex() = default;

  // `name` is the kernel object name (used on Windows); `index_path` is the
  // index file, created when missing (the POSIX lock lives on it). Throws
  // OsError.
  static std::unique_ptr<NamedMutex> Open(const std::string& name, const std::string& index_path);

  enum class LockResult {
    kAcquired,   // taken normally
    kAbandoned,  // taken from a holder that died holding it (Windows)
  };

  // Blocks without time limit until the lock is held by the calling thread.
  // Not reentrant: a thread that holds it must not call Lock again. Throws
  // OsError when the wait itself fails (the lock is not held then).
  virtual LockResult Lock() = 0;
  virtual void Unlock() = 0;
};

// A process-local, manual-reset event: once set it stays set.
class Event {
 public:
  virtual ~Event() = default;
  // Throws OsError.
  static std::unique_ptr<Event> Create();
  virtual void Set() = 0;
  // Waits until the event is set or `timeout_ms` passes; a negative timeout
  // waits without limit. True when the event is set.
  virtual bool Wait(int64_t timeout_ms) = 0;
};

// A machine-wide counting semaphore with two slots, shared by all processes
// that open it for the same index file. A slot is not owned: any thread of
// the process that took it may give it back. Slots held by a process that
// ended are not kept for ever (on POSIX they are free at once; on Windows
// when every process has closed the semaphore).
class NamedSemaphore {
 public:
  virtual ~NamedSemaphore() = default;  // gives back slots still held

  // Throws OsError.
  static std::unique_ptr<NamedSemaphore> Open(const std::string& name,
                                              const std::string& index_path);

  // Takes a free slot without waiting. True when one was taken.
  virtual bool TryAcquire() = 0;

  enum class WaitResult { kStopped, kAcquired, kFailed };

  // Waits without time limit for `stop` to be set or for a free slot,
  // whichever comes first; when both are ready the stop wins and no slot is
  // taken. kFailed when the wait itself fails (no slot is held then).
  virtual WaitResult AcquireOrStop(Event& stop) = 0;

  // Gives back one slot taken by this object.
  virtual void Release() = 0;
};

// A thread of this process. Join must be called before destruction.
class Thread {
 public:
  virtual ~Thread() = default;
  // Starts `entry(arg)` on a new thread with the default stack size. Throws
  // OsError.
  static std::unique_ptr<Thread> Start(void (*entry)(void*), void* arg);
  // Blocks until the thread has ended.
  virtual void Join() = 0;
};

// A mutex of this process only, for the library's own bookkeeping. Cannot
// fail once constructed.
class LocalMutex {
 public:
  LocalMutex();
  ~LocalMutex();
  LocalMutex(const LocalMutex&) = delete;
  LocalMutex& operator=(const LocalMutex&) = delete;
  void lock();
  void unlock();

 private:
  alignas(8) unsigned char storage_[64];
};

class LocalLock {
 public:
  explicit LocalLock(LocalMutex& m) : m_(m) { m_.lock(); }
  ~LocalLock() { m_.unlock(); }
  LocalLock(const LocalLock&) = delete;
  LocalLock& operator=(const LocalLock&) = delete;

 private:
  LocalMutex& m_;
};

}  // namespace platform
}  // namespace stow
