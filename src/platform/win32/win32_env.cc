// The Env of Windows: paths, files and folders, where the library lives,
// the clock, threads and the process-local mutex. The index's shared objects
// (the mapped file, the lock, the semaphore, the event) live in
// shared_file.cc and sync.cc.

#include "platform/win32/handle.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/checks.h"
#include "platform/win32/objects.h"
#include "platform/win32/own_file.h"

namespace stow {
namespace platform {

std::string ErrorText(uint32_t code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      NULL, code, 0, reinterpret_cast<LPSTR>(&text), 0, NULL);
  std::string result =
      length != 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result;
}

// The file is there but may not be deleted now: no permission, in use, or
// on media that refuse writing (as EROFS on Linux).
DeleteResult DeleteResultOf(uint32_t code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_DRIVE_LOCKED:
    case ERROR_NETWORK_ACCESS_DENIED:
      return DeleteResult::kRefused;
    default:
      return DeleteResult::kFailed;
  }
}

namespace win32 {

bool IsServiceAccountSid(void* sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinLocalServiceSid) ||
         IsWellKnownSid(sid, WinNetworkServiceSid);
}

}  // namespace win32

// ---------------------------------------------------------- local mutex ---

static_assert(sizeof(SRWLOCK) <= 64, "SRWLOCK must fit LocalMutex::storage_");
static_assert(alignof(SRWLOCK) <= 8, "SRWLOCK must fit LocalMutex::storage_");

// An SRW lock needs no clean-up and cannot fail once initialised.
LocalMutex::LocalMutex() { InitializeSRWLock(new (storage_) SRWLOCK); }

LocalMutex::~LocalMutex() {}

void LocalMutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }

bool LocalMutex::try_lock() {
  return TryAcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)) != 0;
}

void LocalMutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }

namespace {

// The failure of the call that just failed, by the system's last error.
OsStatus LastError(const char* call, const std::string& path = std::string()) {
  const DWORD code = GetLastError();
  return OsStatus(code != 0 ? code : ERROR_GEN_FAILURE, call, path);
}

bool IsSlash(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Longest path the system hands out (with the \\?\ prefix).
constexpr DWORD kMaxLongPath = 32768;

// Lives in this module, so that its address identifies the module: the DLL
// in the shipped library, the program when the core is linked statically.
void ModuleAnchor() {}

// FILETIME counts 100-nanosecond ticks since 1601-01-01 UTC.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksFrom1601To1970 = 116444736000000000LL;

// Closes a search handle from FindFirstFileA.
class FindHandle {
 public:
  explicit FindHandle(HANDLE h) : h_(h) {}
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// Opens `path` for reading its attributes only, which no sharing mode of
// another opener refuses; a folder too, and a final reparse point itself
// unless `follow_link`.
win32::UniqueHandle OpenForAttributes(const char* path, bool follow_link) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return win32::UniqueHandle(CreateFileA(path, FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         NULL, OPEN_EXISTING, flags, NULL));
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileId id;
  id.device = info.dwVolumeSerialNumber;
  id.file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.known = true;
  return id;
}

// The kind and size of a file with these attributes and size.
void KindOf(DWORD attributes, DWORD size_high, DWORD size_low, FileInfo* info) {
  info->kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::kDirectory
               : (attributes & FILE_ATTRIBUTE_DEVICE)  ? FileKind::kOther
                                                       : FileKind::kRegular;
  if (info->kind == FileKind::kRegular) {
    info->size = (static_cast<uint64_t>(size_high) << 32) | size_low;
  }
}

// A FILETIME as seconds since 1970 UTC.
int64_t UnixSecondsOf(const FILETIME& t) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  return (ticks - kTicksFrom1601To1970) / kTicksPerSecond;
}

bool SameFolderText(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (IsSlash(x) && IsSlash(y)) continue;
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Checks that `path` lies below `folder` and that no part of it below
// `folder` is a reparse point (symbolic link, junction, mount point). The
// last part must be a folder when `want_folder`, else a file. kDeleted here
// means "reached"; kFailed when a part is missing.
DeleteResult CheckBelow(const char* folder, const char* path, bool want_folder) {
  size_t n = std::strlen(folder);
  while (n > 0 && IsSlash(folder[n - 1])) --n;
  if (n == 0 || std::strlen(path) <= n + 1 || !SameFolderText(folder, path, n) ||
      !IsSlash(path[n])) {
    return DeleteResult::kOutside;
  }
  const std::string whole(path);
  size_t at = n + 1;
  for (;;) {
    size_t end = at;
    while (end < whole.size() && !IsSlash(whole[end])) ++end;
    const std::string part = whole.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return DeleteResult::kOutside;
    const DWORD attributes = GetFileAttributesA(whole.substr(0, end).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return DeleteResult::kFailed;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return DeleteResult::kOutside;
    const bool last = end >= whole.size();
    const bool is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (last) {
      if (is_folder != want_folder || (attributes & FILE_ATTRIBUTE_DEVICE)) {
        return DeleteResult::kOutside;
      }
      return DeleteResult::kDeleted;
    }
    if (!is_folder) return DeleteResult::kFailed;
    at = end + 1;
  }
}

// ------------------------------------------------------- held folders ---

// `text` (`length` UTF-16 units) in the narrow encoding, exactly or not at
// all (empty), as WideToNarrow converts it.
std::string ExactNarrow(const wchar_t* text, int length) {
  if (length <= 0) return std::string();
  BOOL used_default = FALSE;
  const int n =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, NULL, 0, NULL, &used_default);
  if (n <= 0 || used_default) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  used_default = FALSE;
  if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, &out[0], n, NULL,
                          &used_default) != n ||
      used_default) {
    return std::string();
  }
  return out;
}

