// Machine-wide mutex and semaphore, and the process-local event, on Win32.
// The named objects are kernel objects open to every user; the index file
// path that the POSIX layer locks on plays no part here.

#include "platform/win32/handle.h"

#include <atomic>
#include <string>
#include <utility>

#include "platform/native.h"

namespace stow {
namespace platform {

namespace {

class Win32NamedMutex : public NamedMutex {
 public:
  Win32NamedMutex(win32::UniqueHandle mutex, std::string name)
      : mutex_(std::move(mutex)), name_(std::move(name)) {}

  // A wait that fails outright (a broken handle) cannot leave the lock held
  // and is reported as OsError.
  LockResult Lock(int64_t timeout_ms) override {
    const DWORD timeout = timeout_ms < 0                                       ? INFINITE
                          : timeout_ms >= static_cast<int64_t>(INFINITE) ? INFINITE - 1
                                                                             : static_cast<DWORD>(timeout_ms);
    switch (WaitForSingleObject(mutex_.get(), timeout)) {
      case WAIT_OBJECT_0:
        return LockResult::kAcquired;
      case WAIT_TIMEOUT:
        return LockResult::kTimedOut;
      case WAIT_ABANDONED:
        // The previous holder ended while holding it; the lock is ours now,
        // but what it guarded may be half-written.
        return LockResult::kAbandoned;
      default:
        throw OsError(GetLastError(), "WaitForSingleObject", name_);
    }
  }

  void Unlock() override { ReleaseMutex(mutex_.get()); }

 private:
  win32::UniqueHandle mutex_;
  std::string name_;
};

class Win32Event : public Event {
 public:
  explicit Win32Event(win32::UniqueHandle event) : event_(std::move(event)) {}

  void Set() override { SetEvent(event_.get()); }

  WaitResult Wait(int64_t timeout_ms) override {
    DWORD timeout;
    if (timeout_ms < 0) {
      timeout = INFINITE;
    } else if (timeout_ms >= static_cast<int64_t>(INFINITE)) {
      timeout = INFINITE - 1;  // the longest finite wait
    } else {
      timeout = static_cast<DWORD>(timeout_ms);
    }
    switch (WaitForSingleObject(event_.get(), timeout)) {
      case WAIT_OBJECT_0:
        return WaitResult::kSet;
      case WAIT_TIMEOUT:
        return WaitResult::kTimedOut;
      default:
        return WaitResult::kFailed;
    }
  }

  void* native_handle() override { return event_.get(); }

 private:
  win32::UniqueHandle event_;
};

class Win32NamedSemaphore : public NamedSemaphore {
 public:
  explicit Win32NamedSemaphore(win32::UniqueHandle semaphore) : semaphore_(std::move(semaphore)) {}

  ~Win32NamedSemaphore() override {
    for (long n = held_.exchange(0); n > 0; --n) {
      ReleaseSemaphore(semaphore_.get(), 1, NULL);
    }
  }

  bool TryAcquire() override {
    if (WaitForSingleObject(semaphore_.get(), 0) != WAIT_OBJECT_0) {
      return false;
    }
    ++held_;
    return true;
  }

  WaitResult AcquireOrStop(Event& stop) override {
    HANDLE stop_handle = static_cast<HANDLE>(stop.native_handle());
    if (stop_handle == NULL) return PollUntilStopped(stop);
    // With several objects ready the wait reports, and takes, only the one
    // listed first: the stop event comes first so that it wins without
    // consuming a slot.
    HANDLE handles[2] = {stop_handle, semaphore_.get()};
    switch (WaitForMultipleObjects(2, handles, FALSE, INFINITE)) {
      case WAIT_OBJECT_0:
        return WaitResult::kStopped;
      case WAIT_OBJECT_0 + 1:
        ++held_;
        return WaitResult::kAcquired;
      default:
        return WaitResult::kFailed;
    }
  }

  void Release() override {
    // Only slots this object took are given back: releasing more would hand
    // out a slot that another holder still has.
    long held = held_.load();
    do {
      if (held <= 0) return;
    } while (!held_.compare_exchange_weak(held, held - 1));
    ReleaseSemaphore(semaphore_.get(), 1, NULL);
  }

 private:
  // An event without a system handle cannot join the wait: look at it and
  // at the semaphore in turn instead.
  WaitResult PollUntilStopped(Event& stop) {
    for (;;) {
      Event::WaitResult r = stop.Wait(0);
      if (r == Event::WaitResult::kTimedOut) {
        if (TryAcquire()) return WaitResult::kAcquired;
        r = stop.Wait(50);
      }
      if (r == Event::WaitResult::kSet) return WaitResult::kStopped;
      if (r == Event::WaitResult::kFailed) return WaitResult::kFailed;
    }
  }

  win32::UniqueHandle semaphore_;
  std::atomic<long> held_{0};
};

constexpr LONG kSemaphoreSlots = 2;

}  // namespace

namespace native {

std::unique_ptr<NamedMutex> OpenNamedMutex(const std::string& name, const std::string&) {
  win32::OpenToEveryone access;
  win32::UniqueHandle mutex(CreateMutexA(access.get(), FALSE, win32::ObjectName(name)));
  if (!mutex) throw OsError(GetLastError(), "CreateMutexA", name);
  return std::unique_ptr<NamedMutex>(new Win32NamedMutex(std::move(mutex), name));
}

std::unique_ptr<Event> NewEvent() {
  win32::UniqueHandle event(CreateEventA(NULL, TRUE, FALSE, NULL));
  if (!event) throw OsError(GetLastError(), "CreateEventA");
  return std::unique_ptr<Event>(new Win32Event(std::move(event)));
}

std::unique_ptr<NamedSemaphore> OpenNamedSemaphore(const std::string& name, const std::string&) {
  win32::OpenToEveryone access;
  // Opens the semaphore as it is when another process created it first.
  win32::UniqueHandle semaphore(
      CreateSemaphoreA(access.get(), kSemaphoreSlots, kSemaphoreSlots, win32::ObjectName(name)));
  if (!semaphore) throw OsError(GetLastError(), "CreateSemaphoreA", name);
  return std::unique_ptr<NamedSemaphore>(new Win32NamedSemaphore(std::move(semaphore)));
}

}  // namespace native
}  // namespace platform
}  // namespace stow
