#include "stow_hooks.h"

#include <cstdlib>

namespace stow {
namespace hooks {

std::atomic<int64_t> g_crash_countdown{-1};
std::atomic<int64_t> g_crash_points_passed{0};

void Crash() { std::_Exit(kCrashExitCode); }

}  // namespace hooks
}  // namespace stow