// Opens the entry `name` of the folder held by `parent`, relative to that
// handle (no path is looked up again), never following a reparse point.
// A folder only when `folder`. The system's code on failure.
DWORD OpenRelative(HANDLE parent, const std::string& name, bool folder, win32::UniqueHandle* out) {
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.c_str(),
                                    static_cast<int>(name.size()), NULL, 0);
  if (n <= 0 || n > 32767) return ERROR_INVALID_NAME;
  std::vector<wchar_t> wide(static_cast<size_t>(n));
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.c_str(), static_cast<int>(name.size()),
                      wide.data(), n);
  UNICODE_STRING object_name;
  object_name.Buffer = wide.data();
  object_name.Length = static_cast<USHORT>(n * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  std::memset(&attributes, 0, sizeof(attributes));
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = parent;
  attributes.ObjectName = &object_name;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  IO_STATUS_BLOCK io;
  std::memset(&io, 0, sizeof(io));
  HANDLE raw = NULL;
  const ACCESS_MASK access =
      FILE_READ_ATTRIBUTES | SYNCHRONIZE | (folder ? FILE_LIST_DIRECTORY | FILE_TRAVERSE : 0);
  const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                        FILE_SYNCHRONOUS_IO_NONALERT | (folder ? FILE_DIRECTORY_FILE : 0);
  const NTSTATUS status = NtCreateFile(&raw, access, &attributes, &io, NULL, 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       FILE_OPEN, options, NULL, 0);
  if (status < 0) {
    // STATUS_NOT_A_DIRECTORY
    if (static_cast<ULONG>(status) == 0xC0000103UL) return ERROR_DIRECTORY;
    const ULONG code = RtlNtStatusToDosError(status);
    return code != 0 ? code : ERROR_GEN_FAILURE;
  }
  out->reset(raw);
  return ERROR_SUCCESS;
}

// A folder held by its handle: searched through the handle
// (GetFileInformationByHandleEx), its entries opened relative to it.
class Win32HeldFolder final : public HeldFolder {
 public:
  Win32HeldFolder(win32::UniqueHandle handle, const BY_HANDLE_FILE_INFORMATION& info)
      : handle_(std::move(handle)), id_(IdOf(info)) {}

  // Holds `handle` when it is a folder and no reparse point.
  static OsStatus Hold(win32::UniqueHandle handle, const std::string& path,
                       std::unique_ptr<HeldFolder>* folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle.get(), &info)) {
      return LastError("GetFileInformationByHandle", path);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return OsStatus(ERROR_DIRECTORY, "CreateFileA", path);
    }
    *folder = std::make_unique<Win32HeldFolder>(std::move(handle), info);
    return OsStatus();
  }

  FileId id() const override { return id_; }

  OsStatus Read(size_t limit, std::vector<FolderEntry>* entries) override {
    entries->clear();
    // 8-byte aligned, as the records are.
    std::vector<unsigned long long> buffer(8192);
    const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(buffer[0]));
    bool restart = true;
    while (entries->size() < limit) {
      if (!GetFileInformationByHandleEx(
              handle_.get(), restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
              buffer.data(), bytes)) {
        const DWORD code = GetLastError();
        if (code == ERROR_NO_MORE_FILES || (restart && code == ERROR_FILE_NOT_FOUND)) break;
        entries->clear();
        return OsStatus(code != 0 ? code : ERROR_GEN_FAILURE, "GetFileInformationByHandleEx");
      }
      restart = false;
      const unsigned char* at = reinterpret_cast<const unsigned char*>(buffer.data());
      for (;;) {
        const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
        const int length = static_cast<int>(record->FileNameLength / sizeof(wchar_t));
        const bool dots =
            (length == 1 && record->FileName[0] == L'.') ||
            (length == 2 && record->FileName[0] == L'.' && record->FileName[1] == L'.');
        if (!dots && entries->size() < limit) entries->push_back(Entry(*record, length));
        if (record->NextEntryOffset == 0) break;
        at += record->NextEntryOffset;
      }
    }
    return OsStatus();
  }

  OsStatus OpenSub(const std::string& name, std::unique_ptr<HeldFolder>* sub) override {
    sub->reset();
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("\\/:") != std::string::npos) {
      return OsStatus(ERROR_INVALID_NAME, "NtCreateFile", name);
    }
    win32::UniqueHandle handle;
    const DWORD code = OpenRelative(handle_.get(), name, true, &handle);
    if (code != ERROR_SUCCESS) return OsStatus(code, "NtCreateFile", name);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle.get(), &info)) {
      return LastError("GetFileInformationByHandle", name);
    }
    // A junction or symbolic link, opened as itself: not followed.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return OsStatus(ERROR_DIRECTORY, "NtCreateFile", name);
    }
    return Hold(std::move(handle), name, sub);
  }

 private:
  // One entry: named exactly or not at all; what it is read from the entry
  // itself, opened through this folder's handle (its identity as GetFileId
  // gives it).
  FolderEntry Entry(const FILE_ID_BOTH_DIR_INFO& record, int length) {
    FolderEntry entry;
    entry.name = ExactNarrow(record.FileName, length);
    const DWORD attributes = record.FileAttributes;
    entry.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    FILETIME written;
    written.dwLowDateTime = static_cast<DWORD>(record.LastWriteTime.QuadPart);
    written.dwHighDateTime = static_cast<DWORD>(record.LastWriteTime.QuadPart >> 32);
    entry.info.modified = UnixSecondsOf(written);
    if (entry.link) {
      entry.info.kind = FileKind::kOther;
      return entry;
    }
    KindOf(attributes, static_cast<DWORD>(record.EndOfFile.QuadPart >> 32),
           static_cast<DWORD>(record.EndOfFile.QuadPart), &entry.info);
    if (entry.name.empty()) return entry;
    win32::UniqueHandle handle;
    BY_HANDLE_FILE_INFORMATION data;
    if (OpenRelative(handle_.get(), entry.name, false, &handle) == ERROR_SUCCESS &&
        GetFileInformationByHandle(handle.get(), &data)) {
      entry.info.id = IdOf(data);
      // Replaced by a link since the search: not followed.
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        entry.link = true;
        entry.info.kind = FileKind::kOther;
      }
    }
    return entry;
  }

  win32::UniqueHandle handle_;
  FileId id_;
};

