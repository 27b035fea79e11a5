// An Env for unit tests that fails chosen system calls on purpose, on every
// platform and whoever runs the tests: installed for the life of the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>

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
  // Taking the index lock times out at once.
  std::atomic<bool> lock_times_out{false};
  // What ProcessPrivileges reports, when set: by default an unprivileged
  // process, whoever runs the tests.
  bool pretend_privileges = true;
  platform::Privileges privileges;
  // Environment variables as the process sees them, when set.
  bool pretend_environment = false;
  std::map<std::string, std::string> environment;
  // Every folder counts as one on a network file system.
  bool network_folders = false;
  // Removing a folder fails.
  bool fail_remove_directory = false;
  // The n-th look for a truncated index from now on throws std::bad_alloc,
  // as a repair that runs out of memory would (0: never).
  std::atomic<int> throw_at_truncation_check{0};
  // Every log line (and anything else appended), wherever it went.
  std::string appended;

  bool AppendToFile(const char* path, const char* data, size_t size) override {
    appended.append(data, size);
    return target().AppendToFile(path, data, size);
  }

  std::unique_ptr<platform::AppendFile> OpenAppendFile(const char* path) override {
    std::unique_ptr<platform::AppendFile> file = target().OpenAppendFile(path);
    if (file == nullptr) return nullptr;
    return std::make_unique<RecordingAppendFile>(std::move(file), appended);
  }

  // An empty folder that cannot be removed; one with entries still says so.
  platform::FolderRemoval RemoveFolderIfEmpty(const char* folder) override {
    if (fail_remove_directory && !target().FolderHasEntries(folder)) {
      return platform::FolderRemoval::kFailed;
    }
    return target().RemoveFolderIfEmpty(folder);
  }
  platform::FolderRemoval RemoveFolderIfEmptyBelow(const char* folder, const char* path) override {
    if (fail_remove_directory && !target().FolderHasEntries(path)) {
      return platform::FolderRemoval::kFailed;
    }
    return target().RemoveFolderIfEmptyBelow(folder, path);
  }

  platform::Privileges ProcessPrivileges() override {
    return pretend_privileges ? privileges : target().ProcessPrivileges();
  }
  bool ReadEnvironmentVariable(const char* name, std::string* out) override {
    if (!pretend_environment) return target().ReadEnvironmentVariable(name, out);
    auto it = environment.find(name);
    if (it == environment.end()) return false;
    *out = it->second;
    return true;
  }
  bool IsNetworkFolder(const char* folder) override {
    return network_folders || target().IsNetworkFolder(folder);
  }

  platform::DeleteResult DeleteFile(const char* path, uint32_t* error) override {
    if (!refused_path.empty() && refused_path == path) {
      *error = refused_code;
      return platform::DeleteResult::kRefused;
    }
    return target().DeleteFile(path, error);
  }
  platform::DeleteResult DeleteFileBelow(const char* folder, const char* path,
                                         uint32_t* error) override {
    if (!refused_path.empty() && refused_path == path &&
        target().GetFileKind(path, &ignored_size_, nullptr) == platform::FileKind::kRegular) {
      *error = refused_code;
      return platform::DeleteResult::kRefused;
    }
    return target().DeleteFileBelow(folder, path, error);
  }

  std::unique_ptr<platform::SharedFile> OpenSharedFile(const std::string& path,
                                                       const std::string& mapping_name, size_t size,
                                                       const std::string& magic) override {
    const std::string& suffix = open_shared_file_suffix;
    if (open_shared_file_error != 0 &&
        (suffix.empty() ||
         (path.size() >= suffix.size() &&
          path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0))) {
      throw OsError(open_shared_file_error, "test open", path);
    }
    return std::make_unique<ThrowingSharedFile>(
        target().OpenSharedFile(path, mapping_name, size, magic), throw_at_truncation_check);
  }

  std::unique_ptr<platform::Event> NewEvent() override {
    return std::make_unique<FailingEvent>(target().NewEvent(), fail_waits_from_ms);
  }

  std::unique_ptr<platform::NamedMutex> OpenNamedMutex(const std::string& name,
                                                       const std::string& index_path) override {
    return std::make_unique<FailingMutex>(target().OpenNamedMutex(name, index_path), lock_error,
                                          lock_times_out);
  }

 private:
  uint64_t ignored_size_ = 0;

  class RecordingAppendFile : public platform::AppendFile {
   public:
    RecordingAppendFile(std::unique_ptr<platform::AppendFile> real, std::string& appended)
        : real_(std::move(real)), appended_(appended) {}
    bool Append(const char* data, size_t size) override {
      appended_.append(data, size);
      return real_->Append(data, size);
    }

   private:
    std::unique_ptr<platform::AppendFile> real_;
    std::string& appended_;
  };

  class ThrowingSharedFile : public platform::SharedFile {
   public:
    ThrowingSharedFile(std::unique_ptr<platform::SharedFile> real, std::atomic<int>& countdown)
        : real_(std::move(real)), countdown_(countdown) {}
    uint8_t* data() override { return real_->data(); }
    size_t size() const override { return real_->size(); }
    bool Flush() override { return real_->Flush(); }
    bool CheckTruncated(bool look_at_length) override {
      if (countdown_.load() > 0 && --countdown_ == 0) throw std::bad_alloc();
      return real_->CheckTruncated(look_at_length);
    }
    bool Restore() override { return real_->Restore(); }
    bool GrownAtOpen() const override { return real_->GrownAtOpen(); }

   private:
    std::unique_ptr<platform::SharedFile> real_;
    std::atomic<int>& countdown_;
  };

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
    FailingMutex(std::unique_ptr<platform::NamedMutex> real, std::atomic<uint32_t>& error,
                 std::atomic<bool>& times_out)
        : real_(std::move(real)), error_(error), times_out_(times_out) {}
    LockResult Lock(int64_t timeout_ms) override {
      if (uint32_t code = error_.load()) throw OsError(code, "test lock");
      if (times_out_.load()) return LockResult::kTimedOut;
      return real_->Lock(timeout_ms);
    }
    void Unlock() override { real_->Unlock(); }

   private:
    std::unique_ptr<platform::NamedMutex> real_;
    std::atomic<uint32_t>& error_;
    std::atomic<bool>& times_out_;
  };
};

}  // namespace testing_support
}  // namespace stow
