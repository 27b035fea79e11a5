// The system layer under the portable core.
//
// The core says what it needs (map this file, take this lock, delete this
// file); an Env says how. Every call the core makes into the system goes
// through the Env returned by env(): the platform's own by default (posix/
// or win32/, exactly one of which is compiled into a build), or one a test
// installed to make a call fail on purpose. Nothing outside platform/
// includes a system header.
//
// Conventions for every function here:
//  - Paths are narrow, NUL-terminated text in the platform's narrow encoding
//    (the ANSI code page on Windows, UTF-8 elsewhere).
//  - A call that can fail returns an OsStatus (the system's code, the
//    failing call and, where there is one, the path) and gives its results
//    through out-parameters, a factory its new object through the last one
//    (left null on failure). Nothing here throws OsError: the core decides
//    whether a failure is thrown (OsStatus::ThrowIfFailed), logged or
//    passed over.
//  - Calls that answer a question (IsDirectory, FolderHasEntries, ...) or
//    cannot fail (the clock, ProcessPrivileges) return their answer; their
//    comments say what counts as the answer when the system cannot tell.
//  - Unless a comment says otherwise a function is safe to call from several
//    threads at once, and returns without waiting for other processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace stow {
namespace platform {

// -------------------------------------------------- platform constants ---

#ifdef _WIN32
constexpr char kSeparator = '\\';
constexpr char kLineEnd[] = "\r\n";  // how a text file stores "\n"
constexpr char kDefaultCacheDir[] = "C:\\TEMP";
constexpr char kDefaultLogPath[] = "C:\\";
constexpr uint32_t kErrorInvalidName = 123;    // ERROR_INVALID_NAME
constexpr uint32_t kErrorNameTooLong = 206;    // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t kErrorAccessDenied = 5;     // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorTimedOut = 1460;      // ERROR_TIMEOUT
constexpr uint32_t kErrorDiskFull = 112;       // ERROR_DISK_FULL
constexpr uint32_t kErrorTooManyLinks = 1142;  // ERROR_TOO_MANY_LINKS
constexpr uint32_t kErrorNotAFolder = 267;     // ERROR_DIRECTORY
// Where a settings file is looked for when there is none beside the library,
// and the variable that names one instead (none on Windows: only the file
// beside the library counts there).
constexpr char kSystemSettingsFile[] = "";
constexpr char kSettingsVariable[] = "";
// Names of the calls behind GetFileKind and DeleteFile, for messages.
constexpr char kFileSizeCall[] = "GetFileAttributesExA";
constexpr char kDeleteFileCall[] = "DeleteFileA";
// Whether the file system gives long names a short (8.3) second name, such
// as "STOWMA~1.LOG", by which the file can be opened and deleted too.
constexpr bool kShortNames = true;
#else
constexpr char kSeparator = '/';
constexpr char kLineEnd[] = "\n";
constexpr char kDefaultCacheDir[] = "/var/tmp/stowmaster";
constexpr char kDefaultLogPath[] = "/var/tmp";
constexpr uint32_t kErrorInvalidName = 22;   // EINVAL
constexpr uint32_t kErrorNameTooLong = 36;   // ENAMETOOLONG
constexpr uint32_t kErrorAccessDenied = 13;  // EACCES
constexpr uint32_t kErrorTimedOut = 110;     // ETIMEDOUT
constexpr uint32_t kErrorDiskFull = 28;      // ENOSPC
constexpr uint32_t kErrorTooManyLinks = 31;  // EMLINK
constexpr uint32_t kErrorNotAFolder = 20;    // ENOTDIR
constexpr char kSystemSettingsFile[] = "/etc/stowmaster/TESSARON.INI";
constexpr char kSettingsVariable[] = "STOWMASTER_SETTINGS";
constexpr char kFileSizeCall[] = "stat";
constexpr char kDeleteFileCall[] = "unlink";
constexpr bool kShortNames = false;
#endif

// True when `code`, from a look at a path, says only that the path does not
// exist: no file there (ENOENT; ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND).
bool IsNotFound(uint32_t code);

// True when `path` names a folder that has nothing above it to create: the
// root ("/"), or on Windows a bare drive ("C:") or a drive's root ("C:\").
bool IsTopFolder(const char* path, size_t length);

struct LocalTime {
  int year;    // four digits
  int month;   // 1..12
  int day;     // 1..31
  int hour;    // 0..23
  int minute;  // 0..59
  int second;  // 0..60
};

enum class DeleteResult {
  kDeleted,  // the file is gone now
  kRefused,  // access denied, sharing or lock violation: the file stays
  kFailed,   // any other failure (missing file, bad path, ...)
  kOutside,  // not reached inside the given folder, or not a regular file
};

enum class FileKind { kMissing, kRegular, kDirectory, kOther };

// Which file a path names, as the system tells files apart: device and inode
// on Linux, volume serial number and file index on Windows. Two paths with
// the same FileId name the same file (hard links included).
struct FileId {
  uint64_t device = 0;
  uint64_t file = 0;
  bool known = false;  // false: could not be read; equal to nothing
  bool operator==(const FileId& o) const {
    return known && o.known && device == o.device && file == o.file;
  }
  bool operator!=(const FileId& o) const { return !(*this == o); }
};

// Which start of the machine this process runs in: the same for every
// process until the machine restarts, another one after (Env::BootIdentity).
struct BootId {
  uint8_t bytes[16] = {};
  bool known = false;  // false: could not be read; equal to nothing
  // When the machine started, seconds since 1970 UTC, as the clock tells
  // it now (0: not known). Not part of the identity: a clock set since
  // moves it.
  int64_t started = 0;
  bool operator==(const BootId& o) const;
  bool operator!=(const BootId& o) const { return !(*this == o); }
};

// What Env::GetFileKind and Env::GetFileKindAndId tell of a path.
struct FileInfo {
  FileKind kind = FileKind::kMissing;
  uint64_t size = 0;  // 0 unless kRegular
  FileId id;          // GetFileKindAndId only
  int64_t modified = 0;  // last change of its content, seconds since 1970 UTC
};

// One entry of a folder, as Env::ReadFolder gives it.
struct FolderEntry {
  // Its name in the narrow encoding; empty when it has no exact narrow form
  // (Windows), and such an entry cannot be reached by a narrow path.
  std::string name;
  // A symbolic link, junction or other reparse point: never followed, its
  // `info` tells of the link itself (kind kOther).
  bool link = false;
  // The entry itself: its kind, size, modification time and identity (the
  // identity may be unknown).
  FileInfo info;
};

// The outcome a failed deletion's system code means (kRefused or kFailed).
DeleteResult DeleteResultOf(uint32_t code);

// Splits `path` into the folder that holds the entry it names (as a path that
// opens that folder, links followed: "/a/" for "/a/b", "." for "b") and the
// entry's name as far as the text tells what the folder stores: on Windows
// without a stream suffix (":$DATA") and without the trailing dots and blanks
// the system drops.
void SplitEntryPath(const char* path, std::string* folder, std::string* name);

// What became of a folder that was to be removed if empty.
enum class FolderRemoval {
  kRemoved,   // it was empty and is gone
  kNotEmpty,  // it holds an entry: it stays as it was
  kFailed,    // it may be empty but could not be removed (or is missing)
};

// What a process may do beyond the permissions of whoever started it.
struct Privileges {
  // May delete other users' files whatever their permissions: on Linux the
  // effective user 0 or an effective capability that passes an unlink's
  // permission checks (CAP_DAC_OVERRIDE, CAP_FOWNER), on Windows a service
  // account (LocalSystem, LocalService, NetworkService).
  bool elevated = false;
  // Runs with other ids than its real ones (a set-user-ID or set-group-ID
  // program). Always false on Windows.
  bool set_id = false;
  // Who the process acts as for file permissions: the effective user ID on
  // Linux, a hash of the user's security identifier on Windows.
  uint32_t user = 0;
  // Either way the process may delete what its caller could not: it trusts
  // only an owner-only settings file and deletes only below the cache
  // folders.
  bool privileged() const { return elevated || set_id; }
};

// Who besides the system's administrators can change a file or the folder
// that holds it (see Env::WhoMayChange).
enum class ChangeRights {
  kOwnerOnly,       // only its owner, who is an administrator or this process's user
  kMissing,         // the file is not there
  kOtherOwner,      // it belongs to another user
  kOthersMayWrite,  // others than its owner may write it (or, a folder, add and replace files)
  kUnknown,         // who may change it cannot be read
};

// ------------------------------------------------------- system objects ---

// A file mapped into memory so that every process that maps the same file
// sees every change at once.
class SharedFile {
 public:
  virtual ~SharedFile() = default;  // unmaps and closes
  virtual uint8_t* data() = 0;
  virtual size_t size() const = 0;
  // Writes every changed page of the whole mapped view to the disk and
  // waits until the disk has them (msync with MS_SYNC; FlushViewOfFile and
  // FlushFileBuffers), so that they survive a power cut. Costs from a tenth
  // of a millisecond to several: callers ration it, and never call it while
  // they hold the index lock. Does not block other users of the mapping.
  // False when the system refuses.
  virtual bool Flush() = 0;