// --------------------------------------------------- who may change it ---

// Frees what the security functions allocate with LocalAlloc.
class LocalMemory {
 public:
  LocalMemory() = default;
  ~LocalMemory() {
    if (p_ != NULL) LocalFree(p_);
  }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  void** out() { return &p_; }
  void* get() const { return p_; }

 private:
  void* p_ = NULL;
};

// NT SERVICE\TrustedInstaller, owner of the system's own files.
const char kTrustedInstallerSid[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The SID of this process's user, in `buffer`; NULL when it cannot be read.
PSID ProcessUserSid(std::vector<unsigned char>* buffer) {
  HANDLE raw = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return NULL;
  win32::UniqueHandle token(raw);
  DWORD length = 0;
  GetTokenInformation(token.get(), TokenUser, NULL, 0, &length);
  if (length == 0) return NULL;
  buffer->assign(length, 0);
  if (!GetTokenInformation(token.get(), TokenUser, buffer->data(), length, &length)) return NULL;
  return reinterpret_cast<TOKEN_USER*>(buffer->data())->User.Sid;
}

bool TrustedSid(PSID sid, PSID self, PSID installer) {
  if (sid == NULL || !IsValidSid(sid)) return false;
  return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinLocalSystemSid) || (self != NULL && EqualSid(sid, self)) ||
         (installer != NULL && EqualSid(sid, installer));
}

// The access entry kinds that deny; every other kind found in an access
// list is taken as a grant.
bool Denies(BYTE type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// Who may change `path` (a file, or a folder when `folder`), from its owner
// and access list. kMissing and kUnknown come with `failure`.
ChangeRights RightsOfObject(const std::string& path, bool folder, PSID self, PSID installer,
                            OsStatus* failure) {
  PSID owner = NULL;
  PACL dacl = NULL;
  LocalMemory descriptor;
  const DWORD rc =
      GetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, NULL,
                            &dacl, NULL, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.out()));
  if (rc != ERROR_SUCCESS) {
    *failure = OsStatus(rc, "GetNamedSecurityInfoA", path);
    return rc == ERROR_FILE_NOT_FOUND ? ChangeRights::kMissing : ChangeRights::kUnknown;
  }
  std::vector<win32::AccessEntry> entries;
  if (dacl != NULL) {
    ACL_SIZE_INFORMATION size;
    if (!GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) {
      *failure = LastError("GetAclInformation", path);
      return ChangeRights::kUnknown;
    }
    for (DWORD i = 0; i < size.AceCount; ++i) {
      void* ace = NULL;
      if (!GetAce(dacl, i, &ace)) {
        *failure = LastError("GetAce", path);
        return ChangeRights::kUnknown;
      }
      const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
      win32::AccessEntry e;
      e.allows = !Denies(header->AceType);
      e.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
      // Every kind of entry has its mask right after the header; only the
      // plain and callback kinds have the SID right after the mask. An
      // entry of another kind is nobody trusted.
      e.mask = static_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
      const bool plain = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                         header->AceType == ACCESS_DENIED_ACE_TYPE ||
                         header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
                         header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE;
      e.trusted =
          plain &&
          TrustedSid(const_cast<DWORD*>(&static_cast<const ACCESS_ALLOWED_ACE*>(ace)->SidStart),
                     self, installer);
      entries.push_back(e);
    }
  }
  return win32::ChangeRightsOf(folder, TrustedSid(owner, self, installer), dacl != NULL,
                               entries.data(), entries.size());
}

