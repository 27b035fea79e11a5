// An Env for unit tests that fails chosen system calls on purpose, on every
// platform and whoever runs the tests: installed for the life of the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace stow {
namespace testing_support {

class FaultEnv : public platform::EnvWrapper {
 public:
  FaultEnv() : EnvWrapper(platform::DefaultEnv()) { platform::SetEnvForTesting(this); }
  ~FaultEnv() override { platform::SetEnvForTesting(nullptr); }
  FaultEnv(const FaultEnv&) = delete;
  FaultEnv& operator=(const FaultEnv&) = delete;

  // A deletion of `refused_path` is refused with `refused_code`.
  std::string refused_path;
  uint32_t refused_code = platform::kErrorAccessDenied;
  // Opening a shared file throws this code (0: no fault), or only opening
  // one whose path ends with `open_shared_file_suffix` when that is set.
  uint32_t open_shared_file_error = 0;
  std::string open_shared_file_suffix;
  // Every wait of an event with a finite timeout of at least this many
  // milliseconds fails (0: no fault).
  int64_t fail_waits_from_ms = 0;
  // Taking the index lock throws this code (0: no fault).
  std::atomic<uint32_t> lock_error{0};

  platform::DeleteResult DeleteFile(const char* path, uint32_t* error) override {
    if (!refused_path.empty() && refused_path == path) {
      *error = refused_code;
      return platform::DeleteResult::kRefused;
    }
    return target().DeleteFile(path, error);
  }

  std::unique_ptr<platform::SharedFile> OpenSharedFile(const std::string& path,
                                                       const std::string& mapping_name,
                                                       size_t size) override {
    const std::string& suffix = open_shared_file_suffix;
    if (open_shared_file_error != 0 &&
        (suffix.empty() ||
         (path.size() >= suffix.size() &&
          path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0))) {
      throw OsError(open_shared_file_error, "test open", path);
    }
    return target().OpenSharedFile(path, mapping_name, size);
  }

  std::unique_ptr<platform::Event> NewEvent() override {
    return std::make_unique<FailingEvent>(target().NewEvent(), fail_waits_from_ms);
  }

  std::unique_ptr<platform::NamedMutex> OpenNamedMutex(const std::string& name,
                                                       const std::string& index_path) override {
    return std::make_unique<FailingMutex>(target().OpenNamedMutex(name, index_path), lock_error);
  }

 private:
  class FailingEvent : public platform::Event {
   public:
    FailingEvent(std::unique_ptr<platform::Event> real, int64_t fail_from_ms)
        : real_(std::move(real)), fail_from_ms_(fail_from_ms) {}
    void Set() override { real_->Set(); }
    WaitResult Wait(int64_t timeout_ms) override {
      // A set event still reports set, so that whoever waits can be stopped.
      if (fail_from_ms_ > 0 && timeout_ms >= fail_from_ms_ && real_->Wait(0) != WaitResult::kSet) {
        return WaitResult::kFailed;
      }
      return real_->Wait(timeout_ms);
    }

   private:
    std::unique_ptr<platform::Event> real_;
    int64_t fail_from_ms_;
  };

  class FailingMutex : public platform::NamedMutex {
   public:
    FailingMutex(std::unique_ptr<platform::NamedMutex> real, std::atomic<uint32_t>& error)
        : real_(std::move(real)), error_(error) {}
    LockResult Lock() override {
      if (uint32_t code = error_.load()) throw OsError(code, "test lock");
      return real_->Lock();
    }
    void Unlock() override { real_->Unlock(); }

   private:
    std::unique_ptr<platform::NamedMutex> real_;
    std::atomic<uint32_t>& error_;
  };
};

}  // namespace testing_support
}  // namespace stow
