// The shared index file on Win32: a named file mapping over the file.

#include "platform/win32/handle.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/checks.h"
#include "platform/win32/objects.h"
#include "platform/win32/own_file.h"

namespace stow {
namespace platform {

namespace {

class Win32SharedFile : public SharedFile {
 public:
  Win32SharedFile(win32::UniqueHandle file, win32::UniqueHandle mapping, uint8_t* view, size_t size,
                  bool grown)
      : file_(std::move(file)), mapping_(std::move(mapping)), view_(view), size_(size),
        grown_(grown) {}

  ~Win32SharedFile() override {
    UnmapViewOfFile(view_);
    // The handles close after the view: mapping first, then the file.
  }

  uint8_t* data() override { return view_; }
  size_t size() const override { return size_; }

  // FlushViewOfFile only starts writing the view's pages; FlushFileBuffers
  // waits until the file's data, those pages included, is on the disk.
  bool Flush() override {
    return FlushViewOfFile(view_, 0) != 0 && FlushFileBuffers(file_.get()) != 0;
  }
  bool GrownAtOpen() const override { return grown_; }

 private:
  // Declared in the order they were obtained, so that they are released in
  // the reverse order.
  win32::UniqueHandle file_;
  win32::UniqueHandle mapping_;
  uint8_t* view_;
  size_t size_;
  bool grown_;
};

}  // namespace

namespace win32 {

uint32_t IndexFileRefusal(uint32_t attributes, uint32_t links, bool carries_magic) {
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return ERROR_ACCESS_DENIED;
  }
  if (links > 1 && !carries_magic) return ERROR_TOO_MANY_LINKS;
  return 0;
}

}  // namespace win32

namespace win32 {
namespace {

OsStatus LastError(const char* call, const std::string& path) {
  const DWORD code = GetLastError();
  return OsStatus(code != 0 ? code : ERROR_GEN_FAILURE, call, path);
}

// True when the file starts with `magic`; reads without moving the file
// pointer that anyone else relies on (nobody else has this handle).
bool StartsWith(HANDLE file, const std::string& magic) {
  if (magic.empty()) return true;
  std::string head(magic.size(), '\0');
  OVERLAPPED at = {};
  DWORD read = 0;
  return ReadFile(file, &head[0], static_cast<DWORD>(head.size()), &read, &at) &&
         read == head.size() && head == magic;
}

// Gives every page of the first `size` bytes a block on disk when the file
// system says some are missing (a sparse file: Wine grows files that way).
// A page that reads as zeros is written back as zeros, which takes its block;
// the rest already has one. Only a file with missing blocks is walked (a new
// index, or one someone made sparse), and only a write by another process
// into a page of zeros between the read and the write here could be lost.
// 0 or the system's code.
DWORD ReserveBlocks(HANDLE file, uint64_t size) {
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) {
    return GetLastError();
  }
  if (static_cast<uint64_t>(standard.AllocationSize.QuadPart) >= size) return 0;
  constexpr DWORD kPage = 4096;
  std::vector<char> chunk(16 * kPage);
  const std::vector<char> zeros(kPage, 0);
  for (uint64_t at = 0; at < size; at += chunk.size()) {
    const DWORD want = static_cast<DWORD>(size - at < chunk.size() ? size - at : chunk.size());
    OVERLAPPED from = {};
    from.Offset = static_cast<DWORD>(at);
    from.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(file, chunk.data(), want, &got, &from)) {
      const DWORD error = GetLastError();
      if (error != ERROR_HANDLE_EOF) return error;
      got = 0;
    }
    std::fill(chunk.begin() + got, chunk.end(), '\0');  // past the end: to be written
    for (DWORD page = 0; page < want; page += kPage) {
      const DWORD n = want - page < kPage ? want - page : kPage;
      if (std::memcmp(chunk.data() + page, zeros.data(), n) != 0) continue;
      OVERLAPPED to = {};
      to.Offset = static_cast<DWORD>(at + page);
      to.OffsetHigh = static_cast<DWORD>((at + page) >> 32);
      DWORD written = 0;
      if (!WriteFile(file, zeros.data(), n, &written, &to)) return GetLastError();
      if (written != n) return ERROR_DISK_FULL;
    }
  }
  return 0;
}

// An open that fails after it began to reserve the file's space (a full
// disk) gives back what it added: the file returns to the length it had, a
// new file to zero bytes, and the disk space goes back to the volume. The
// file itself stays: another process may have opened the new name
// meanwhile, and deleting it would leave that process on a file nobody else
// finds. A process that had grown the file meanwhile finds it cut short at
// its next lock and grows it back.
class GiveBackOnFailure {
 public:
  GiveBackOnFailure(HANDLE file, LONGLONG length) : file_(file), length_(length) {}
  ~GiveBackOnFailure() {
    if (file_ == NULL) return;
    LARGE_INTEGER now;
    if (!GetFileSizeEx(file_, &now) || now.QuadPart <= length_) return;
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = length_;
    SetFileInformationByHandle(file_, FileEndOfFileInfo, &end, sizeof(end));
    // Space reserved past the new end goes back too.
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = length_;
    SetFileInformationByHandle(file_, FileAllocationInfo, &allocation, sizeof(allocation));
  }
  GiveBackOnFailure(const GiveBackOnFailure&) = delete;
  GiveBackOnFailure& operator=(const GiveBackOnFailure&) = delete;
  void Keep() { file_ = NULL; }

