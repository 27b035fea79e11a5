// Decides when eviction passes run: every 30 seconds and once more at stop
// on a background thread, or inline after each registration in a process
// without one. A machine-wide semaphore with two slots keeps at most two
// processes per index evicting: a worker thread holds a slot for its whole
// life, an inline pass only while it runs and only if one is free.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.h"
#include "platform/platform.h"

namespace stow {

class IndexFile;

class WorkThread {
 public:
  // Time between two passes of the worker thread.
  static constexpr int64_t kPeriodMs = 30000;
  // Time between two looks of the worker thread for a sync that is due.
  static constexpr int64_t kSyncPeriodMs = 1000;

  // Opens the semaphore for `index_path` and, when `threaded` is non-zero,
  // starts the worker thread. Throws OsError.
  WorkThread(IndexFile* index, const std::string& index_path, int32_t threaded);
  // The same, with the settings the first pass after a restart of the
  // machine reconciles the index with the disk under (see
  // ReconcileIfPending); without them it never does.
  WorkThread(IndexFile* index, const std::string& index_path, const CacheSettings& cache,
             int32_t threaded);
  ~WorkThread();
  WorkThread(const WorkThread&) = delete;
  WorkThread& operator=(const WorkThread&) = delete;

  // Ends the thread, after its final pass when it holds a slot, and releases
  // the handles. Blocks until the thread has ended. Idempotent.
  void Stop();

  // The pass after a registration in a process without a worker thread: runs
  // at once when a slot is free, and is skipped otherwise.
  void ShrinkNow();

  // For a registration that found every block in use: deletes the least
  // recently registered entries that are old enough until some blocks are
  // free (IndexFile::MakeRoom). Runs on the caller's thread, with or
  // without a worker, and needs no slot: the registration waits for it.
  void MakeRoom();

 private:
  static void ThreadProc(void* self);
  void Run();
  // A pass: first, when pending, the reconciliation with the disk (not in
  // the last pass of a stopping worker), then the eviction pass.
  void Pass(bool last = false);

  int32_t threaded_;
  // Whose refusals this process's passes remember (RefusalIdentity).
  uint32_t identity_ = 0;
  std::unique_ptr<platform::Event> stop_;
  std::unique_ptr<platform::Event> stopped_;
  std::unique_ptr<platform::NamedSemaphore> semaphore_;
  IndexFile* index_;
  std::string index_path_;
  bool reconciles_ = false;
  CacheSettings cache_{};
  // Set by Stop before the thread is told: a reconciliation under way
  // leaves the rest to the next pass.
  std::atomic<bool> stopping_{false};
  std::unique_ptr<platform::Thread> thread_;
};

}  // namespace stow
