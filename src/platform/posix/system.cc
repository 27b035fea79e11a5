// Clock, threads and the process-local mutex.
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

namespace {

// True when the effective capability set, as /proc/self/status shows it,
// holds CAP_DAC_OVERRIDE (bit 1).
bool CanOverrideFilePermissions() {
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[8192];
  size_t length = 0;
  for (;;) {
    ssize_t n = ::read(fd, text + length, sizeof(text) - 1 - length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length += static_cast<size_t>(n);
    if (length == sizeof(text) - 1) break;
  }
  ::close(fd);
  text[length] = '\0';
  const char* line = std::strstr(text, "\nCapEff:");
  if (line == nullptr) return false;
  const unsigned long long caps = std::strtoull(line + 8, nullptr, 16);
  return (caps & (1ULL << 1)) != 0;
}

}  // namespace

Privileges ProcessPrivileges() {
  Privileges p;
  p.elevated = ::geteuid() == 0 || CanOverrideFilePermissions();
  p.set_id = ::getuid() != ::geteuid() || ::getgid() != ::getegid();
  p.user = static_cast<uint32_t>(::geteuid());
  return p;
}

bool ReadEnvironmentVariable(const char* name, std::string* out) {
  const char* value = ::getenv(name);
  if (value == nullptr) return false;
  *out = value;
  return true;
}

}  // namespace native

static_assert(sizeof(pthread_mutex_t) <= 64, "LocalMutex storage too small");

LocalMutex::LocalMutex() { new (storage_) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
LocalMutex::~LocalMutex() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void LocalMutex::lock() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
bool LocalMutex::try_lock() {
  return pthread_mutex_trylock(reinterpret_cast<pthread_mutex_t*>(storage_)) == 0;
}
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