  // True when another process cut the file short under the view: since the
  // last call an access of the view met a page past the file's end (and read
  // zeros), or, when `look_at_length`, the file is shorter than the view now
  // (which asks the system). Never blocks.
  virtual bool CheckTruncated(bool look_at_length) {
    (void)look_at_length;
    return false;
  }
  // Grows the file back to the view's length, reserving its disk space, and
  // maps the view afresh at the same address. False when the system refuses
  // (the view keeps what it had).
  virtual bool Restore() { return true; }

  // True when the file was shorter than the view when this process opened
  // it (a new file too): the open grew it with zeros.
  virtual bool GrownAtOpen() const { return false; }
};

// The machine-wide lock that guards one index. Excludes every other holder:
// threads of this process as well as other processes, of any user. A holder
// that dies releases it.
class NamedMutex {
 public:
  virtual ~NamedMutex() = default;

  enum class LockResult {
    kAcquired,   // taken normally
    kAbandoned,  // taken from a holder that died holding it (Windows), or
                 // from the calling thread itself, which left the library
                 // without releasing it (POSIX: a longjmp out of a handler)
    kTimedOut,   // still held by another after `timeout_ms`: not taken
  };

  // Blocks until the lock is held by the calling thread or `timeout_ms`
  // passed. Not reentrant: a thread that holds it must not call Lock again;
  // one that does anyway is taken to have left the lock behind (kAbandoned
  // on POSIX, where waiting would deadlock it on itself).
  // Fails when the wait itself fails (the lock is not held then).
  virtual OsStatus Lock(int64_t timeout_ms, LockResult* result) = 0;
  virtual void Unlock() = 0;
};

// A process-local, manual-reset event: once set it stays set.
class Event {
 public:
  virtual ~Event() = default;
  virtual void Set() = 0;