 private:
  HANDLE file_;
  LONGLONG length_;
};

}  // namespace

OsStatus MapSharedFile(const std::string& path, const std::string& mapping_name, size_t size,
                       const std::string& magic, std::unique_ptr<SharedFile>* out) {
  out->reset();
  win32::OpenToEveryone access;
  if (!access.status().ok()) return access.status();

  // The reparse point itself is opened, never what it points to: a link (or
  // a dangling one) is refused below and nothing is created where it points.
  // A link the file system shows as a plain file is refused by its final
  // path.
  DWORD open_error = 0;
  const char* open_call = nullptr;
  win32::UniqueHandle file = win32::OpenOwnPath(
      path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, access.get(),
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &open_error, &open_call);
  if (!file) return OsStatus(open_error, open_call, path);

  // Devices, pipes and consoles open fine by name but cannot hold an index.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    return OsStatus(ERROR_ACCESS_DENIED, "CreateFileA (not a disk file)", path);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) {
    return LastError("GetFileInformationByHandle", path);
  }
  // A second name of someone else's file: growing and formatting it would
  // destroy that file. An index already in use may carry any number of links.
  const bool carries_magic = info.nNumberOfLinks > 1 && StartsWith(file.get(), magic);
  if (const uint32_t refusal =
          win32::IndexFileRefusal(info.dwFileAttributes, info.nNumberOfLinks, carries_magic)) {
    return OsStatus(refusal, "CreateFileA (not a plain file of its own)", path);
  }

  // Reserve the disk space on every open, so that a sparse file of the right
  // length on a full disk fails here rather than with a page fault on the
  // first access. Never less than the file's length: that would cut it.
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.get(), &length)) return LastError("GetFileSizeEx", path);
  // Declared before the mapping, so that it acts after the mapping is
  // closed (a mapped file cannot be cut).
  GiveBackOnFailure give_back(file.get(), length.QuadPart);
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart =
      length.QuadPart > static_cast<LONGLONG>(size) ? length.QuadPart : static_cast<LONGLONG>(size);
  // Where the file system cannot reserve this way, the blocks are written.
  SetFileInformationByHandle(file.get(), FileAllocationInfo, &allocation, sizeof(allocation));
  if (const DWORD error = ReserveBlocks(file.get(), size)) {
    return OsStatus(error, "WriteFile (reserving the index)", path);
  }

  // A mapping larger than the file grows the file to the mapping's size; a
  // file that is already longer keeps its length. When another process
  // created the named mapping first, that mapping is opened as it is.
  uint64_t wanted = size;
  win32::UniqueHandle mapping(
      CreateFileMappingA(file.get(), access.get(), PAGE_READWRITE, static_cast<DWORD>(wanted >> 32),
                         static_cast<DWORD>(wanted), win32::ObjectName(mapping_name)));
  if (!mapping) return LastError("CreateFileMappingA", path);

  // A length of 0 maps the whole mapping, whatever size it was created with.
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == NULL) return LastError("MapViewOfFile", path);

  // A mapping made earlier by a process that asked for fewer bytes cannot
  // serve this one: its view would end before `size`.
  MEMORY_BASIC_INFORMATION region;
  DWORD error = ERROR_SUCCESS;
  const char* call = "VirtualQuery";
  if (VirtualQuery(view, &region, sizeof(region)) == 0) {
    error = GetLastError();
  } else if (region.RegionSize < size) {
    error = ERROR_INCORRECT_SIZE;
    call = "MapViewOfFile (mapping too small)";
  }
  if (error != ERROR_SUCCESS) {
    UnmapViewOfFile(view);
    return OsStatus(error, call, path);
  }

  give_back.Keep();
  out->reset(new Win32SharedFile(std::move(file), std::move(mapping), static_cast<uint8_t*>(view),
                                 size, length.QuadPart < static_cast<LONGLONG>(size)));
  return OsStatus();
}

}  // namespace win32
}  // namespace platform
}  // namespace stow
