// The shared system objects of the POSIX layer, which PosixEnv opens: the
// mapped index file (shared_file.cc), the index lock, the eviction
// semaphore and the process-local event (sync.cc).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace stow {
namespace platform {
namespace posix {

// Env::OpenSharedFile.
OsStatus MapSharedFile(const std::string& path, size_t size, const std::string& magic,
                       std::unique_ptr<SharedFile>* file);
// Env::OpenNamedMutex and Env::OpenNamedSemaphore: locks on the index file.
OsStatus OpenIndexMutex(const std::string& index_path, std::unique_ptr<NamedMutex>* mutex);
OsStatus OpenIndexSemaphore(const std::string& index_path,
                            std::unique_ptr<NamedSemaphore>* semaphore);
std::unique_ptr<Event> NewLocalEvent();

}  // namespace posix
}  // namespace platform
}  // namespace stow
