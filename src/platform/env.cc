// The default Env, which hands every call to this build's platform layer,
// and the switch that lets a test put another in its place.
#include <atomic>
#include <new>
#include <string>

#include "platform/native.h"
#include "platform/platform.h"

namespace stow {

OsError::OsError(uint32_t code, const char* call, const std::string& path)
    : code_(code), call_(call != nullptr ? call : ""), path_(path) {
  message_ = call_;
  if (!path_.empty()) message_ += (message_.empty() ? "" : " ") + path_;
  message_ += ": " + platform::ErrorText(code_);
}

namespace platform {
namespace {

class NativeEnv final : public Env {
 public:
  int64_t NowSeconds() override { return native::NowSeconds(); }
  LocalTime ToLocalTime(int64_t seconds) override { return native::ToLocalTime(seconds); }
  void SleepMs(int64_t ms) override { native::SleepMs(ms); }
  bool ModuleFilePath(std::string* out) override { return native::ModuleFilePath(out); }
  std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                                const char* fallback, size_t size) override {
    return native::ReadProfileString(file, section, key, fallback, size);
  }
  bool WideToNarrow(const char16_t* text, char* out, size_t out_size) override {
    return native::WideToNarrow(text, out, out_size);
  }
  bool IsAbsolutePath(const char* path, std::string* out) override {
    return native::IsAbsolutePath(path, out);
  }
  FileKind GetFileKind(const char* path, uint64_t* size, uint32_t* error) override {
    return native::GetFileKind(path, size, error);
  }
  DeleteResult DeleteFileBelow(const char* folder, const char* path, uint32_t* error) override {
    return native::DeleteFileBelow(folder, path, error);
  }
  bool IsNetworkFolder(const char* folder) override { return native::IsNetworkFolder(folder); }
  Privileges ProcessPrivileges() override { return native::ProcessPrivileges(); }
  ChangeRights WhoMayChange(const char* path, std::string* culprit, uint32_t* error) override {
    return native::WhoMayChange(path, culprit, error);
  }
  bool ReadEnvironmentVariable(const char* name, std::string* out) override {
    return native::ReadEnvironmentVariable(name, out);
  }
  bool WriteOwnFile(const char* path, const char* data, size_t size) override {
    return native::WriteOwnFile(path, data, size);
  }
  FileKind GetFileKindAndId(const char* path, uint64_t* size, uint32_t* error,
                            FileId* id) override {
    return native::GetFileKindAndId(path, size, error, id);
  }
  bool GetFileId(const char* path, bool follow_link, FileId* id) override {
    return native::GetFileId(path, follow_link, id);
  }
  bool IsDirectory(const char* path) override { return native::IsDirectory(path); }
  uint32_t CreateDirectory(const char* path) override { return native::CreateDirectory(path); }
  DeleteResult DeleteFile(const char* path, uint32_t* error) override {
    return native::DeleteFile(path, error);
  }
  bool FolderHasEntries(const char* folder) override { return native::FolderHasEntries(folder); }
  FolderRemoval RemoveFolderIfEmpty(const char* folder) override {
    return native::RemoveFolderIfEmpty(folder);
  }
  FolderRemoval RemoveFolderIfEmptyBelow(const char* folder, const char* path) override {
    return native::RemoveFolderIfEmptyBelow(folder, path);
  }
  std::unique_ptr<AppendFile> OpenAppendFile(const char* path) override {
    return native::OpenAppendFile(path);
  }
  bool AppendToFile(const char* path, const char* data, size_t size) override {
    return native::AppendToFile(path, data, size);
  }
  std::unique_ptr<SharedFile> OpenSharedFile(const std::string& path,
                                             const std::string& mapping_name, size_t size,
                                             const std::string& magic) override {
    return native::OpenSharedFile(path, mapping_name, size, magic);
  }
  std::unique_ptr<NamedMutex> OpenNamedMutex(const std::string& name,
                                             const std::string& index_path) override {
    return native::OpenNamedMutex(name, index_path);
  }
  std::unique_ptr<NamedSemaphore> OpenNamedSemaphore(const std::string& name,
                                                     const std::string& index_path) override {
    return native::OpenNamedSemaphore(name, index_path);
  }
  std::unique_ptr<Event> NewEvent() override { return native::NewEvent(); }
  std::unique_ptr<Thread> StartThread(void (*entry)(void*), void* arg) override {
    return native::StartThread(entry, arg);
  }
};

std::atomic<Env*> g_replacement{nullptr};

}  // namespace

Env& DefaultEnv() {
  // Never destroyed: threads that outlive static destruction may still log.
  // Built in static storage rather than on the heap, so that a host that
  // unloads the library leaves no allocation behind.
  alignas(NativeEnv) static unsigned char storage[sizeof(NativeEnv)];
  static NativeEnv* const env = new (storage) NativeEnv;
  return *env;
}

Env& env() {
  Env* replacement = g_replacement.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : DefaultEnv();
}

void SetEnvForTesting(Env* replacement) {
  g_replacement.store(replacement, std::memory_order_release);
}

bool IsNotFound(uint32_t code) {
#ifdef _WIN32
  return code == 2 || code == 3;  // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND
#else
  return code == 2;  // ENOENT
#endif
}

bool IsTopFolder(const char* path, size_t length) {
#ifdef _WIN32
  const bool drive = length >= 2 && path[1] == ':';
  if (drive && length == 2) return true;
  if (drive && length == 3) return path[2] == '\\' || path[2] == '/';
  return length == 1 && (path[0] == '\\' || path[0] == '/');
#else
  return length == 1 && path[0] == '/';
#endif
}

void SplitEntryPath(const char* path, std::string* folder, std::string* name) {
  const std::string text(path);
#ifdef _WIN32
  // "C:name" is a name in the current folder of drive C.
  size_t cut = text.find_last_of("\\/");
  if (cut == std::string::npos && text.size() >= 2 && text[1] == ':') cut = 1;
#else
  const size_t cut = text.find_last_of('/');
#endif
  if (cut == std::string::npos) {
    *folder = ".";
    *name = text;
  } else {
    // The separator stays: "/a/" and "C:\" open the folder, "" would not.
    *folder = text.substr(0, cut + 1);
    *name = text.substr(cut + 1);
  }
#ifdef _WIN32
  // "name:stream" and "name::$DATA" are streams of the file "name".
  const size_t stream = name->find(':');
  if (stream != std::string::npos) name->resize(stream);
  while (!name->empty() && (name->back() == '.' || name->back() == ' ')) name->pop_back();
#endif
}

}  // namespace platform
}  // namespace stow
