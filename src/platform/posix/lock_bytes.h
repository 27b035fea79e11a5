// Where the POSIX layer locks the index file. Other programs that take part
// in the locking (the test client, for one) include this header rather than
// copying the numbers.
#pragma once

namespace stow {
namespace platform {
namespace posix {

// Byte ranges far past any index file's length, locked with
// open-file-description locks: one for the index mutex and one per
// semaphore slot. They never touch the file's data.
constexpr long long kMutexLockOffset = 1LL << 40;
constexpr long long kSlotLockOffset = kMutexLockOffset + 16;

}  // namespace posix
}  // namespace platform
}  // namespace stow
