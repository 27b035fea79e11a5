// The test build's hooks in the index code (the shipped library's header of
// the same name makes them empty): a process can be made to die at the k-th
// crash point from now, as a crash at that instruction would leave it.
#pragma once

#include <atomic>
#include <cstdint>

namespace stow {
namespace hooks {

// Crash points still to pass before the process dies; negative: never.
extern std::atomic<int64_t> g_crash_countdown;
// Crash points passed since the counter was last reset.
extern std::atomic<int64_t> g_crash_points_passed;

// When set, called at every crash point: a test that records the index as
// it changes, at instants within an operation.
extern std::atomic<void (*)()> g_crash_point_observer;

// Ends the process at once with `code`, as a crash would: no unwinding, no
// exit handlers.
[[noreturn]] void Die(int code);
// Die(kCrashExitCode).
[[noreturn]] void Crash();
constexpr int kCrashExitCode = 86;

inline void CrashPoint() {
  g_crash_points_passed.fetch_add(1, std::memory_order_relaxed);
  if (void (*observe)() = g_crash_point_observer.load(std::memory_order_relaxed)) observe();
  if (g_crash_countdown.load(std::memory_order_relaxed) >= 0 &&
      g_crash_countdown.fetch_sub(1, std::memory_order_relaxed) == 0) {
    Crash();
  }
}

}  // namespace hooks
}  // namespace stow
