// An Env that times every hold of a named mutex (the index lock among
// them), for benchmarks that report the longest hold an operation makes
// the other processes wait for.
#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "bench_support.h"
#include "platform/platform.h"

namespace stow {
namespace bench {

using Clock = std::chrono::steady_clock;

inline double ThreadCpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Longest holds of any named mutex (the index lock among them) since the
// last Reset, in milliseconds.
class HoldTimingEnv : public platform::EnvWrapper {
 public:
  HoldTimingEnv() : EnvWrapper(platform::DefaultEnv()) { platform::SetEnvForTesting(this); }
  ~HoldTimingEnv() override { platform::SetEnvForTesting(nullptr); }
  HoldTimingEnv(const HoldTimingEnv&) = delete;
  HoldTimingEnv& operator=(const HoldTimingEnv&) = delete;

  void Reset() {
    wall_ms_ = 0;
    cpu_ms_ = 0;
  }
  double wall_ms() const { return wall_ms_; }
  double cpu_ms() const { return cpu_ms_; }

  OsStatus OpenNamedMutex(const std::string& name, const std::string& index_path,
                          std::unique_ptr<platform::NamedMutex>* mutex) override {
    OsStatus status = target().OpenNamedMutex(name, index_path, mutex);
    if (status.ok()) *mutex = std::make_unique<TimedMutex>(std::move(*mutex), *this);
    return status;
  }

 private:
  class TimedMutex : public platform::NamedMutex {
   public:
    TimedMutex(std::unique_ptr<platform::NamedMutex> real, HoldTimingEnv& env)
        : real_(std::move(real)), env_(env) {}
    OsStatus Lock(int64_t timeout_ms, LockResult* result) override {
      OsStatus status = real_->Lock(timeout_ms, result);
      since_ = Clock::now();
      cpu_since_ = ThreadCpuMs();
      return status;
    }
    void Unlock() override {
      Raise(env_.wall_ms_, Micros(since_, Clock::now()) / 1000);
      Raise(env_.cpu_ms_, ThreadCpuMs() - cpu_since_);
      real_->Unlock();
    }

   private:
    static void Raise(std::atomic<double>& max, double value) {
      double seen = max.load();
      while (value > seen && !max.compare_exchange_weak(seen, value)) {
      }
    }
    std::unique_ptr<platform::NamedMutex> real_;
    HoldTimingEnv& env_;
    Clock::time_point since_;
    double cpu_since_ = 0;
  };
  std::atomic<double> wall_ms_{0};
  std::atomic<double> cpu_ms_{0};
};

}  // namespace bench
}  // namespace stow