  enum class WaitResult { kSet, kTimedOut, kFailed };
  // Waits until the event is set or `timeout_ms` passes; a negative timeout
  // waits without limit. kFailed when the wait itself fails.
  virtual WaitResult Wait(int64_t timeout_ms) = 0;

  // The system's handle for waiting on several objects at once, or null for
  // an event that has none (a test double); callers then poll.
  virtual void* native_handle() { return nullptr; }
};

// A machine-wide counting semaphore with two slots, shared by all processes
// that open it for the same index file. The thread that took a slot gives it
// back. A slot held by a process that ended is free at once.
class NamedSemaphore {
 public:
  virtual ~NamedSemaphore() = default;  // gives back slots still held

  // Takes a free slot without waiting. True when one was taken.
  virtual bool TryAcquire() = 0;

  enum class WaitResult { kStopped, kAcquired, kFailed };

  // Waits without time limit for `stop` to be set or for a free slot,
  // whichever comes first; when both are ready the stop wins and no slot is
  // taken. kFailed when the wait itself fails (no slot is held then).
  virtual WaitResult AcquireOrStop(Event& stop) = 0;

  // Gives back one slot taken by this object on the calling thread.
  virtual void Release() = 0;
};

// A file held open for appending, with the refusals of Env::AppendToFile at
// its opening. Closed when destroyed.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Appends `size` bytes as one unit, as Env::AppendToFile does. Not for
  // several threads at once.
  virtual OsStatus Append(const char* data, size_t size) = 0;
};

