// Clock, threads and the process-local mutex on Win32.

#include "platform/win32/handle.h"

#include <new>
#include <string>

#include "platform/native.h"
#include "platform/win32/checks.h"

namespace stow {
namespace platform {

std::string ErrorText(uint32_t code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      NULL, code, 0, reinterpret_cast<LPSTR>(&text), 0, NULL);
  std::string result =
      length != 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result;
}

namespace win32 {

bool IsServiceAccountSid(void* sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinLocalServiceSid) ||
         IsWellKnownSid(sid, WinNetworkServiceSid);
}

}  // namespace win32

namespace native {

// ---------------------------------------------------------------- clock ---

namespace {

// FILETIME counts 100-nanosecond ticks since 1601-01-01 UTC.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksFrom1601To1970 = 116444736000000000LL;

}  // namespace

int64_t NowSeconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - kTicksFrom1601To1970) / kTicksPerSecond;
}

LocalTime ToLocalTime(int64_t seconds) {
  LocalTime result = {1970, 1, 1, 0, 0, 0};
  // FILETIME cannot hold times before 1601 or beyond its signed range.
  if (seconds < -kTicksFrom1601To1970 / kTicksPerSecond ||
      seconds > (INT64_MAX - kTicksFrom1601To1970) / kTicksPerSecond) {
    return result;
  }
  uint64_t ticks = static_cast<uint64_t>(seconds * kTicksPerSecond + kTicksFrom1601To1970);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  SYSTEMTIME utc;
  if (!FileTimeToSystemTime(&ft, &utc)) return result;
  // Converts with the daylight-saving rule in force at that time, not the
  // one in force now.
  SYSTEMTIME local;
  if (!SystemTimeToTzSpecificLocalTime(NULL, &utc, &local)) local = utc;
  result.year = local.wYear;
  result.month = local.wMonth;
  result.day = local.wDay;
  result.hour = local.wHour;
  result.minute = local.wMinute;
  result.second = local.wSecond;
  return result;
}

// --------------------------------------------------------------- thread ---

namespace {

struct ThreadStart {
  void (*entry)(void*);
  void* arg;
};

DWORD WINAPI ThreadTrampoline(LPVOID param) {
  ThreadStart start = *static_cast<ThreadStart*>(param);
  delete static_cast<ThreadStart*>(param);
  start.entry(start.arg);
  return 0;
}

class Win32Thread : public Thread {
 public:
  explicit Win32Thread(HANDLE thread) : thread_(thread) {}

  void Join() override {
    if (!thread_) return;
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }

 private:
  win32::UniqueHandle thread_;
};

}  // namespace

std::unique_ptr<Thread> StartThread(void (*entry)(void*), void* arg) {
  ThreadStart* start = new ThreadStart{entry, arg};
  HANDLE thread = CreateThread(NULL, 0, ThreadTrampoline, start, 0, NULL);
  if (thread == NULL) {
    DWORD error = GetLastError();
    delete start;
    throw OsError(error, "CreateThread");
  }
  return std::unique_ptr<Thread>(new Win32Thread(thread));
}

void SleepMs(int64_t ms) { ::Sleep(ms <= 0 ? 0 : static_cast<DWORD>(ms)); }

// ----------------------------------------------------------- privileges ---

// A service account's token (LocalSystem, LocalService, NetworkService). A
// token that cannot be read counts as privileged: the stricter rules apply.
Privileges ProcessPrivileges() {
  Privileges result;
  HANDLE raw = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    result.elevated = true;
    return result;
  }
  win32::UniqueHandle token(raw);
  alignas(8) unsigned char buffer[256];
  DWORD length = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &length)) {
    result.elevated = true;
    return result;
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  result.elevated = win32::IsServiceAccountSid(sid);
  if (IsValidSid(sid)) {
    // FNV-1a over the identifier's bytes.
    const unsigned char* bytes = static_cast<const unsigned char*>(sid);
    uint32_t h = 2166136261u;
    for (DWORD i = 0, n = GetLengthSid(sid); i < n; ++i) {
      h ^= bytes[i];
      h *= 16777619u;
    }
    result.user = h;
  }
  return result;
}

bool ReadEnvironmentVariable(const char* name, std::string* out) {
  char buffer[1024];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
  if (n == 0 || n >= sizeof(buffer)) return false;
  out->assign(buffer, n);
  return true;
}

}  // namespace native

// ---------------------------------------------------------- local mutex ---

namespace {

static_assert(sizeof(SRWLOCK) <= 64, "SRWLOCK must fit LocalMutex::storage_");
static_assert(alignof(SRWLOCK) <= 8, "SRWLOCK must fit LocalMutex::storage_");

}  // namespace

// An SRW lock needs no clean-up and cannot fail once initialised.
LocalMutex::LocalMutex() { InitializeSRWLock(new (storage_) SRWLOCK); }

LocalMutex::~LocalMutex() {}

void LocalMutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }

bool LocalMutex::try_lock() {
  return TryAcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)) != 0;
}

void LocalMutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }

}  // namespace platform
}  // namespace stow
