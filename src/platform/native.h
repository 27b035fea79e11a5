// The platform's own implementation of each Env call, provided by exactly
// one of posix/ and win32/. Only platform/ includes this header: the core
// reaches these functions through env(), never directly. Each function has
// the contract of the Env call of the same name.
#pragma once

#include "platform/platform.h"

namespace stow {
namespace platform {
namespace native {

int64_t NowSeconds();
LocalTime ToLocalTime(int64_t seconds);
void SleepMs(int64_t ms);
bool ModuleFilePath(std::string* out);
std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                              const char* fallback, size_t size);
bool WideToNarrow(const char16_t* text, char* out, size_t out_size);
bool IsAbsolutePath(const char* path, std::string* out);
bool IsDirectory(const char* path);
FileKind GetFileKind(const char* path, uint64_t* size, uint32_t* error);
FileKind GetFileKindAndId(const char* path, uint64_t* size, uint32_t* error, FileId* id);
bool GetFileId(const char* path, bool follow_link, FileId* id);
DeleteResult DeleteFileBelow(const char* folder, const char* path, uint32_t* error);
bool IsNetworkFolder(const char* folder);
Privileges ProcessPrivileges();
ChangeRights WhoMayChange(const char* path, std::string* culprit, uint32_t* error);
bool ReadEnvironmentVariable(const char* name, std::string* out);
bool WriteOwnFile(const char* path, const char* data, size_t size);
uint32_t CreateDirectory(const char* path);
DeleteResult DeleteFile(const char* path, uint32_t* error);
bool FolderHasEntries(const char* folder);
FolderRemoval RemoveFolderIfEmpty(const char* folder);
FolderRemoval RemoveFolderIfEmptyBelow(const char* folder, const char* path);
std::unique_ptr<AppendFile> OpenAppendFile(const char* path);
bool AppendToFile(const char* path, const char* data, size_t size);
std::unique_ptr<SharedFile> OpenSharedFile(const std::string& path, const std::string& mapping_name,
                                           size_t size, const std::string& magic);
// The outcome a failed deletion's system code means (kRefused or kFailed).
DeleteResult DeleteResultOf(uint32_t code);
std::unique_ptr<NamedMutex> OpenNamedMutex(const std::string& name, const std::string& index_path);
std::unique_ptr<NamedSemaphore> OpenNamedSemaphore(const std::string& name,
                                                   const std::string& index_path);
std::unique_ptr<Event> NewEvent();
std::unique_ptr<Thread> StartThread(void (*entry)(void*), void* arg);

}  // namespace native
}  // namespace platform
}  // namespace stow
