// The shared system objects of the Win32 layer, which Win32Env opens: the
// mapped index file (shared_file.cc), the index lock, the eviction
// semaphore and the process-local event (sync.cc).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace stow {
namespace platform {
namespace win32 {

// Env::OpenSharedFile.
OsStatus MapSharedFile(const std::string& path, const std::string& mapping_name, size_t size,
                       const std::string& magic, std::unique_ptr<SharedFile>* file);
// Env::OpenNamedMutex and Env::OpenNamedSemaphore: kernel objects named
// after `name`.
OsStatus OpenIndexMutex(const std::string& name, std::unique_ptr<NamedMutex>* mutex);
OsStatus OpenIndexSemaphore(const std::string& name, std::unique_ptr<NamedSemaphore>* semaphore);
OsStatus NewLocalEvent(std::unique_ptr<Event>* event);

}  // namespace win32
}  // namespace platform
}  // namespace stow