// A folder held open by a handle (a descriptor on Linux), read and gone
// down from through that handle: no path is looked up again, so a folder
// renamed, or replaced by a link, above or at a held folder cannot send a
// later read or open elsewhere. Closed when destroyed. Not for several
// threads at once.
class HeldFolder {
 public:
  virtual ~HeldFolder() = default;

  // The identity of the folder held, as GetFileId gives it for its path.
  virtual FileId id() const = 0;

  // Its entries but "." and "..", as ReadFolder gives them (none followed
  // when it is a link, each entry's identity as GetFileId gives it for its
  // path with `follow_link` false), looked at through the handle. Reads at
  // most `limit` entries. Fails, with nothing read, when the folder cannot
  // be searched.
  virtual OsStatus Read(size_t limit, std::vector<FolderEntry>* entries) = 0;

  // Opens its entry `name` (one name as Read gives it: no separator, not
  // "." or "..") through the handle, without following it. Fails with
  // kErrorNotAFolder when the entry is a symbolic link, junction or other
  // reparse point, or anything but a folder; with the system's code
  // (IsNotFound for a missing one) when it cannot be opened.
  virtual OsStatus OpenSub(const std::string& name, std::unique_ptr<HeldFolder>* sub) = 0;
};

// A thread of this process. Join must be called before destruction.
class Thread {
 public:
  virtual ~Thread() = default;
  // Blocks until the thread has ended.
  virtual void Join() = 0;
};

// ------------------------------------------------------------------ Env ---

class Env {
 public:
  virtual ~Env() = default;

  // Clock. Calendar time of the system clock in whole seconds since
  // 1970-01-01 UTC; its local time zone fields; a pause of about `ms`.
  virtual int64_t NowSeconds() = 0;
  virtual LocalTime ToLocalTime(int64_t seconds) = 0;
  virtual void SleepMs(int64_t ms) = 0;

  // Which start of the machine this is (see BootId): on Linux the kernel's
  // boot id, on Windows the time of the start, the clock less the time
  // since the start, rounded to the minute so that every process computes
  // the same (one whose computation straddles a rounding boundary, or a
  // clock set by more than half a minute, takes it for a restart: the safe
  // side). Read once per index opened; unknown (`known` false) when the
  // system does not tell.
  virtual BootId BootIdentity() = 0;

  // Full path of the file the library was loaded from (the DLL or the
  // shared object; in a program that links the core statically, the
  // program), links resolved.
  virtual OsStatus ModuleFilePath(std::string* out) = 0;

  // Reads `key` of `section` from the INI file at `file` with the lookup
  // rules of the Windows profile functions: names compared without regard
  // to case, the first matching section and key counting, blanks around the
  // value dropped, one pair of enclosing quotes removed. Gives `fallback`
  // when the file, section or key is missing. The result is cut to
  // `size` - 1 bytes, as a buffer of `size` bytes would hold it. With `key`
  // null it gives the names of the section's keys instead, each followed by
  // a NUL, in file order ("" when there are none).
  virtual std::string ReadProfileString(const std::string& file, const char* section,
                                        const char* key, const char* fallback, size_t size) = 0;

  // The first `limit` bytes of the regular file at `path`, for telling
  // where a setting stands in its file and whether the file can be read at
  // all (ReadProfileString treats a file it cannot read as missing). Never
  // waits on a FIFO or device: anything but a regular file fails with
  // kErrorInvalidName. A missing file fails with a code IsNotFound accepts.
  virtual OsStatus ReadTextFile(const char* path, size_t limit, std::string* out) = 0;

  // Converts UTF-16 text to the narrow encoding, exactly or not at all.
  // Fails when a character has no exact narrow form (no best-fit stand-in,
  // no default character) or the result does not fit in `out_size` bytes
  // including the terminator; `out` then holds an empty string.
  virtual OsStatus WideToNarrow(const char16_t* text, char* out, size_t out_size) = 0;

  // `path` made absolute against the current working folder, or `path`
  // itself, exactly as written, when it is absolute already. Fails (`out`
  // empty) when the working folder cannot be read.
  virtual OsStatus AbsolutePath(const char* path, std::string* out) = 0;

