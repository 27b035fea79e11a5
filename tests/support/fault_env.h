// An Env for unit tests that fails chosen system calls on purpose, on every
// platform and whoever runs the tests: installed for the life of the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "index/layout.h"
#include "platform/platform.h"

namespace stow {
namespace testing_support {

class FaultEnv : public platform::EnvWrapper {
 public:
  FaultEnv() : EnvWrapper(platform::DefaultEnv()) { platform::SetEnvForTesting(this); }
  ~FaultEnv() override { platform::SetEnvForTesting(nullptr); }

  // A deletion of `refused_path` is refused with `refused_code`.
  std::string refused_path;
  uint32_t refused_code = platform::kErrorAccessDenied;
  // Opening a shared file fails with this code (0: no fault), or only opening
  // one whose path ends with `open_shared_file_suffix` when that is set.
  uint32_t open_shared_file_error = 0;
  std::string open_shared_file_suffix;
  // Every wait of an event with a finite timeout of at least this many
  // milliseconds fails (0: no fault).
  int64_t fail_waits_from_ms = 0;
  // Taking the index lock fails with this code (0: no fault).
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
  // Called with the path before each OpenFolder, when set: a test changes
  // the disk there, between a look at a folder and its opening.
  std::function<void(const char* path)> before_open_folder;
  // The start of the machine processes see, when set (a restart: another).
  bool pretend_boot = false;
  platform::BootId boot;
  // The system clock, when not 0.
  std::atomic<int64_t> now{0};
  // Syncs of shared files opened since this Env was installed, those made
  // while an index lock taken through it was held, and what the index's
  // header said at each sync of the index (StopGeneration, TotalFileCount).
  std::atomic<int> syncs{0};
  std::atomic<int> syncs_under_lock{0};
  std::atomic<int> locks_held{0};
  std::vector<std::pair<uint32_t, int32_t>> index_at_sync;
  // Called before each sync, when set.
  std::function<void()> before_sync;
  // Syncs are counted but do not reach the disk: for tests that simulate
  // what the disk keeps themselves, and would only wait for it.
  bool skip_disk_syncs = false;

  int64_t NowSeconds() override { return now != 0 ? now.load() : target().NowSeconds(); }
  platform::BootId BootIdentity() override { return pretend_boot ? boot : target().BootIdentity(); }

  OsStatus OpenFolder(const char* path, std::unique_ptr<platform::HeldFolder>* folder) override {
    if (before_open_folder) before_open_folder(path);
    return target().OpenFolder(path, folder);
  }

  OsStatus AppendToFile(const char* path, const char* data, size_t size) override {
    appended.append(data, size);
    return target().AppendToFile(path, data, size);
  }
  OsStatus OpenAppendFile(const char* path, std::unique_ptr<platform::AppendFile>* file) override {
    return Wrap<RecordingAppendFile>(target().OpenAppendFile(path, file), file);
  }

  // An empty folder that cannot be removed; one with entries still says so.
  OsStatus RemoveFolderIfEmpty(const char* folder, platform::FolderRemoval* result) override {
    return fail_remove_directory && !target().FolderHasEntries(folder)
               ? Refuse(result)
               : target().RemoveFolderIfEmpty(folder, result);
  }
  OsStatus RemoveFolderIfEmptyBelow(const char* folder, const char* path,
                                    platform::FolderRemoval* result) override {
    return fail_remove_directory && !target().FolderHasEntries(path)
               ? Refuse(result)
               : target().RemoveFolderIfEmptyBelow(folder, path, result);
  }

  platform::Privileges ProcessPrivileges() override {
    return pretend_privileges ? privileges : target().ProcessPrivileges();
  }
  bool ReadEnvironmentVariable(const char* name, std::string* out) override {
    if (!pretend_environment) return target().ReadEnvironmentVariable(name, out);
    auto it = environment.find(name);
    if (it != environment.end()) *out = it->second;
    return it != environment.end();
  }
  bool IsNetworkFolder(const char* folder) override {
    return network_folders || target().IsNetworkFolder(folder);
  }

  OsStatus DeleteFile(const char* path, platform::DeleteResult* result) override {
    return refused_path == path ? Refuse(path, result) : target().DeleteFile(path, result);
  }
  OsStatus DeleteFileBelow(const char* folder, const char* path,
                           platform::DeleteResult* result) override {
    platform::FileInfo info;
    return refused_path == path && target().GetFileKind(path, &info).ok() &&
                   info.kind == platform::FileKind::kRegular
               ? Refuse(path, result)
               : target().DeleteFileBelow(folder, path, result);
  }

