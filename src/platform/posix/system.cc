// Clock, threads and the process-local mutex.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/native.h"

namespace stow {
namespace platform {

std::string ErrorText(uint32_t code) {
  char buffer[256];
  // The GNU form returns the text, which may or may not be in the buffer.
  const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
  return text != nullptr ? std::string(text) : "error " + std::to_string(code);
}

namespace native {

int64_t NowSeconds() { return static_cast<int64_t>(::time(nullptr)); }

LocalTime ToLocalTime(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm_local = {};
  ::localtime_r(&t, &tm_local);
  return LocalTime{tm_local.tm_year + 1900, tm_local.tm_mon + 1, tm_local.tm_mday,
                   tm_local.tm_hour,        tm_local.tm_min,     tm_local.tm_sec};
}

void SleepMs(int64_t ms) {
  struct timespec t = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

}  // namespace native

static_assert(sizeof(pthread_mutex_t) <= 64, "LocalMutex storage too small");

LocalMutex::LocalMutex() { new (storage_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
LocalMutex::~LocalMutex() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void LocalMutex::lock() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void LocalMutex::unlock() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

namespace native {
namespace {

struct StartInfo {
  void (*entry)(void*);
  void* arg;
};

void* Trampoline(void* p) {
  StartInfo info = *static_cast<StartInfo*>(p);
  delete static_cast<StartInfo*>(p);
  info.entry(info.arg);
  return nullptr;
}

class PosixThread : public Thread {
 public:
  explicit PosixThread(pthread_t t) : thread_(t) {}
  ~PosixThread() override {
    if (!joined_) pthread_detach(thread_);
  }
  void Join() override {
    if (joined_) return;
    pthread_join(thread_, nullptr);
    joined_ = true;
  }

 private:
  pthread_t thread_;
  bool joined_ = false;
};

}  // namespace

std::unique_ptr<Thread> StartThread(void (*entry)(void*), void* arg) {
  auto* info = new StartInfo{entry, arg};
  pthread_t t;
  int rc = pthread_create(&t, nullptr, Trampoline, info);
  if (rc != 0) {
    delete info;
    throw OsError(static_cast<uint32_t>(rc), "pthread_create");
  }
  return std::make_unique<PosixThread>(t);
}

}  // namespace native
}  // namespace platform
}  // namespace stow