  // What `path` names, links followed, and its size. Reads the file's
  // attributes only: a FIFO or device is never opened. Fails, kind
  // kMissing, when it cannot be found; the failure names kFileSizeCall.
  virtual OsStatus GetFileKind(const char* path, FileInfo* info) = 0;

  // GetFileKind, and in `info->id` the identity of what deleting `path`
  // would delete: the last part of the path itself, not followed when it is
  // a link. One query of the system where it can give both. `id.known` is
  // false when the identity could not be read.
  virtual OsStatus GetFileKindAndId(const char* path, FileInfo* info) = 0;

  // The identity of what `path` names, the last part followed when it is a
  // link only if `follow_link`. `id->known` is false when it fails.
  virtual OsStatus GetFileId(const char* path, bool follow_link, FileId* id) = 0;

  // True when `path` names an existing folder.
  virtual bool IsDirectory(const char* path) = 0;

  // The entries of the folder `folder` but "." and "..", in the order the
  // system gives them, none of them followed when it is a link. `folder`
  // itself is followed when it is a link only if `follow_link`. Fails, with
  // nothing read, when `folder` cannot be opened or searched, is not a
  // folder, or is a link not to be followed; `folder_id` then is unknown,
  // else the identity of the folder that was read, so that a caller can
  // tell that it read the folder it meant. Reads at most `limit` entries:
  // a folder may hold more than memory does.
  virtual OsStatus ReadFolder(const char* folder, bool follow_link, size_t limit,
                              FileId* folder_id, std::vector<FolderEntry>* entries) = 0;

  // Opens the folder `path` and holds it (see HeldFolder), links in the
  // path followed as a deletion below a cache folder follows them to the
  // cache folder itself. Fails with kErrorNotAFolder when it is not a
  // folder, with the system's code when it cannot be opened.
  virtual OsStatus OpenFolder(const char* path, std::unique_ptr<HeldFolder>* folder) = 0;

  // Creates one folder with default permissions.
  virtual OsStatus CreateDirectory(const char* path) = 0;

  // Deletes one file. `result` says what became of it; a failure (kRefused,
  // kFailed) names kDeleteFileCall and `path`.
  virtual OsStatus DeleteFile(const char* path, DeleteResult* result) = 0;

  // Deletes `path` only when it lies below `folder` and is reached from
  // there without following a symbolic link, junction or mount point, and is
  // a regular file; kOutside (nothing deleted, no failure) otherwise. A
  // failure names kDeleteFileCall and `path`.
  virtual OsStatus DeleteFileBelow(const char* folder, const char* path, DeleteResult* result) = 0;

  // True when `folder` lies on a file system of another machine (NFS, SMB,
  // a remote drive). False when it is local or the system cannot tell.
  virtual bool IsNetworkFolder(const char* folder) = 0;

  // What this process may do; see Privileges. Never fails: what cannot be
  // read counts as not privileged on Linux, as privileged nowhere else.
  virtual Privileges ProcessPrivileges() = 0;

  // Who may change the file at `path` (links followed) and the folder that
  // holds it; the folders above are not looked at. kOwnerOnly when the file
  // belongs to an administrator (root; on Windows Administrators, SYSTEM or
  // TrustedInstaller) or to this process's user and nobody else may write
  // it, and the same holds for its folder (and, when `path` is a symbolic
  // link, for the folder of the file it leads to). Otherwise the first
  // finding, with the file or folder it concerns in `culprit`. Fails only
  // with kUnknown, when who may change it cannot be read.
  virtual OsStatus WhoMayChange(const char* path, ChangeRights* rights, std::string* culprit) = 0;

  // The value of the environment variable `name`. False when it is unset.
  virtual bool ReadEnvironmentVariable(const char* name, std::string* out) = 0;

  // True when a search of `folder` finds an entry other than "." and "..".
  // A folder that cannot be searched has no entries.
  virtual bool FolderHasEntries(const char* folder) = 0;

  // Removes `folder` when it is empty, in one call rather than a search and
  // a removal. A folder that still holds an entry is left as it was
  // (kNotEmpty, no failure). Attributes that keep an empty folder from
  // going (read-only on Windows) are cleared for the removal only.
  virtual OsStatus RemoveFolderIfEmpty(const char* folder, FolderRemoval* result) = 0;