// The folder part of `path`, a drive's root with its backslash.
std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return ".";
  if (cut == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, cut);
}

// The path a handle's file is really reached by, without the \\?\ prefix;
// empty when it cannot be had.
std::string FinalPath(const char* path) {
  win32::UniqueHandle file(CreateFileA(path, 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
  if (!file) return std::string();
  char buffer[MAX_PATH * 2];
  const DWORD n = GetFinalPathNameByHandleA(file.get(), buffer, sizeof(buffer), 0);
  if (n == 0 || n >= sizeof(buffer)) return std::string();
  std::string final_path(buffer, n);
  if (final_path.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\" + final_path.substr(7);
  if (final_path.compare(0, 4, "\\\\?\\") == 0) return final_path.substr(4);
  return final_path;
}

// ------------------------------------------------------ own files ---

// Opens a file the library writes (the log, the dump) without following a
// reparse point or a link hidden as a plain file as its last part (and
// without creating anything where a dangling one points), and only when it
// is a plain disk file with no other name.
OsStatus OpenOwnFile(const char* path, win32::UniqueHandle* out) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // Made open to every user, as the index is: the clients of every account
  // write the same log. An inherited access list would depend on the folder
  // (a subfolder of ProgramData, for one, lets only the file's creator
  // write it). The list is set again through the handle since Wine turns
  // the one given at the creation into the Unix mode less the umask, as a
  // POSIX open does; only a later change reaches the mode. Without the
  // descriptor the file is made with the folder's list.
  win32::OpenToEveryone everyone;
  DWORD error = 0;
  const char* call = nullptr;
  bool created = false;
  win32::UniqueHandle file = win32::OpenOwnPath(
      path, GENERIC_WRITE, share, everyone.status().ok() ? everyone.get() : NULL,
      FILE_FLAG_OPEN_REPARSE_POINT, &error, &call, &created, GENERIC_WRITE | WRITE_DAC);
  if (!file) return OsStatus(error != 0 ? error : ERROR_GEN_FAILURE, call, path);
  if (created) {
    SetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks > 1) {
    return OsStatus(ERROR_ACCESS_DENIED, "CreateFileA (not a plain file of its own)", path);
  }
  *out = std::move(file);
  return OsStatus();
}

// Appenders take turns on a lock of one byte far beyond any real end of
// file: a seek to the end and the write that follows are not one step, so
// without it two processes could write at the same offset. (Append-only
// access would make the write one step on Windows, but Wine emulates it
// with a seek and a write and loses lines under contention.) The lock is
// tried without blocking and retried for a bounded time: a line is written
// under the lock or not at all, never unlocked.
OsStatus AppendLocked(HANDLE file, const char* data, size_t size, const std::string& path) {
  // One write; a log line is far shorter.
  if (size > 0x10000000) return OsStatus(ERROR_INVALID_PARAMETER, "WriteFile", path);
  OVERLAPPED lock_at = {};
  lock_at.Offset = 0xFFFFFFFF;
  lock_at.OffsetHigh = 0x7FFFFFFF;
  constexpr int kLockAttempts = 5000;  // about 5 s of 1 ms pauses
  for (int attempt = 0;; ++attempt) {
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lock_at)) {
      break;
    }
    if (attempt + 1 >= kLockAttempts) return LastError("LockFileEx", path);
    Sleep(attempt < 16 ? 0 : 1);
  }
  LARGE_INTEGER zero = {};
  DWORD written = 0;
  OsStatus status;
  if (!SetFilePointerEx(file, zero, NULL, FILE_END)) {
    status = LastError("SetFilePointerEx", path);
  } else if (!WriteFile(file, data, static_cast<DWORD>(size), &written, NULL)) {
    status = LastError("WriteFile", path);
  } else if (written != size) {
    status = OsStatus(ERROR_WRITE_FAULT, "WriteFile", path);
  }
  UnlockFileEx(file, 0, 1, 0, &lock_at);
  return status;
}

class Win32AppendFile final : public AppendFile {
 public:
  Win32AppendFile(win32::UniqueHandle file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}
  OsStatus Append(const char* data, size_t size) override {
    return AppendLocked(file_.get(), data, size, path_);
  }

 private:
  win32::UniqueHandle file_;
  std::string path_;
};

// Clears a folder's attributes so that it can be removed (read-only folders
// included).
bool SetNormalAttributes(const char* folder) {
  return SetFileAttributesA(folder, FILE_ATTRIBUTE_NORMAL) != 0;
}

// ------------------------------------------------------------ threads ---

struct ThreadStart {
  void (*entry)(void*);
  void* arg;
};

DWORD WINAPI ThreadTrampoline(LPVOID param) {
  ThreadStart start = *static_cast<ThreadStart*>(param);
  delete static_cast<ThreadStart*>(param);
  start.entry(start.arg);
  return 0;
}

