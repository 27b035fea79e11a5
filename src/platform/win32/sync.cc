// Machine-wide mutex and semaphore, and the process-local event, on Win32.
// The named objects are kernel objects open to every user; the index file
// path that the POSIX layer locks on plays no part here.

#include "platform/win32/handle.h"

#include <atomic>
#include <set>
#include <string>
#include <utility>

#include "platform/win32/objects.h"
#include "platform/win32/slot_names.h"

namespace stow {
namespace platform {

namespace {

OsStatus LastError(const char* call, const std::string& path) {
  const DWORD code = GetLastError();
  return OsStatus(code != 0 ? code : ERROR_GEN_FAILURE, call, path);
}

class Win32NamedMutex : public NamedMutex {
 public:
  Win32NamedMutex(win32::UniqueHandle mutex, std::string name)
      : mutex_(std::move(mutex)), name_(std::move(name)) {}

  // A wait that fails outright (a broken handle) cannot leave the lock held
  // and is reported as a failure.
  OsStatus Lock(int64_t timeout_ms, LockResult* result) override {
    const DWORD timeout = timeout_ms < 0 ? INFINITE
                          : timeout_ms >= static_cast<int64_t>(INFINITE)
                              ? INFINITE - 1
                              : static_cast<DWORD>(timeout_ms);
    switch (WaitForSingleObject(mutex_.get(), timeout)) {
      case WAIT_OBJECT_0:
        *result = LockResult::kAcquired;
        return OsStatus();
      case WAIT_TIMEOUT:
        *result = LockResult::kTimedOut;
        return OsStatus();
      case WAIT_ABANDONED:
        // The previous holder ended while holding it; the lock is ours now,
        // but what it guarded may be half-written.
        *result = LockResult::kAbandoned;
        return OsStatus();
      default:
        *result = LockResult::kTimedOut;
        return LastError("WaitForSingleObject", name_);
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

// Slots held in this process, by name. A mutex is reentrant for its owner
// thread, even through another handle, so without this a thread holding a
// slot through one object would take it again through another.
LocalMutex& HeldSlotsMutex() {
  static LocalMutex* const mutex = new LocalMutex;
  return *mutex;
}
std::set<std::string>& HeldSlots() {
  static std::set<std::string>* const held = new std::set<std::string>;
  return *held;
}

// The two eviction slots are two named mutexes rather than one semaphore:
// the system releases a mutex whose owner ended (the next taker sees it
// abandoned), so the slot of a process that was killed is free at once,
// where a semaphore's count would stay lost until every process had closed
// it. A mutex belongs to the thread that took it, so a slot is given back on
// that thread.
class Win32NamedSemaphore : public NamedSemaphore {
 public:
  Win32NamedSemaphore(win32::UniqueHandle a, win32::UniqueHandle b, const std::string& name) {
    slots_[0] = std::move(a);
    slots_[1] = std::move(b);
    for (int k = 0; k < win32::kSlotCount; ++k) names_[k] = win32::SlotObjectName(name, k);
  }

  ~Win32NamedSemaphore() override {
    // Only the owner thread can release; a slot still held by another
    // thread comes free when that thread ends.
    LocalLock guard(HeldSlotsMutex());
    for (int k = 0; k < win32::kSlotCount; ++k) {
      if (!held_[k]) continue;
      ReleaseMutex(slots_[k].get());
      HeldSlots().erase(names_[k]);
    }
  }

  bool TryAcquire() override {
    LocalLock guard(HeldSlotsMutex());
    for (int k = 0; k < win32::kSlotCount; ++k) {
      if (HeldSlots().count(names_[k]) != 0) continue;
      const DWORD r = WaitForSingleObject(slots_[k].get(), 0);
      if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
        Take(k);
        return true;
      }
    }
    return false;
  }

  WaitResult AcquireOrStop(Event& stop) override {
    HANDLE stop_handle = static_cast<HANDLE>(stop.native_handle());
    if (stop_handle == NULL) return PollUntilStopped(stop);
    // With several objects ready the wait reports, and takes, only the one
    // listed first: the stop event comes first so that it wins without
    // consuming a slot.
    HANDLE handles[3] = {stop_handle, slots_[0].get(), slots_[1].get()};
    const DWORD r = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) return WaitResult::kStopped;
    for (DWORD k = 0; k < static_cast<DWORD>(win32::kSlotCount); ++k) {
      if (r == WAIT_OBJECT_0 + 1 + k || r == WAIT_ABANDONED_0 + 1 + k) {
        LocalLock guard(HeldSlotsMutex());
        if (HeldSlots().count(names_[k]) != 0) {
          // This thread held it already, through another object.
          ReleaseMutex(slots_[k].get());
          break;
        }
        Take(static_cast<int>(k));
        return WaitResult::kAcquired;
      }
    }
    if (r >= WAIT_OBJECT_0 + 1 && r < WAIT_OBJECT_0 + 1 + win32::kSlotCount) {
      return PollUntilStopped(stop);
    }
    return WaitResult::kFailed;
  }

  void Release() override {
    LocalLock guard(HeldSlotsMutex());
    const DWORD me = GetCurrentThreadId();
    for (int k = win32::kSlotCount - 1; k >= 0; --k) {
      if (!held_[k] || owner_[k] != me) continue;
      held_[k] = false;
      HeldSlots().erase(names_[k]);
      ReleaseMutex(slots_[k].get());
      return;
    }
  }

 private:
  // Called with HeldSlotsMutex held.
  void Take(int k) {
    held_[k] = true;
    owner_[k] = GetCurrentThreadId();
    HeldSlots().insert(names_[k]);
  }

  // An event without a system handle cannot join the wait: look at it and
  // at the slots in turn instead.
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

  win32::UniqueHandle slots_[win32::kSlotCount];
  bool held_[win32::kSlotCount] = {false, false};
  DWORD owner_[win32::kSlotCount] = {0, 0};
  std::string names_[win32::kSlotCount];
};

}  // namespace

namespace win32 {

OsStatus OpenIndexMutex(const std::string& name, std::unique_ptr<NamedMutex>* out) {
  out->reset();
  OpenToEveryone access;
  if (!access.status().ok()) return access.status();
  UniqueHandle mutex(CreateMutexA(access.get(), FALSE, ObjectName(name)));
  if (!mutex) return LastError("CreateMutexA", name);
  out->reset(new Win32NamedMutex(std::move(mutex), name));
  return OsStatus();
}

OsStatus NewLocalEvent(std::unique_ptr<Event>* out) {
  out->reset();
  UniqueHandle event(CreateEventA(NULL, TRUE, FALSE, NULL));
  if (!event) return LastError("CreateEventA", std::string());
  out->reset(new Win32Event(std::move(event)));
  return OsStatus();
}

OsStatus OpenIndexSemaphore(const std::string& name, std::unique_ptr<NamedSemaphore>* out) {
  out->reset();
  OpenToEveryone access;
  if (!access.status().ok()) return access.status();
  UniqueHandle slots[kSlotCount];
  for (int k = 0; k < kSlotCount; ++k) {
    const std::string slot_name = SlotObjectName(name, k);
    slots[k] = UniqueHandle(CreateMutexA(access.get(), FALSE, slot_name.c_str()));
    if (!slots[k]) return LastError("CreateMutexA", slot_name);
  }
  out->reset(new Win32NamedSemaphore(std::move(slots[0]), std::move(slots[1]), name));
  return OsStatus();
}

}  // namespace win32
}  // namespace platform
}  // namespace stow