  // The same for `path`, removed only when it lies below `folder` and is
  // reached from there as DeleteFileBelow reaches a file: a path not reached
  // below `folder` without links, or not a folder, is kFailed.
  virtual OsStatus RemoveFolderIfEmptyBelow(const char* folder, const char* path,
                                            FolderRemoval* result) = 0;

  // Opens the file at `path` for appending, creating it when missing, with
  // the refusals of AppendToFile; each Append is one unit as an
  // AppendToFile is.
  virtual OsStatus OpenAppendFile(const char* path, std::unique_ptr<AppendFile>* file) = 0;

  // Appends `size` bytes to the file at `path`, creating it when missing, as
  // one unit with respect to other processes appending to the same file: no
  // two appends overwrite or interleave with each other. The bytes are
  // written as they are. A symbolic link (reparse point) as the last part of
  // the path, or anything but a regular file, is refused.
  virtual OsStatus AppendToFile(const char* path, const char* data, size_t size) = 0;

  // Makes `data` the whole content of the file at `path`, creating it when
  // missing, with the refusals of AppendToFile; the file is truncated only
  // once it has been opened.
  virtual OsStatus WriteOwnFile(const char* path, const char* data, size_t size) = 0;

  // Opens `path` for reading and writing, creating it (readable and
  // writable by every user) when missing, and maps its first `size` bytes;
  // the disk space of those bytes is reserved on every open (a shorter file
  // is grown to `size`, a longer one keeps its length). On Windows the
  // mapping carries `mapping_name`. Refuses, before writing anything, a
  // symbolic link or reparse point, anything but a regular file, and a file
  // with more than one hard link that does not start with `magic`
  // (kErrorTooManyLinks).
  virtual OsStatus OpenSharedFile(const std::string& path, const std::string& mapping_name,
                                  size_t size, const std::string& magic,
                                  std::unique_ptr<SharedFile>* file) = 0;

  // The lock and the eviction semaphore of one index. `name` is the kernel
  // object name (used on Windows); `index_path` is the index file, created
  // when missing (the POSIX locks live on it).
  virtual OsStatus OpenNamedMutex(const std::string& name, const std::string& index_path,
                                  std::unique_ptr<NamedMutex>* mutex) = 0;
  virtual OsStatus OpenNamedSemaphore(const std::string& name, const std::string& index_path,
                                      std::unique_ptr<NamedSemaphore>* semaphore) = 0;

  // A new, unset event.
  virtual OsStatus NewEvent(std::unique_ptr<Event>* event) = 0;

  // Starts `entry(arg)` on a new thread with the default stack size.
  virtual OsStatus StartThread(void (*entry)(void*), void* arg,
                               std::unique_ptr<Thread>* thread) = 0;
};

// The platform's own Env (posix/ or win32/). Lives as long as the process.
Env& DefaultEnv();

// The Env the core calls: DefaultEnv() unless a test installed another.
Env& env();

// Makes `replacement` (not owned; null goes back to the default) the Env of
// every later call in this process. For tests: calls in progress on other
// threads may still use the previous one, so install it while nothing runs.
void SetEnvForTesting(Env* replacement);

