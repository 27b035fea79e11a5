#include "stow_hooks.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace stow {
namespace hooks {

std::atomic<int64_t> g_crash_countdown{-1};
std::atomic<int64_t> g_crash_points_passed{0};
std::atomic<void (*)()> g_crash_point_observer{nullptr};

void Die(int code) {
#ifdef _WIN32
  // As a crash ends a process: at once, without the exit path that runs
  // every module's detach code (which under Wine has been seen to hang).
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
#endif
  std::_Exit(code);
}

void Crash() { Die(kCrashExitCode); }

}  // namespace hooks
}  // namespace stow
