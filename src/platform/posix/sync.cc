// Machine-wide lock and semaphore on open-file-description locks, and the
// process-local event.
//
// POSIX record locks (F_SETLK) belong to a process: a second thread of the
// same process "takes" a lock it already holds, and closing any descriptor
// of the file drops every lock the process has on it. Open-file-description
// locks (F_OFD_SETLK) belong to one open file description instead, so each
// holder here opens the index file itself and locks through its own
// descriptor. The kernel drops the locks when the holder dies, which gives
// the release-on-death of a Windows mutex or semaphore slot.
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/objects.h"
#include "platform/posix/unique_fd.h"

namespace stow {
namespace platform {
namespace {

using posix::UniqueFd;

// Sets (F_WRLCK) or clears (F_UNLCK) the one-byte lock at `offset`.
// Returns 0 or errno.
int OfdLock(int fd, long long offset, short type, bool wait) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = 1;
  fl.l_pid = 0;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// The kernel's id of the calling thread: unique among the live threads of
// the machine, and never 0.
pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

class PosixNamedMutex : public NamedMutex {
 public:
  PosixNamedMutex(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  // Threads of this process take the local mutex first, so the one
  // descriptor is used by one thread at a time; the file lock then excludes
  // other processes and other holders in this process. Neither has a timed
  // wait, so both are tried without blocking, with pauses that grow from
  // 50 microseconds to 1 millisecond, until the time is up. The longest
  // pause is what a waiter may lose after the holder let go: a pass gives
  // the lock away every millisecond, so its waiters look as often.
  OsStatus Lock(int64_t timeout_ms, LockResult* result) override {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline_us =
        static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000 + timeout_ms * 1000;
    int64_t pause_us = 50;
    const auto wait_more = [&]() {
      clock_gettime(CLOCK_MONOTONIC, &now);
      const int64_t now_us = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
      if (now_us >= deadline_us) return false;
      struct timespec pause = {0, static_cast<long>(pause_us * 1000)};
      ::nanosleep(&pause, nullptr);
      pause_us = pause_us * 2 < 1000 ? pause_us * 2 : 1000;
      return true;
    };
    const pid_t self = CurrentThreadId();
    // The lock is not reentrant, so a thread that finds it held by itself
    // left the library without releasing it: a host's signal handler jumped
    // out of a library frame (longjmp), skipping every unlock on the way.
    // Waiting would be waiting for itself; the lock is taken over instead,
    // and reported as a dead holder's, whose half-done change the caller
    // undoes. Other threads wait for the holder as for any other.
    bool left_held = false;
    while (!local_.try_lock()) {
      if (owner_.load(std::memory_order_relaxed) == self) {
        left_held = true;
        break;
      }
      if (!wait_more()) {
        *result = LockResult::kTimedOut;
        return OsStatus();
      }
    }
    owner_.store(self, std::memory_order_relaxed);
    for (;;) {
      // Taking the byte again through the same descriptor is a no-op when
      // this holder kept it.
      const int err = OfdLock(fd_.get(), posix::kMutexLockOffset, F_WRLCK, false);
      if (err == 0) {
        *result = left_held ? LockResult::kAbandoned : LockResult::kAcquired;
        return OsStatus();
      }
      if (err != EAGAIN && err != EACCES) {
        ReleaseLocal();
        return OsStatus(static_cast<uint32_t>(err), "fcntl(F_OFD_SETLK)", path_);
      }
      if (!wait_more()) {
        ReleaseLocal();
        *result = LockResult::kTimedOut;
        return OsStatus();
      }
    }
  }

  void Unlock() override {
    OfdLock(fd_.get(), posix::kMutexLockOffset, F_UNLCK, false);
    ReleaseLocal();
  }

 private:
  void ReleaseLocal() {
    owner_.store(0, std::memory_order_relaxed);
    local_.unlock();
  }

  UniqueFd fd_;
  std::string path_;
  LocalMutex local_;
  // The thread that holds local_, 0 when none. Only the holder stores its
  // own id, so a thread that reads its own id here holds local_.
  std::atomic<pid_t> owner_{0};
};

class PosixEvent : public Event {
 public:
  PosixEvent() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &attr);
    pthread_condattr_destroy(&attr);
    pthread_mutex_init(&mutex_, nullptr);
  }
  ~PosixEvent() override {
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&mutex_);
  }

