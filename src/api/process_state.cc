#include "api/process_state.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "api/extension.h"
#include "config/log.h"
#include "config/settings.h"
#include "index/index_file.h"
#include "maintenance/delete_cached_file.h"
#include "maintenance/own_files.h"
#include "maintenance/work_thread.h"
#include "platform/platform.h"

namespace stow {
namespace api {
namespace {

// Initialisations not yet matched by an UnInitialize. Changed only under
// the lifecycle mutex; atomic so that it can be read without it.
std::atomic<int32_t> g_references{0};
// Published only once fully built, so that a thread reading them without
// the lifecycle mutex sees either nothing or a whole object.
std::atomic<IndexFile*> g_index{nullptr};
std::atomic<WorkThread*> g_worker{nullptr};
// Calls on other threads that may be using the published objects. The last
// UnInitialize unpublishes the objects and then waits for this to drop to
// zero before it destroys them, so a registration racing with shutdown
// either sees no index or finishes with it first.
std::atomic<int32_t> g_calls_in_flight{0};
// Those of them on this thread. Neither call that counts itself calls back
// into the host, so a call still counted here when this thread reaches
// UnInitialize was left without returning: a host's signal handler jumped
// out of it (longjmp). It is not waited for.
thread_local int32_t t_calls_in_flight = 0;

// The calling thread's last failure. Plain bytes, with nothing to destroy:
// a thread-local object with a destructor (a std::string) in a library the
// host may unload could be destroyed after its code is gone.
thread_local char t_last_error[kLastErrorSize];
thread_local uint32_t t_last_error_length = 0;

class CallScope {
 public:
  CallScope() {
    g_calls_in_flight.fetch_add(1);
    ++t_calls_in_flight;
  }
  ~CallScope() {
    --t_calls_in_flight;
    g_calls_in_flight.fetch_sub(1);
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// The line after a failure line that says why: "<call> <path>: <the
// system's text>" for a failed system call, the exception's own text for
// anything else that says something.
// The same text is kept for StowmasterLastError.
void LogDetail(const std::exception& e) {
  WriteLogBufferToFile("%s\n", e.what());
  RecordLastError(e.what());
}

// A registration that failed for `why`: kept for StowmasterLastError.
int32_t NotRegistered(const std::string& why) {
  RecordLastError(why);
  return 0;
}

// A full index that no entry can leave: said once an hour by each process,
// not for every file it turns away.
void ReportFullIndex() {
  static std::atomic<int64_t> last{INT64_MIN};
  const int64_t now = platform::env().NowSeconds();
  int64_t before = last.load();
  if (before != INT64_MIN && now >= before && now - before < 3600) return;
  if (!last.compare_exchange_strong(before, now)) return;  // another thread says it
  WriteLogBufferToFile(
      "The index is full (%d entries) and none is old enough to be deleted: new files are not "
      "registered.\n",
      static_cast<int>(kBlockCount));
}

// Serialises initialisation and shutdown: a second Initialize waits for one
// in progress and gets its outcome.
platform::LocalMutex& LifecycleMutex() {
  static platform::LocalMutex mutex;
  return mutex;
}

// True while this thread holds the lifecycle mutex. Initialize and
// UnInitialize never call each other, so a thread that finds it set on the
// way in left one of them without returning: a host's signal handler jumped
// out of it (longjmp), skipping the unlock. Waiting would be waiting for
// itself (or, for a recursive mutex, leave it held for ever); the thread
// takes the mutex over instead, as it takes over the index lock. Other
// threads wait for it as for any holder.
thread_local bool t_holds_lifecycle = false;

class LifecycleLock {
 public:
  LifecycleLock() {
    if (!t_holds_lifecycle) LifecycleMutex().lock();
    t_holds_lifecycle = true;
  }
  ~LifecycleLock() {
    t_holds_lifecycle = false;
    LifecycleMutex().unlock();
  }
  LifecycleLock(const LifecycleLock&) = delete;
  LifecycleLock& operator=(const LifecycleLock&) = delete;
};

// The lock and the mapping reach the processes of this machine only.
void WarnIfNetworkFolder(const char* index_path) {
  std::string folder(index_path);
  folder.resize(folder.find_last_of(platform::kSeparator) + 1);
  if (!platform::env().IsNetworkFolder(folder.c_str())) return;
  WriteLogBufferToFile(
      "The cache folder %s is on a network file system: processes on other machines must not "
      "share it.\n",
      folder.c_str());
}

// Builds the index and the worker and publishes them, index first. 1 on
// success, 0 after logging why not; nothing is published on failure.
int32_t CreateObjects(int32_t threaded) {
  try {
    ReportSettingsProblems();
    CacheSettings settings;
    char index_path[kPathBufferSize];
    GetCacheSettings(&settings, index_path, nullptr);
    std::unique_ptr<IndexFile> index(new IndexFile(index_path, settings));
    // Once the index and its lookup file exist, and before any pass runs.
    GatherOwnFiles(index_path);
    std::unique_ptr<WorkThread> worker(new WorkThread(index.get(), index_path, settings, threaded));
    WarnIfNetworkFolder(index_path);
    g_index.store(index.release());
    g_worker.store(worker.release());
    WriteLogBufferToFile("Initialize stowmaster successfully: %s.\n", index_path);
    return 1;
  } catch (const UntrustedSettings& e) {
    // One line says it all: which file, and why it is not used.
    WriteLogBufferToFile("%s\n", e.what());
    RecordLastError(e.what());
  } catch (const OsError& e) {
    WriteLogBufferToFile("An error occurs when try to initialize stowmaster. (%d)\n",
                         static_cast<int>(e.code()));
    LogDetail(e);
  } catch (const std::exception& e) {
    WriteLogBufferToFile("An unknown error occurs when try to initialize stowmaster.\n");
    LogDetail(e);
  } catch (...) {
    WriteLogBufferToFile("An unknown error occurs when try to initialize stowmaster.\n");
  }
  return 0;
}

}  // namespace

void RecordLastError(const std::string& text) {
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(text.size(), kLastErrorSize - 1));
  std::memcpy(t_last_error, text.data(), n);
  t_last_error[n] = '\0';
  t_last_error_length = n;
}

uint32_t LastError(char* buffer, uint32_t size) {
  if (buffer != nullptr && size > 0) {
    const uint32_t n = std::min(t_last_error_length, size - 1);
    std::memcpy(buffer, t_last_error, n);
    buffer[n] = '\0';
  }
  return t_last_error_length;
}

int32_t ReferenceCount() { return g_references.load(); }

int32_t UseSettingsFile(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    RecordLastError("StowmasterUseSettingsFile: no path");
    return STOWMASTER_BAD_ARGUMENT;
  }
  std::string why;
  {
    // Held so that no initialisation starts meanwhile with the file before.
    LifecycleLock guard;
    if (g_references.load() > 0) {
      why =
          "the library is initialised: its settings file stays as it is until the last "
          "UnInitializeStowmaster";
    } else if (stow::UseSettingsFile(std::string(path), &why)) {
      return STOWMASTER_OK;
    }
  }
  const std::string text = std::string("StowmasterUseSettingsFile: ") + why;
  RecordLastError(text);
  WriteLogBufferToFile("%s\n", text.c_str());
  return STOWMASTER_UNUSABLE;
}

int32_t Initialize(int32_t threaded) {
  LifecycleLock guard;
  g_references.fetch_add(1);
  if (g_index.load() != nullptr) return 1;
  // Either the first call, or every earlier attempt failed: try (again).
  return CreateObjects(threaded);
}

void UnInitialize() {
  LifecycleLock guard;
  // An UnInitialize without a matching Initialize is ignored.
  if (g_references.load() <= 0) return;
  if (g_references.fetch_sub(1) != 1) return;
  std::unique_ptr<WorkThread> worker(g_worker.exchange(nullptr));
  std::unique_ptr<IndexFile> index(g_index.exchange(nullptr));
  g_calls_in_flight.fetch_sub(t_calls_in_flight);
  t_calls_in_flight = 0;
  while (g_calls_in_flight.load() != 0) platform::env().SleepMs(1);
  try {
    if (worker != nullptr) {
      worker->Stop();
      worker.reset();
    }
    if (index != nullptr) {
      char dump_path[kPathBufferSize];
      bool have_dump = true;
      try {
        GetCacheSettings(nullptr, nullptr, dump_path);
      } catch (const OsError&) {
        have_dump = false;  // a dump path that does not fit: no dump
      }
      if (have_dump) index->DumpToFile(dump_path);
      // Synced, and marked stopped cleanly when no other process changed
      // it since: a start after a power cut then need not repair it.
      index->MarkCleanStop();
      index->Close();
      index.reset();
      WriteLogBufferToFile("UnInitialize stowmaster successfully.\n");
    }
  } catch (...) {
    WriteLogBufferToFile("\nAn unknown error occurs when try to uninitialize stowmaster.\n");
  }
}

namespace {

// A registration into `index`; `full` is set when it was turned down for a
// full index.
int32_t Register(IndexFile* index, const char* path, uint32_t delay, bool* full) {
  try {
    if (path == nullptr) return NotRegistered("no path");
    // An empty path names no file; made absolute it would name the working
    // folder instead.
    if (path[0] == '\0') {
      WriteLogBufferToFile("\nUnable to get file size.\n");
      LogDetail(OsError(platform::kErrorInvalidName, platform::kFileSizeCall, "\"\""));
      return 0;
    }
    // A relative path is stored absolute, so that every process (and this
    // one after a change of folder) finds the same file by it.
    std::string absolute;
    const OsStatus made = platform::env().AbsolutePath(path, &absolute);
    if (!made.ok()) {
      WriteLogBufferToFile("\nUnable to get the absolute path.\n");
      LogDetail(OsError(made));
      return 0;
    }
    const char* stored = absolute.c_str();
    // The index holds kFileNameSize bytes of a path, its terminator
    // included.
    if (std::strlen(stored) >= kFileNameSize) {
      WriteLogBufferToFile("Path longer than %d bytes, not registered: %s.\n",
                           static_cast<int>(kFileNameSize - 1), stored);
      return NotRegistered("path longer than " + std::to_string(kFileNameSize - 1) + " bytes");
    }

    platform::FileInfo info;
    const OsStatus looked = platform::env().GetFileKindAndId(stored, &info);
    const uint64_t size = info.size;
    const platform::FileKind kind = info.kind;
    const platform::FileId& id = info.id;
    if (!looked.ok()) {
      WriteLogBufferToFile("\nUnable to get file size.\n");
      LogDetail(OsError(looked));
      return 0;
    }
    // A folder, FIFO, socket or device cannot be evicted like a file.
    if (kind != platform::FileKind::kRegular) {
      WriteLogBufferToFile("Not a regular file, not registered: %s.\n", stored);
      return NotRegistered("not a regular file");
    }
    // Listed, it would be deleted by the next emptying or pass.
    if (CurrentOwnFiles()->Holds(stored, &id)) {
      WriteLogBufferToFile("One of the library's own files, not registered: %s.\n", stored);
      return NotRegistered("one of the library's own files");
    }
    FileRecord record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(record.ImageFileName, stored, std::strlen(stored));
    // A file of 4 GiB or more still counts towards the limit, as fully as
    // the 32-bit field allows.
    record.FileSize = CountedSize(size);

    bool added = index->AddFile(record, delay);
    if (!added && index->Full()) {
      // Every block is in use: entries old enough make room, as a pass
      // would delete them, so that a full index is still managed.
      if (WorkThread* worker = g_worker.load()) {
        worker->MakeRoom();
        added = index->AddFile(record, delay);
      }
      if (!added && index->Full()) ReportFullIndex();
    }
    *full = !added && index->Full();
    if (!added) {
      return NotRegistered(index->Full() ? "the index is full and no entry is old enough to be "
                                           "deleted"
                                         : "the index could not be changed (see the log)");
    }
    WriteLogBufferToFile("New File To Cache: %s.\n", record.ImageFileName);
    if (WorkThread* worker = g_worker.load()) worker->ShrinkNow();
    return 1;
  } catch (const std::exception& e) {
    WriteLogBufferToFile("\nAn unknown error occurs when try to add a file to cache.\n");
    LogDetail(e);
    return 0;
  } catch (...) {
    WriteLogBufferToFile("\nAn unknown error occurs when try to add a file to cache.\n");
    return NotRegistered("an unknown error");
  }
}

}  // namespace

int32_t AddFileA(const char* path, uint32_t delay) {
  CallScope call;
  IndexFile* index = g_index.load();
  if (index == nullptr) return NotRegistered("the library is not initialised");
  bool full = false;
  const int32_t added = Register(index, path, delay, &full);
  if (added == 0) index->CountRefusedRegistrations(full);
  return added;
}

int32_t AddFileW(const char16_t* path, uint32_t delay) {
  if (g_index.load() == nullptr) return NotRegistered("the library is not initialised");
  if (path == nullptr) return NotRegistered("no path");
  char narrow[kPathBufferSize];
  if (!platform::env().WideToNarrow(path, narrow, sizeof(narrow)).ok()) {
    WriteLogBufferToFile("A wide path has no exact form in the system code page or is too long.\n");
    CallScope call;
    if (IndexFile* index = g_index.load()) index->CountRefusedRegistrations(false);
    return NotRegistered("no exact form in the system code page, or longer than " +
                         std::to_string(kPathBufferSize - 1) + " bytes in it");
  }
  return AddFileA(narrow, delay);
}

void DeleteAllFiles() {
  CallScope call;
  IndexFile* index = g_index.load();
  if (index == nullptr) return;
  try {
    index->RemoveAll(CachedFileRemover());
    index->Flush();
  } catch (const std::exception& e) {
    WriteLogBufferToFile("\nAn unknown error occurs when try to delete all files in cache.\n");
    LogDetail(e);
  } catch (...) {
    WriteLogBufferToFile("\nAn unknown error occurs when try to delete all files in cache.\n");
  }
}

void EmptyCacheFromHost() {
  try {
    if (Initialize(0) != 0) {
      WriteLogBufferToFile("EmptyCache by RunDLL32!\n");
      if (IndexFile* index = g_index.load()) index->RemoveAll(CachedFileRemover());
    }
  } catch (...) {
    // Nothing may escape into the host program.
  }
  // Matched whatever Initialize gave, so that the host leaves no count behind.
  UnInitialize();
}

}  // namespace api
}  // namespace stow
