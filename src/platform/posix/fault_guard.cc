// The SIGBUS handler and its registry of views. The handler runs on any
// thread at any moment, so the registry is a fixed array of lock-free
// atomics, and the handler calls only async-signal-safe functions (mmap,
// sigaction, raise).
#include "platform/posix/fault_guard.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace stow {
namespace platform {
namespace posix {
namespace {

constexpr int kSlots = 16;

struct ViewSlot {
  std::atomic<bool> used{false};
  std::atomic<uintptr_t> begin{0};  // 0 while the slot holds no view
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

static_assert(std::atomic<uintptr_t>::is_always_lock_free, "the handler needs lock-free atomics");
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs lock-free atomics");

ViewSlot g_slots[kSlots];
struct sigaction g_previous;
uintptr_t g_page_size = 4096;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

// Hands a fault that is not ours to whatever the host had installed.
void Chain(int sig, siginfo_t* info, void* context) {
  if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
    if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(sig, info, context);
    return;
  }
  if (g_previous.sa_handler == SIG_IGN && info->si_code <= 0) return;  // sent, not a fault
  if (g_previous.sa_handler == SIG_DFL || g_previous.sa_handler == SIG_IGN) {
    // A real fault cannot be ignored: returning would run the access again.
    // Die of it as the host would have without this handler.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    raise(sig);  // delivered on return, for a signal sent by another process
    return;
  }
  g_previous.sa_handler(sig);
}

void OnBusError(int sig, siginfo_t* info, void* context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (ViewSlot& slot : g_slots) {
    const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_acquire)) {
      continue;
    }
    void* page = reinterpret_cast<void*>(address & ~(g_page_size - 1));
    if (mmap(page, g_page_size, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1,
             0) == MAP_FAILED) {
      break;
    }
    slot.faulted.store(true, std::memory_order_release);
    return;
  }
  Chain(sig, info, context);
}

void Install() {
  // The handler stays installed for the life of the process, so the code it
  // runs must too: a host that unloads the library would otherwise leave the
  // signal pointing into unmapped memory.
  Dl_info info = {};
  if (dladdr(reinterpret_cast<void*>(&OnBusError), &info) != 0 && info.dli_fname != nullptr) {
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) g_page_size = static_cast<uintptr_t>(page);
  struct sigaction action = {};
  action.sa_sigaction = &OnBusError;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

void InstallFaultHandler() { pthread_once(&g_once, &Install); }

int RegisterView(void* begin, size_t size) {
  for (int k = 0; k < kSlots; ++k) {
    bool expected = false;
    if (!g_slots[k].used.compare_exchange_strong(expected, true)) continue;
    g_slots[k].faulted.store(false);
    g_slots[k].end.store(reinterpret_cast<uintptr_t>(begin) + size, std::memory_order_release);
    g_slots[k].begin.store(reinterpret_cast<uintptr_t>(begin), std::memory_order_release);
    return k;
  }
  return -1;
}

void UnregisterView(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  g_slots[slot].begin.store(0, std::memory_order_release);
  g_slots[slot].end.store(0, std::memory_order_release);
  g_slots[slot].faulted.store(false);
  g_slots[slot].used.store(false, std::memory_order_release);
}

bool TakeFault(int slot) {
  if (slot < 0 || slot >= kSlots) return false;
  return g_slots[slot].faulted.exchange(false, std::memory_order_acq_rel);
}

}  // namespace posix
}  // namespace platform
}  // namespace stow