class Win32Thread : public Thread {
 public:
  explicit Win32Thread(HANDLE thread) : thread_(thread) {}

  void Join() override {
    if (!thread_) return;
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }

 private:
  win32::UniqueHandle thread_;
};

class Win32Env final : public Env {
 public:
  int64_t NowSeconds() override {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - kTicksFrom1601To1970) / kTicksPerSecond;
  }

  // The time of the start: the clock less the time since the start, both
  // read here, rounded to the minute so that every process of one start
  // computes the same.
  BootId BootIdentity() override {
    BootId id;
    const int64_t up = static_cast<int64_t>(GetTickCount64() / 1000);
    id.started = NowSeconds() - up;
    const int64_t started = (id.started + 30) / 60;
    for (int i = 0; i < 8; ++i) id.bytes[i] = static_cast<uint8_t>(started >> (8 * i));
    id.bytes[8] = 'W';  // never all zeros
    id.known = true;
    return id;
  }

  LocalTime ToLocalTime(int64_t seconds) override {
    LocalTime result = {1970, 1, 1, 0, 0, 0};
    // FILETIME cannot hold times before 1601 or beyond its signed range.
    if (seconds < -kTicksFrom1601To1970 / kTicksPerSecond ||
        seconds > (INT64_MAX - kTicksFrom1601To1970) / kTicksPerSecond) {
      return result;
    }
    uint64_t ticks = static_cast<uint64_t>(seconds * kTicksPerSecond + kTicksFrom1601To1970);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&ft, &utc)) return result;
    // Converts with the daylight-saving rule in force at that time, not the
    // one in force now.
    SYSTEMTIME local;
    if (!SystemTimeToTzSpecificLocalTime(NULL, &utc, &local)) local = utc;
    result.year = local.wYear;
    result.month = local.wMonth;
    result.day = local.wDay;
    result.hour = local.wHour;
    result.minute = local.wMinute;
    result.second = local.wSecond;
    return result;
  }

  void SleepMs(int64_t ms) override { ::Sleep(ms <= 0 ? 0 : static_cast<DWORD>(ms)); }

  OsStatus ModuleFilePath(std::string* out) override {
    HMODULE module = NULL;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&ModuleAnchor), &module)) {
      return LastError("GetModuleHandleExA");
    }
    // A path that fills the buffer completely has been cut short; try again
    // with more room.
    for (DWORD size = MAX_PATH; size <= kMaxLongPath; size *= 2) {
      std::vector<char> buffer(size);
      DWORD length = GetModuleFileNameA(module, buffer.data(), size);
      if (length == 0) return LastError("GetModuleFileNameA");
      if (length < size) {
        out->assign(buffer.data(), length);
        return OsStatus();
      }
    }
    return OsStatus(ERROR_FILENAME_EXCED_RANGE, "GetModuleFileNameA");
  }

  std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                                const char* fallback, size_t size) override {
    if (size == 0) return std::string();
    // The system function takes a DWORD count; nothing read from a settings
    // file comes near that limit.
    DWORD capacity = size > 65536 ? 65536 : static_cast<DWORD>(size);
    std::vector<char> buffer(capacity);
    DWORD length = GetPrivateProfileStringA(section, key, fallback ? fallback : "", buffer.data(),
                                            capacity, file.c_str());
    if (length >= capacity) length = capacity - 1;
    return std::string(buffer.data(), length);
  }

  OsStatus ReadTextFile(const char* path, size_t limit, std::string* out) override {
    out->clear();
    win32::UniqueHandle file(CreateFileA(path, GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file) return OsStatus(GetLastError(), "CreateFileA", path);
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
      return OsStatus(ERROR_INVALID_NAME, "CreateFileA (not a regular file)", path);
    }
    char buffer[4096];
    while (out->size() < limit) {
      const size_t left = limit - out->size();
      const DWORD want = static_cast<DWORD>(left < sizeof(buffer) ? left : sizeof(buffer));
      DWORD got = 0;
      if (!ReadFile(file.get(), buffer, want, &got, NULL)) {
        return OsStatus(GetLastError(), "ReadFile", path);
      }
      if (got == 0) break;
      out->append(buffer, got);
    }
    return OsStatus();
  }

  OsStatus WideToNarrow(const char16_t* text, char* out, size_t out_size) override {
    if (out_size == 0) return OsStatus(ERROR_INSUFFICIENT_BUFFER, "WideCharToMultiByte");
    int capacity = out_size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(out_size);
    // char16_t and wchar_t are both UTF-16 code units on Windows.
    // No best fit: a character the code page lacks must not turn into a
    // look-alike (a fullwidth reverse solidus into a separator) and so name
    // another file.
    BOOL used_default = FALSE;
    int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<LPCWSTR>(text),
                                      -1, out, capacity, NULL, &used_default);
    if (written == 0 || used_default) {
      // Too small a buffer, or text the system cannot convert exactly.
      const OsStatus failed = written == 0
                                  ? LastError("WideCharToMultiByte")
                                  : OsStatus(ERROR_NO_UNICODE_TRANSLATION, "WideCharToMultiByte");
      out[0] = '\0';
      return failed;
    }
    return OsStatus();
  }

  OsStatus AbsolutePath(const char* path, std::string* out) override {
    out->clear();
    // "C:\..." or "C:/...", and UNC paths "\\server\share\..." (which also
    // covers the "\\?\" and "\\.\" forms).
    if ((IsDriveLetter(path[0]) && path[1] == ':' && IsSlash(path[2])) ||
        (IsSlash(path[0]) && IsSlash(path[1]))) {
      *out = path;
      return OsStatus();
    }
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
      DWORD length = GetFullPathNameA(path, static_cast<DWORD>(buffer.size()), buffer.data(), NULL);
      if (length == 0) return LastError("GetFullPathNameA", path);
      if (length < buffer.size()) {
        out->assign(buffer.data(), length);
        return OsStatus();
      }
      // Too small: `length` is the size needed, terminator included.
      buffer.resize(length);
    }
  }

  OsStatus GetFileKind(const char* path, FileInfo* info) override {
    *info = FileInfo();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
      return LastError(kFileSizeCall, path);
    }
    KindOf(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, info);
    info->modified = UnixSecondsOf(data.ftLastWriteTime);
    return OsStatus();
  }

  // The handle's information holds the attributes, the size and the
  // identity at once. A reparse point, or a file that cannot be opened even
  // for its attributes, is asked for its kind as GetFileKind asks.
  OsStatus GetFileKindAndId(const char* path, FileInfo* info) override {
    win32::UniqueHandle file = OpenForAttributes(path, false);
    BY_HANDLE_FILE_INFORMATION data;
    if (!file || !GetFileInformationByHandle(file.get(), &data)) return GetFileKind(path, info);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      const OsStatus status = GetFileKind(path, info);
      info->id = IdOf(data);
      return status;
    }
    *info = FileInfo();
    info->id = IdOf(data);
    KindOf(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, info);
    info->modified = UnixSecondsOf(data.ftLastWriteTime);
    return OsStatus();
  }

  OsStatus GetFileId(const char* path, bool follow_link, FileId* id) override {
    *id = FileId();
    win32::UniqueHandle file = OpenForAttributes(path, follow_link);
    if (!file) return LastError("CreateFileA", path);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) {
      return LastError("GetFileInformationByHandle", path);
    }
    *id = IdOf(info);
    return OsStatus();
  }

  bool IsDirectory(const char* path) override {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  // The folder itself is looked at without following a reparse point, then
  // searched by its UTF-16 name, so that no entry's name is turned into a
  // look-alike by the ANSI search; each name is converted back exactly, as
  // a client's UTF-16 path is, or not at all.
  OsStatus ReadFolder(const char* folder, bool follow_link, size_t limit, FileId* folder_id,
                      std::vector<FolderEntry>* entries) override {
    *folder_id = FileId();
    entries->clear();
    BY_HANDLE_FILE_INFORMATION own;
    {
      win32::UniqueHandle handle = OpenForAttributes(folder, follow_link);
      if (!handle) return LastError("CreateFileA", folder);
      if (!GetFileInformationByHandle(handle.get(), &own)) {
        return LastError("GetFileInformationByHandle", folder);
      }
    }
    if ((own.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (own.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return OsStatus(ERROR_DIRECTORY, "ReadFolder", folder);
    }
    std::string base(folder);
    if (!base.empty() && !IsSlash(base.back())) base += '\\';
    const int n = MultiByteToWideChar(CP_ACP, 0, (base + "*").c_str(), -1, NULL, 0);
    if (n <= 0) return LastError("MultiByteToWideChar", folder);
    std::vector<wchar_t> pattern(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, (base + "*").c_str(), -1, pattern.data(), n);
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW(pattern.data(), &found));
    if (search.get() == INVALID_HANDLE_VALUE) {
      const OsStatus failed = LastError("FindFirstFileW", folder);
      if (failed.code() != ERROR_FILE_NOT_FOUND) return failed;
    } else {
      do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) {
          continue;
        }
        FolderEntry entry;
        char narrow[MAX_PATH];
        if (WideToNarrow(reinterpret_cast<const char16_t*>(found.cFileName), narrow,
                         sizeof(narrow))
                .ok()) {
          entry.name = narrow;
        }
        const DWORD attributes = found.dwFileAttributes;
        entry.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (entry.link) {
          entry.info.kind = FileKind::kOther;
        } else {
          KindOf(attributes, found.nFileSizeHigh, found.nFileSizeLow, &entry.info);
        }
        entry.info.modified = UnixSecondsOf(found.ftLastWriteTime);
        if (!entry.link && !entry.name.empty()) {
          win32::UniqueHandle handle = OpenForAttributes((base + entry.name).c_str(), false);
          BY_HANDLE_FILE_INFORMATION data;
          if (handle && GetFileInformationByHandle(handle.get(), &data)) {
            entry.info.id = IdOf(data);
          }
        }
        entries->push_back(std::move(entry));
      } while (entries->size() < limit && FindNextFileW(search.get(), &found));
      const DWORD code = entries->size() < limit ? GetLastError() : ERROR_NO_MORE_FILES;
      if (code != ERROR_NO_MORE_FILES) {
        entries->clear();
        return OsStatus(code, "FindNextFileW", folder);
      }
    }
    *folder_id = IdOf(own);
    return OsStatus();
  }

  OsStatus OpenFolder(const char* path, std::unique_ptr<HeldFolder>* folder) override {
    folder->reset();
    win32::UniqueHandle handle(
        CreateFileA(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, NULL));
    if (!handle) return LastError("CreateFileA", path);
    return Win32HeldFolder::Hold(std::move(handle), path, folder);
  }

  OsStatus CreateDirectory(const char* path) override {
    return CreateDirectoryA(path, NULL) ? OsStatus() : LastError("CreateDirectoryA", path);
  }

  OsStatus DeleteFile(const char* path, DeleteResult* result) override {
    *result = DeleteResult::kDeleted;
    if (DeleteFileA(path)) return OsStatus();
    const OsStatus failed = LastError(kDeleteFileCall, path);
    *result = DeleteResultOf(failed.code());
    return failed;
  }

  // The parts are checked before the deletion; between the check and the
  // deletion only someone allowed to change the folders could swap a part.
  OsStatus DeleteFileBelow(const char* folder, const char* path, DeleteResult* result) override {
    *result = CheckBelow(folder, path, false);
    if (*result == DeleteResult::kOutside) return OsStatus();
    if (*result == DeleteResult::kFailed) {
      return OsStatus(ERROR_FILE_NOT_FOUND, kDeleteFileCall, path);
    }
    return DeleteFile(path, result);
  }

  bool IsNetworkFolder(const char* folder) override {
    if (IsSlash(folder[0]) && IsSlash(folder[1])) {
      // "\\?\C:\..." and "\\.\C:\..." are local; any other UNC path names a
      // server.
      return !((folder[2] == '?' || folder[2] == '.') && IsSlash(folder[3]) &&
               IsDriveLetter(folder[4]) && folder[5] == ':');
    }
    if (!IsDriveLetter(folder[0]) || folder[1] != ':') return false;
    const char root[4] = {folder[0], ':', '\\', '\0'};
    return GetDriveTypeA(root) == DRIVE_REMOTE;
  }

  // A service account's token (LocalSystem, LocalService, NetworkService).
  // A token that cannot be read counts as privileged: the stricter rules
  // apply.
  Privileges ProcessPrivileges() override {
    Privileges result;
    HANDLE raw = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
      result.elevated = true;
      return result;
    }
    win32::UniqueHandle token(raw);
    alignas(8) unsigned char buffer[256];
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &length)) {
      result.elevated = true;
      return result;
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    result.elevated = win32::IsServiceAccountSid(sid);
    if (IsValidSid(sid)) {
      // FNV-1a over the identifier's bytes.
      const unsigned char* bytes = static_cast<const unsigned char*>(sid);
      uint32_t h = 2166136261u;
      for (DWORD i = 0, n = GetLengthSid(sid); i < n; ++i) {
        h ^= bytes[i];
        h *= 16777619u;
      }
      result.user = h;
    }
    return result;
  }

  OsStatus WhoMayChange(const char* path, ChangeRights* rights, std::string* culprit) override {
    *culprit = path;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const OsStatus failed = LastError("GetFileAttributesA", path);
      *rights =
          failed.code() == ERROR_FILE_NOT_FOUND ? ChangeRights::kMissing : ChangeRights::kUnknown;
      return *rights == ChangeRights::kMissing ? OsStatus() : failed;
    }
    std::vector<unsigned char> self_buffer;
    const PSID self = ProcessUserSid(&self_buffer);
    LocalMemory installer;
    ConvertStringSidToSidA(kTrustedInstallerSid, installer.out());
    std::vector<std::string> checked = {path, FolderOf(path)};
    // Through a link, the folder of the file it leads to decides as well.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      const std::string final_path = FinalPath(path);
      if (final_path.empty()) {
        *rights = ChangeRights::kUnknown;
        return LastError("GetFinalPathNameByHandleA", path);
      }
      checked.push_back(FolderOf(final_path));
    }
    for (size_t i = 0; i < checked.size(); ++i) {
      OsStatus failure;
      *rights =
          RightsOfObject(checked[i], i > 0, self, static_cast<PSID>(installer.get()), &failure);
      if (*rights != ChangeRights::kOwnerOnly) {
        *culprit = checked[i];
        // A folder that went missing meanwhile cannot be judged.
        if (*rights == ChangeRights::kMissing && i > 0) *rights = ChangeRights::kUnknown;
        return *rights == ChangeRights::kUnknown ? failure : OsStatus();
      }
    }
    culprit->clear();
    return OsStatus();
  }

  bool ReadEnvironmentVariable(const char* name, std::string* out) override {
    char buffer[1024];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    if (n == 0 || n >= sizeof(buffer)) return false;
    out->assign(buffer, n);
    return true;
  }

  bool FolderHasEntries(const char* folder) override {
    std::string pattern(folder);
    if (!pattern.empty() && !IsSlash(pattern.back())) pattern += '\\';
    pattern += "*.*";

    WIN32_FIND_DATAA entry;
    FindHandle search(FindFirstFileA(pattern.c_str(), &entry));
    if (search.get() == INVALID_HANDLE_VALUE) return false;
    do {
      if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0) {
        return true;
      }
    } while (FindNextFileA(search.get(), &entry));
    return false;
  }

  // The removal is tried first: a read-only folder refuses it with access
  // denied, whether or not it is empty. Only then are its attributes
  // cleared, and put back when the folder stays after all.
  OsStatus RemoveFolderIfEmpty(const char* folder, FolderRemoval* result) override {
    *result = FolderRemoval::kRemoved;
    if (RemoveDirectoryA(folder)) return OsStatus();
    OsStatus failed = LastError("RemoveDirectoryA", folder);
    *result =
        failed.code() == ERROR_DIR_NOT_EMPTY ? FolderRemoval::kNotEmpty : FolderRemoval::kFailed;
    if (failed.code() != ERROR_ACCESS_DENIED) {
      return *result == FolderRemoval::kNotEmpty ? OsStatus() : failed;
    }
    const DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        !SetNormalAttributes(folder)) {
      return failed;
    }
    *result = FolderRemoval::kRemoved;
    if (RemoveDirectoryA(folder)) return OsStatus();
    failed = LastError("RemoveDirectoryA", folder);
    SetFileAttributesA(folder, attributes);
    *result =
        failed.code() == ERROR_DIR_NOT_EMPTY ? FolderRemoval::kNotEmpty : FolderRemoval::kFailed;
    return *result == FolderRemoval::kNotEmpty ? OsStatus() : failed;
  }

  OsStatus RemoveFolderIfEmptyBelow(const char* folder, const char* path,
                                    FolderRemoval* result) override {
    if (CheckBelow(folder, path, true) != DeleteResult::kDeleted) {
      *result = FolderRemoval::kFailed;
      return OsStatus(ERROR_DIRECTORY, "RemoveDirectoryA (not a folder below the folder)", path);
    }
    return RemoveFolderIfEmpty(path, result);
  }

  OsStatus OpenAppendFile(const char* path, std::unique_ptr<AppendFile>* file) override {
    file->reset();
    win32::UniqueHandle handle;
    const OsStatus opened = OpenOwnFile(path, &handle);
    if (opened.ok()) *file = std::make_unique<Win32AppendFile>(std::move(handle), path);
    return opened;
  }

  OsStatus AppendToFile(const char* path, const char* data, size_t size) override {
    win32::UniqueHandle file;
    const OsStatus opened = OpenOwnFile(path, &file);
    return opened.ok() ? AppendLocked(file.get(), data, size, path) : opened;
  }

  OsStatus WriteOwnFile(const char* path, const char* data, size_t size) override {
    win32::UniqueHandle file;
    const OsStatus opened = OpenOwnFile(path, &file);
    if (!opened.ok()) return opened;
    if (size > 0x7FFFFFFF) return OsStatus(ERROR_INVALID_PARAMETER, "WriteFile", path);
    if (!SetEndOfFile(file.get())) return LastError("SetEndOfFile", path);
    DWORD written = 0;
    if (!WriteFile(file.get(), data, static_cast<DWORD>(size), &written, NULL)) {
      return LastError("WriteFile", path);
    }
    return written == size ? OsStatus() : OsStatus(ERROR_WRITE_FAULT, "WriteFile", path);
  }

  OsStatus OpenSharedFile(const std::string& path, const std::string& mapping_name, size_t size,
                          const std::string& magic, std::unique_ptr<SharedFile>* file) override {
    return win32::MapSharedFile(path, mapping_name, size, magic, file);
  }

  OsStatus OpenNamedMutex(const std::string& name, const std::string&,
                          std::unique_ptr<NamedMutex>* mutex) override {
    return win32::OpenIndexMutex(name, mutex);
  }

  OsStatus OpenNamedSemaphore(const std::string& name, const std::string&,
                              std::unique_ptr<NamedSemaphore>* semaphore) override {
    return win32::OpenIndexSemaphore(name, semaphore);
  }

  OsStatus NewEvent(std::unique_ptr<Event>* event) override { return win32::NewLocalEvent(event); }

  OsStatus StartThread(void (*entry)(void*), void* arg, std::unique_ptr<Thread>* thread) override {
    thread->reset();
    ThreadStart* start = new ThreadStart{entry, arg};
    HANDLE handle = CreateThread(NULL, 0, ThreadTrampoline, start, 0, NULL);
    if (handle == NULL) {
      const OsStatus failed = LastError("CreateThread");
      delete start;
      return failed;
    }
    *thread = std::make_unique<Win32Thread>(handle);
    return OsStatus();
  }
};

}  // namespace

Env& DefaultEnv() {
  // Never destroyed: threads that outlive static destruction may still log.
  // Built in static storage rather than on the heap, so that a host that
  // unloads the library leaves no allocation behind.
  alignas(Win32Env) static unsigned char storage[sizeof(Win32Env)];
  static Win32Env* const env = new (storage) Win32Env;
  return *env;
}

}  // namespace platform
}  // namespace stow
