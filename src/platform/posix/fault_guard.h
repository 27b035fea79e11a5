// Keeps a process alive when another process cuts the index file short while
// it is mapped. Touching a mapped page past the end of its file raises
// SIGBUS, whose default action kills the process. A handler installed once
// per process maps a page of zeros over the faulting page of a registered
// view, notes the fault and returns, so that the interrupted access reads
// zeros and goes on; faults anywhere else go to the handler the host had.
#pragma once

#include <cstddef>

namespace stow {
namespace platform {
namespace posix {

// Installs the handler, once per process; later calls do nothing. The
// handler is never removed.
void InstallFaultHandler();

// Adds the view [begin, begin + size) to the views the handler repairs.
// Returns its slot, or -1 when every slot is taken (the view is then not
// protected).
int RegisterView(void* begin, size_t size);

// Takes the view of `slot` out again. Safe with -1.
void UnregisterView(int slot);

// True when a fault was repaired in the view of `slot` since the last call.
bool TakeFault(int slot);

}  // namespace posix
}  // namespace platform
}  // namespace stow
