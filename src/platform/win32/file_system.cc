// Paths, files and folders on Win32.

#include "platform/win32/handle.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/native.h"
#include "platform/win32/checks.h"
#include "platform/win32/own_file.h"

namespace stow {
namespace platform {
namespace native {

namespace {

bool IsSlash(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

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

}  // namespace

bool IsAbsolutePath(const char* path, std::string* out) {
  // "C:\..." or "C:/...", and UNC paths "\\server\share\..." (which also
  // covers the "\\?\" and "\\.\" forms).
  if (IsDriveLetter(path[0]) && path[1] == ':' && IsSlash(path[2])) {
    return true;
  }
  if (IsSlash(path[0]) && IsSlash(path[1])) return true;

  out->clear();
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetFullPathNameA(path, static_cast<DWORD>(buffer.size()), buffer.data(), NULL);
    if (length == 0) return false;
    if (length < buffer.size()) {
      out->assign(buffer.data(), length);
      return false;
    }
    // Too small: `length` is the size needed, terminator included.
    buffer.resize(length);
  }
}

FileKind GetFileKind(const char* path, uint64_t* size, uint32_t* error) {
  *size = 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    if (error != nullptr) *error = GetLastError();
    return FileKind::kMissing;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::kDirectory;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return FileKind::kOther;
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return FileKind::kRegular;
}

namespace {

// Opens `path` for reading its attributes only, which no sharing mode of
// another opener refuses; a folder too, and a final reparse point itself
// unless `follow_link`.
win32::UniqueHandle OpenForAttributes(const char* path, bool follow_link) {
  const DWORD flags =
      FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
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

}  // namespace

// The handle's information holds the attributes, the size and the identity
// at once. A reparse point, or a file that cannot be opened even for its
// attributes, is asked for its kind as GetFileKind asks.
FileKind GetFileKindAndId(const char* path, uint64_t* size, uint32_t* error, FileId* id) {
  *id = FileId();
  *size = 0;
  win32::UniqueHandle file = OpenForAttributes(path, false);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file.get(), &info)) {
    return GetFileKind(path, size, error);
  }
  *id = IdOf(info);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return GetFileKind(path, size, error);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::kDirectory;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return FileKind::kOther;
  *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return FileKind::kRegular;
}

bool GetFileId(const char* path, bool follow_link, FileId* id) {
  *id = FileId();
  win32::UniqueHandle file = OpenForAttributes(path, follow_link);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
  *id = IdOf(info);
  return true;
}

bool IsDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t CreateDirectory(const char* path) {
  if (CreateDirectoryA(path, NULL)) return 0;
  return GetLastError();
}

DeleteResult DeleteFile(const char* path, uint32_t* error) {
  if (DeleteFileA(path)) {
    if (error) *error = 0;
    return DeleteResult::kDeleted;
  }
  DWORD code = GetLastError();
  if (error) *error = code;
  return DeleteResultOf(code);
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

namespace {

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

}  // namespace

// The parts are checked before the deletion; between the check and the
// deletion only someone allowed to change the folders could swap a part.
DeleteResult DeleteFileBelow(const char* folder, const char* path, uint32_t* error) {
  const DeleteResult reached = CheckBelow(folder, path, false);
  if (reached != DeleteResult::kDeleted) {
    if (reached == DeleteResult::kFailed) *error = ERROR_FILE_NOT_FOUND;
    return reached;
  }
  return DeleteFile(path, error);
}

FolderRemoval RemoveFolderIfEmptyBelow(const char* folder, const char* path) {
  if (CheckBelow(folder, path, true) != DeleteResult::kDeleted) return FolderRemoval::kFailed;
  return RemoveFolderIfEmpty(path);
}

bool IsNetworkFolder(const char* folder) {
  if (IsSlash(folder[0]) && IsSlash(folder[1])) {
    // "\\?\C:\..." and "\\.\C:\..." are local; any other UNC path names a server.
    return !((folder[2] == '?' || folder[2] == '.') && IsSlash(folder[3]) &&
             IsDriveLetter(folder[4]) && folder[5] == ':');
  }
  if (!IsDriveLetter(folder[0]) || folder[1] != ':') return false;
  const char root[4] = {folder[0], ':', '\\', '\0'};
  return GetDriveTypeA(root) == DRIVE_REMOTE;
}

// --------------------------------------------------- who may change it ---

namespace {

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
// and access list.
ChangeRights RightsOfObject(const std::string& path, bool folder, PSID self, PSID installer,
                            uint32_t* error) {
  PSID owner = NULL;
  PACL dacl = NULL;
  LocalMemory descriptor;
  const DWORD rc =
      GetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, NULL,
                            &dacl, NULL, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.out()));
  if (rc != ERROR_SUCCESS) {
    *error = rc;
    return rc == ERROR_FILE_NOT_FOUND ? ChangeRights::kMissing : ChangeRights::kUnknown;
  }
  std::vector<win32::AccessEntry> entries;
  if (dacl != NULL) {
    ACL_SIZE_INFORMATION size;
    if (!GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) {
      *error = GetLastError();
      return ChangeRights::kUnknown;
    }
    for (DWORD i = 0; i < size.AceCount; ++i) {
      void* ace = NULL;
      if (!GetAce(dacl, i, &ace)) {
        *error = GetLastError();
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

}  // namespace

ChangeRights WhoMayChange(const char* path, std::string* culprit, uint32_t* error) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *error = GetLastError();
    *culprit = path;
    return *error == ERROR_FILE_NOT_FOUND ? ChangeRights::kMissing : ChangeRights::kUnknown;
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
      *error = GetLastError();
      *culprit = path;
      return ChangeRights::kUnknown;
    }
    checked.push_back(FolderOf(final_path));
  }
  for (size_t i = 0; i < checked.size(); ++i) {
    const ChangeRights rights =
        RightsOfObject(checked[i], i > 0, self, static_cast<PSID>(installer.get()), error);
    if (rights != ChangeRights::kOwnerOnly) {
      *culprit = checked[i];
      // A folder that went missing meanwhile cannot be judged.
      return rights == ChangeRights::kMissing && i > 0 ? ChangeRights::kUnknown : rights;
    }
  }
  return ChangeRights::kOwnerOnly;
}

namespace {

// Opens a file the library writes (the log, the dump) without following a
// reparse point or a link hidden as a plain file as its last part (and
// without creating anything where a dangling one points), and only when it
// is a plain disk file with no other name.
win32::UniqueHandle OpenOwnFile(const char* path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // Made open to every user, as the index is: the clients of every account
  // write the same log. An inherited access list would depend on the folder
  // (a subfolder of ProgramData, for one, lets only the file's creator
  // write it). The list is set again through the handle since Wine turns
  // the one given at the creation into the Unix mode less the umask, as a
  // POSIX open does; only a later change reaches the mode.
  std::unique_ptr<win32::OpenToEveryone> everyone;
  try {
    everyone = std::make_unique<win32::OpenToEveryone>();
  } catch (const OsError&) {
    // Made with the folder's list, then.
  }
  DWORD error = 0;
  const char* call = nullptr;
  bool created = false;
  win32::UniqueHandle file = win32::OpenOwnPath(
      path, GENERIC_WRITE, share, everyone != nullptr ? everyone->get() : NULL,
      FILE_FLAG_OPEN_REPARSE_POINT, &error, &call, &created, GENERIC_WRITE | WRITE_DAC);
  if (!file) {
    SetLastError(error);
    return file;
  }
  if (created) {
    SetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks > 1) {
    file.reset();
  }
  return file;
}

}  // namespace

bool WriteOwnFile(const char* path, const char* data, size_t size) {
  win32::UniqueHandle file = OpenOwnFile(path);
  if (!file || size > 0x7FFFFFFF) return false;
  DWORD written = 0;
  return SetEndOfFile(file.get()) &&
         WriteFile(file.get(), data, static_cast<DWORD>(size), &written, NULL) && written == size;
}

bool FolderHasEntries(const char* folder) {
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

namespace {

// Clears a folder's attributes so that it can be removed (read-only folders
// included).
bool SetNormalAttributes(const char* folder) {
  return SetFileAttributesA(folder, FILE_ATTRIBUTE_NORMAL) != 0;
}

}  // namespace

// The removal is tried first: a read-only folder refuses it with access
// denied, whether or not it is empty. Only then are its attributes cleared,
// and put back when the folder stays after all.
FolderRemoval RemoveFolderIfEmpty(const char* folder) {
  if (RemoveDirectoryA(folder)) return FolderRemoval::kRemoved;
  DWORD code = GetLastError();
  if (code == ERROR_DIR_NOT_EMPTY) return FolderRemoval::kNotEmpty;
  if (code != ERROR_ACCESS_DENIED) return FolderRemoval::kFailed;
  const DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetNormalAttributes(folder)) {
    return FolderRemoval::kFailed;
  }
  if (RemoveDirectoryA(folder)) return FolderRemoval::kRemoved;
  code = GetLastError();
  SetFileAttributesA(folder, attributes);
  return code == ERROR_DIR_NOT_EMPTY ? FolderRemoval::kNotEmpty : FolderRemoval::kFailed;
}

namespace {

// Appenders take turns on a lock of one byte far beyond any real end of
// file: a seek to the end and the write that follows are not one step, so
// without it two processes could write at the same offset. (Append-only
// access would make the write one step on Windows, but Wine emulates it
// with a seek and a write and loses lines under contention.) The lock is
// tried without blocking and retried for a bounded time: a line is written
// under the lock or not at all, never unlocked.
bool AppendLocked(HANDLE file, const char* data, size_t size) {
  if (size > 0x10000000) return false;  // one write; a log line is far shorter
  OVERLAPPED lock_at = {};
  lock_at.Offset = 0xFFFFFFFF;
  lock_at.OffsetHigh = 0x7FFFFFFF;
  constexpr int kLockAttempts = 5000;  // about 5 s of 1 ms pauses
  for (int attempt = 0;; ++attempt) {
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lock_at)) {
      break;
    }
    if (attempt + 1 >= kLockAttempts) return false;
    Sleep(attempt < 16 ? 0 : 1);
  }
  LARGE_INTEGER zero = {};
  DWORD written = 0;
  const bool ok = SetFilePointerEx(file, zero, NULL, FILE_END) &&
                  WriteFile(file, data, static_cast<DWORD>(size), &written, NULL) &&
                  written == size;
  UnlockFileEx(file, 0, 1, 0, &lock_at);
  return ok;
}

class Win32AppendFile final : public AppendFile {
 public:
  explicit Win32AppendFile(win32::UniqueHandle file) : file_(std::move(file)) {}
  bool Append(const char* data, size_t size) override {
    return AppendLocked(file_.get(), data, size);
  }

 private:
  win32::UniqueHandle file_;
};

}  // namespace

bool AppendToFile(const char* path, const char* data, size_t size) {
  win32::UniqueHandle file = OpenOwnFile(path);
  return file && AppendLocked(file.get(), data, size);
}

std::unique_ptr<AppendFile> OpenAppendFile(const char* path) {
  win32::UniqueHandle file = OpenOwnFile(path);
  if (!file) return nullptr;
  return std::make_unique<Win32AppendFile>(std::move(file));
}

}  // namespace native
}  // namespace platform
}  // namespace stow