  void Set() override {
    pthread_mutex_lock(&mutex_);
    set_ = true;
    pthread_cond_broadcast(&cond_);
    pthread_mutex_unlock(&mutex_);
  }

  WaitResult Wait(int64_t timeout_ms) override {
    pthread_mutex_lock(&mutex_);
    int rc = 0;
    if (timeout_ms < 0) {
      while (!set_ && rc == 0) rc = pthread_cond_wait(&cond_, &mutex_);
    } else if (!set_ && timeout_ms > 0) {
      struct timespec deadline;
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
      deadline.tv_nsec += static_cast<long>((timeout_ms % 1000) * 1000000);
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      while (!set_ && rc == 0) rc = pthread_cond_timedwait(&cond_, &mutex_, &deadline);
    }
    const bool set = set_;
    pthread_mutex_unlock(&mutex_);
    if (set) return WaitResult::kSet;
    return rc == 0 || rc == ETIMEDOUT ? WaitResult::kTimedOut : WaitResult::kFailed;
  }

 private:
  pthread_mutex_t mutex_;
  pthread_cond_t cond_;
  bool set_ = false;
};

// Two slots, each a lock byte. Each slot is tried through a descriptor of its
// own (its own open file description), and a process-local flag keeps two
// threads of this process from sharing a slot through the same descriptor.
class PosixNamedSemaphore : public NamedSemaphore {
 public:
  static constexpr int kSlots = 2;
  // While a thread waits for a slot it looks again this often.
  static constexpr int64_t kPollMs = 50;

  PosixNamedSemaphore(UniqueFd a, UniqueFd b) {
    fds_[0] = std::move(a);
    fds_[1] = std::move(b);
  }
  ~PosixNamedSemaphore() override {
    for (int k = 0; k < kSlots; ++k) {
      if (held_[k]) OfdLock(fds_[k].get(), posix::kSlotLockOffset + k, F_UNLCK, false);
    }
  }

  bool TryAcquire() override {
    LocalLock guard(local_);
    for (int k = 0; k < kSlots; ++k) {
      if (held_[k]) continue;
      if (OfdLock(fds_[k].get(), posix::kSlotLockOffset + k, F_WRLCK, false) == 0) {
        held_[k] = true;
        return true;
      }
    }
    return false;
  }

  WaitResult AcquireOrStop(Event& stop) override {
    for (;;) {
      Event::WaitResult r = stop.Wait(0);
      if (r == Event::WaitResult::kTimedOut) {
        if (TryAcquire()) return WaitResult::kAcquired;
        r = stop.Wait(kPollMs);
      }
      if (r == Event::WaitResult::kSet) return WaitResult::kStopped;
      if (r == Event::WaitResult::kFailed) return WaitResult::kFailed;
    }
  }

  void Release() override {
    LocalLock guard(local_);
    for (int k = kSlots - 1; k >= 0; --k) {
      if (!held_[k]) continue;
      OfdLock(fds_[k].get(), posix::kSlotLockOffset + k, F_UNLCK, false);
      held_[k] = false;
      return;
    }
  }

 private:
  UniqueFd fds_[kSlots];
  bool held_[kSlots] = {false, false};
  LocalMutex local_;
};

}  // namespace

namespace posix {

OsStatus OpenIndexMutex(const std::string& index_path, std::unique_ptr<NamedMutex>* mutex) {
  mutex->reset();
  UniqueFd fd;
  const OsStatus opened = OpenIndexFile(index_path, &fd);
  if (opened.ok()) *mutex = std::make_unique<PosixNamedMutex>(std::move(fd), index_path);
  return opened;
}

std::unique_ptr<Event> NewLocalEvent() { return std::make_unique<PosixEvent>(); }

OsStatus OpenIndexSemaphore(const std::string& index_path,
                            std::unique_ptr<NamedSemaphore>* semaphore) {
  semaphore->reset();
  UniqueFd a;
  UniqueFd b;
  OsStatus opened = OpenIndexFile(index_path, &a);
  if (opened.ok()) opened = OpenIndexFile(index_path, &b);
  if (opened.ok()) *semaphore = std::make_unique<PosixNamedSemaphore>(std::move(a), std::move(b));
  return opened;
}

}  // namespace posix
}  // namespace platform
}  // namespace stow
