#include "maintenance/work_thread.h"

#include <functional>

#include "config/log.h"
#include "index/index_file.h"
#include "index/object_name.h"
#include "maintenance/delete_cached_file.h"
#include "maintenance/reconcile.h"
#include "maintenance/refusal_identity.h"

namespace stow {

WorkThread::WorkThread(IndexFile* index, const std::string& index_path, const CacheSettings& cache,
                       int32_t threaded)
    : WorkThread(index, index_path, threaded) {
  reconciles_ = true;
  cache_ = cache;
}

WorkThread::WorkThread(IndexFile* index, const std::string& index_path, int32_t threaded)
    : threaded_(threaded), identity_(RefusalIdentity()), index_(index), index_path_(index_path) {
  platform::env()
      .OpenNamedSemaphore(MakeObjectName(kSemaphorePrefix, index_path.c_str()), index_path,
                          &semaphore_)
      .ThrowIfFailed();
  if (threaded_ == 0) return;
  platform::env().NewEvent(&stop_).ThrowIfFailed();
  platform::env().NewEvent(&stopped_).ThrowIfFailed();
  platform::env().StartThread(&WorkThread::ThreadProc, this, &thread_).ThrowIfFailed();
}

WorkThread::~WorkThread() { Stop(); }

void WorkThread::ThreadProc(void* self) { static_cast<WorkThread*>(self)->Run(); }

namespace {

// The removal routine of one pass, made at its first file: most passes of a
// process without a worker thread (one after every registration) delete
// nothing, and need not read the privileges and the folders.
class LazyRemover {
 public:
  bool operator()(const char* path) {
    if (!remove_) remove_ = CachedFileRemover();
    return remove_(path);
  }

 private:
  RemoveFileFn remove_;
};

}  // namespace

// The pass syncs the files itself, when due, each time it lets go of the
// lock (IndexFile::SyncIfDue).
void WorkThread::Pass(bool last) {
  if (reconciles_ && !last) {
    ReconcileIfPending(*index_, index_path_, cache_,
                       [this] { return stopping_.load(std::memory_order_relaxed); });
  }
  LazyRemover remover;
  index_->ShrinkCache(std::ref(remover), nullptr, identity_);
}

void WorkThread::MakeRoom() {
  LazyRemover remover;
  index_->MakeRoom(std::ref(remover), identity_);
}

void WorkThread::Run() {
  using Wait = platform::NamedSemaphore::WaitResult;
  // A failing wait ends the thread rather than spinning on it.
  if (semaphore_->AcquireOrStop(*stop_) == Wait::kAcquired) {
    WriteLogBufferToFile("Stowmaster Work Thread Starts...\n");
    try {
      // Wakes every kSyncPeriodMs to sync what any process changed since
      // the last sync (at most once a second per cache, whoever syncs), and
      // every kPeriodMs for a pass.
      int64_t until_pass = kPeriodMs;
      for (;;) {
        const int64_t wait = until_pass < kSyncPeriodMs ? until_pass : kSyncPeriodMs;
        const platform::Event::WaitResult waited = stop_->Wait(wait);
        if (waited == platform::Event::WaitResult::kFailed) {
          // Waiting again at once would run passes back to back.
          WriteLogBufferToFile("Stowmaster Work Thread cannot wait for its period.\n");
          break;
        }
        until_pass -= wait;
        if (waited == platform::Event::WaitResult::kSet || until_pass <= 0) {
          // Every period, and once more when told to stop.
          Pass(waited == platform::Event::WaitResult::kSet);
          until_pass = kPeriodMs;
        }
        if (waited == platform::Event::WaitResult::kSet) break;
        index_->SyncIfDue();
      }
    } catch (...) {
      // A pass that failed (the index lock could not be taken) ends the
      // thread; the slot is still given back below.
    }
    WriteLogBufferToFile("Stowmaster Work Thread Stops...\n");
    semaphore_->Release();
  }
  stopped_->Set();
}

void WorkThread::Stop() {
  if (thread_ != nullptr) {
    stopping_.store(true, std::memory_order_relaxed);
    stop_->Set();
    stopped_->Wait(-1);
    thread_->Join();
    thread_.reset();
  }
  stop_.reset();
  stopped_.reset();
  semaphore_.reset();
}

void WorkThread::ShrinkNow() {
  if (threaded_ != 0 || semaphore_ == nullptr) return;
  if (!semaphore_->TryAcquire()) return;
  // Give the slot back however the pass ends.
  struct SlotGuard {
    platform::NamedSemaphore& semaphore;
    ~SlotGuard() { semaphore.Release(); }
  } slot{*semaphore_};
  Pass();
}

}  // namespace stow