// Forwards every call to another Env. A test derives from it and overrides
// only the calls it wants to fail.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  Env& target() { return target_; }

  int64_t NowSeconds() override { return target_.NowSeconds(); }
  LocalTime ToLocalTime(int64_t seconds) override { return target_.ToLocalTime(seconds); }
  void SleepMs(int64_t ms) override { target_.SleepMs(ms); }
  BootId BootIdentity() override { return target_.BootIdentity(); }
  OsStatus ModuleFilePath(std::string* out) override { return target_.ModuleFilePath(out); }
  std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                                const char* fallback, size_t size) override {
    return target_.ReadProfileString(file, section, key, fallback, size);
  }
  OsStatus ReadTextFile(const char* path, size_t limit, std::string* out) override {
    return target_.ReadTextFile(path, limit, out);
  }
  OsStatus WideToNarrow(const char16_t* text, char* out, size_t out_size) override {
    return target_.WideToNarrow(text, out, out_size);
  }
  OsStatus AbsolutePath(const char* path, std::string* out) override {
    return target_.AbsolutePath(path, out);
  }
  OsStatus GetFileKind(const char* path, FileInfo* info) override {
    return target_.GetFileKind(path, info);
  }
  OsStatus GetFileKindAndId(const char* path, FileInfo* info) override {
    return target_.GetFileKindAndId(path, info);
  }
  OsStatus GetFileId(const char* path, bool follow_link, FileId* id) override {
    return target_.GetFileId(path, follow_link, id);
  }
  bool IsDirectory(const char* path) override { return target_.IsDirectory(path); }
  OsStatus ReadFolder(const char* folder, bool follow_link, size_t limit, FileId* folder_id,
                      std::vector<FolderEntry>* entries) override {
    return target_.ReadFolder(folder, follow_link, limit, folder_id, entries);
  }
  OsStatus OpenFolder(const char* path, std::unique_ptr<HeldFolder>* folder) override {
    return target_.OpenFolder(path, folder);
  }
  OsStatus CreateDirectory(const char* path) override { return target_.CreateDirectory(path); }
  OsStatus DeleteFile(const char* path, DeleteResult* result) override {
    return target_.DeleteFile(path, result);
  }
  OsStatus DeleteFileBelow(const char* folder, const char* path, DeleteResult* result) override {
    return target_.DeleteFileBelow(folder, path, result);
  }
  bool IsNetworkFolder(const char* folder) override { return target_.IsNetworkFolder(folder); }
  Privileges ProcessPrivileges() override { return target_.ProcessPrivileges(); }
  OsStatus WhoMayChange(const char* path, ChangeRights* rights, std::string* culprit) override {
    return target_.WhoMayChange(path, rights, culprit);
  }
  bool ReadEnvironmentVariable(const char* name, std::string* out) override {
    return target_.ReadEnvironmentVariable(name, out);
  }
  bool FolderHasEntries(const char* folder) override { return target_.FolderHasEntries(folder); }
  OsStatus RemoveFolderIfEmpty(const char* folder, FolderRemoval* result) override {
    return target_.RemoveFolderIfEmpty(folder, result);
  }
  OsStatus RemoveFolderIfEmptyBelow(const char* folder, const char* path,
                                    FolderRemoval* result) override {
    return target_.RemoveFolderIfEmptyBelow(folder, path, result);
  }
  OsStatus OpenAppendFile(const char* path, std::unique_ptr<AppendFile>* file) override {
    return target_.OpenAppendFile(path, file);
  }
  OsStatus AppendToFile(const char* path, const char* data, size_t size) override {
    return target_.AppendToFile(path, data, size);
  }
  OsStatus WriteOwnFile(const char* path, const char* data, size_t size) override {
    return target_.WriteOwnFile(path, data, size);
  }
  OsStatus OpenSharedFile(const std::string& path, const std::string& mapping_name, size_t size,
                          const std::string& magic, std::unique_ptr<SharedFile>* file) override {
    return target_.OpenSharedFile(path, mapping_name, size, magic, file);
  }
  OsStatus OpenNamedMutex(const std::string& name, const std::string& index_path,
                          std::unique_ptr<NamedMutex>* mutex) override {
    return target_.OpenNamedMutex(name, index_path, mutex);
  }
  OsStatus OpenNamedSemaphore(const std::string& name, const std::string& index_path,
                              std::unique_ptr<NamedSemaphore>* semaphore) override {
    return target_.OpenNamedSemaphore(name, index_path, semaphore);
  }
  OsStatus NewEvent(std::unique_ptr<Event>* event) override { return target_.NewEvent(event); }
  OsStatus StartThread(void (*entry)(void*), void* arg, std::unique_ptr<Thread>* thread) override {
    return target_.StartThread(entry, arg, thread);
  }

 private:
  Env& target_;
};

// ------------------------------------------------------- local mutex ---

// A mutex of this process only, for the library's own bookkeeping. Cannot
// fail once constructed. Not part of the Env: it has no failure to inject.
class LocalMutex {
 public:
  LocalMutex();
  ~LocalMutex();
  LocalMutex(const LocalMutex&) = delete;
  LocalMutex& operator=(const LocalMutex&) = delete;
  void lock();
  // Takes the mutex when it is free; false at once otherwise.
  bool try_lock();
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