  OsStatus OpenSharedFile(const std::string& path, const std::string& mapping_name, size_t size,
                          const std::string& magic,
                          std::unique_ptr<platform::SharedFile>* file) override {
    const std::string& suffix = open_shared_file_suffix;
    if (open_shared_file_error != 0 &&
        (suffix.empty() ||
         (path.size() >= suffix.size() &&
          path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0))) {
      return OsStatus(open_shared_file_error, "test open", path);
    }
    return Wrap<ThrowingSharedFile>(target().OpenSharedFile(path, mapping_name, size, magic, file),
                                    file);
  }
  OsStatus NewEvent(std::unique_ptr<platform::Event>* event) override {
    return Wrap<FailingEvent>(target().NewEvent(event), event);
  }
  OsStatus OpenNamedMutex(const std::string& name, const std::string& index_path,
                          std::unique_ptr<platform::NamedMutex>* mutex) override {
    return Wrap<FailingMutex>(target().OpenNamedMutex(name, index_path, mutex), mutex);
  }

 private:
  // A new object, once opened, wrapped in one that records or fails.
  template <class Wrapper, class Object>
  OsStatus Wrap(OsStatus status, std::unique_ptr<Object>* object) {
    if (status.ok()) *object = std::make_unique<Wrapper>(std::move(*object), *this);
    return status;
  }
  OsStatus Refuse(platform::FolderRemoval* result) {
    *result = platform::FolderRemoval::kFailed;
    return OsStatus(platform::kErrorAccessDenied, "test remove");
  }
  OsStatus Refuse(const char* path, platform::DeleteResult* result) {
    *result = platform::DeleteResult::kRefused;
    return OsStatus(refused_code, platform::kDeleteFileCall, path);
  }

  template <class Object>
  struct Wrapped : Object {
    Wrapped(std::unique_ptr<Object> object, FaultEnv& env) : real(std::move(object)), faults(env) {}
    std::unique_ptr<Object> real;
    FaultEnv& faults;
  };

  struct RecordingAppendFile : Wrapped<platform::AppendFile> {
    using Wrapped::Wrapped;
    OsStatus Append(const char* data, size_t size) override {
      faults.appended.append(data, size);
      return real->Append(data, size);
    }
  };

  struct ThrowingSharedFile : Wrapped<platform::SharedFile> {
    using Wrapped::Wrapped;
    uint8_t* data() override { return real->data(); }
    size_t size() const override { return real->size(); }
    bool Flush() override {
      if (faults.before_sync) faults.before_sync();
      faults.syncs += 1;
      if (faults.locks_held.load() > 0) faults.syncs_under_lock += 1;
      if (real->size() == kIndexFileSize) {
        const auto* h = reinterpret_cast<const IndexFileHeader*>(real->data());
        faults.index_at_sync.emplace_back(h->StopGeneration, h->TotalFileCount);
      }
      return faults.skip_disk_syncs || real->Flush();
    }
    bool CheckTruncated(bool look_at_length) override {
      std::atomic<int>& countdown = faults.throw_at_truncation_check;
      if (countdown.load() > 0 && --countdown == 0) throw std::bad_alloc();
      return real->CheckTruncated(look_at_length);
    }
    bool Restore() override { return real->Restore(); }
    bool GrownAtOpen() const override { return real->GrownAtOpen(); }
  };

  struct FailingEvent : Wrapped<platform::Event> {
    using Wrapped::Wrapped;
    void Set() override { real->Set(); }
    WaitResult Wait(int64_t timeout_ms) override {
      // A set event still reports set, so that whoever waits can be stopped.
      const int64_t from = faults.fail_waits_from_ms;
      if (from > 0 && timeout_ms >= from && real->Wait(0) != WaitResult::kSet) {
        return WaitResult::kFailed;
      }
      return real->Wait(timeout_ms);
    }
  };

  struct FailingMutex : Wrapped<platform::NamedMutex> {
    using Wrapped::Wrapped;
    OsStatus Lock(int64_t timeout_ms, LockResult* result) override {
      *result = LockResult::kTimedOut;
      if (uint32_t code = faults.lock_error.load()) return OsStatus(code, "test lock");
      if (faults.lock_times_out.load()) return OsStatus();
      const OsStatus status = real->Lock(timeout_ms, result);
      if (status.ok() && *result != LockResult::kTimedOut) faults.locks_held += 1;
      return status;
    }
    void Unlock() override {
      faults.locks_held -= 1;
      real->Unlock();
    }
  };
};

}  // namespace testing_support
}  // namespace stow
