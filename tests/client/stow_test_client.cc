// A client program for the black-box tests: loads the library and runs the
// commands given as arguments, in order.
//
//   stow_test_client RESULTS_FILE LIBRARY_FILE COMMAND...
//
// Each command appends "@<command> <fields...>" lines to RESULTS_FILE, a file
// of its own so that nothing the library or the system prints gets in
// between; main() lists the commands, their arguments and their fields.
// hold-lock, hold-slot and hold-open take the index lock or a free eviction
// slot as the library does, or keep a file open without sharing its
// deletion, then make a marker file and hold on until killed (exit 4 after
// 60 s). loop-add registers and empties until killed. Exit codes: 0 done,
// 1 library not loaded, 2 bad command line, 3 nothing seen by wait-for,
// 5 nothing held.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "dynamic_library.h"
#include "index/layout.h"
#include "index/object_name.h"
#include "platform/posix/lock_bytes.h"
#include "platform/win32/slot_names.h"
#include "test_platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using namespace stow::testing_support;
using Library = stow_tools::StowmasterLibrary;

constexpr int kWaitForMs = 30000;

std::FILE* g_results = nullptr;

// Writes "@" + the fields, separated by blanks, as one line in one call, so
// that a line of the worker thread's never splits one of the main thread's.
template <typename... Fields>
void Result(const Fields&... fields) {
  std::ostringstream out;
  out << '@';
  ((out << fields << ' '), ...);
  std::string text = out.str();
  text.back() = '\n';
  std::fwrite(text.data(), 1, text.size(), g_results);
  std::fflush(g_results);
}

#ifdef _WIN32
// Takes a named mutex as the library does; `wait_ms` 0 only tries.
bool TakeMutex(const std::string& name, DWORD wait_ms) {
  HANDLE mutex = CreateMutexA(NULL, FALSE, name.c_str());
  const DWORD r = mutex == NULL ? WAIT_FAILED : WaitForSingleObject(mutex, wait_ms);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}
#else
// Takes (F_OFD_SETLK, F_OFD_SETLKW) one lock byte of the index file as the
// library does, or (F_OFD_GETLK) tells whether some open file description
// holds it.
bool LockByte(const std::string& index_path, uint64_t offset, int command) {
  const int fd = ::open(index_path.c_str(), O_RDWR | (command == F_OFD_SETLKW ? O_CREAT : 0), 0666);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = 1;
  const bool ok = fd >= 0 && ::fcntl(fd, command, &fl) == 0;
  return command == F_OFD_GETLK ? (::close(fd), ok && fl.l_type != F_UNLCK) : ok;
}
#endif

bool Hold(const std::string& what, const std::string& target) {
  using stow::ObjectNameText;
  namespace posix = stow::platform::posix;
  namespace win32 = stow::platform::win32;
  if (what == "hold-open") {
#ifdef _WIN32
    return CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL) != INVALID_HANDLE_VALUE;
#else
    return ::open(target.c_str(), O_RDONLY) >= 0;
#endif
  }
  for (int k = 0; k < (what == "hold-lock" ? 1 : win32::kSlotCount); ++k) {
#ifdef _WIN32
    if (what == "hold-lock")
      return TakeMutex(ObjectNameText(stow::kMutexPrefix, target.c_str()), kWaitForMs);
    const std::string semaphore = ObjectNameText(stow::kSemaphorePrefix, target.c_str());
    if (TakeMutex(win32::SlotObjectName(semaphore, k), 0)) return true;
#else
    if (what == "hold-lock") return LockByte(target, posix::kMutexLockOffset, F_OFD_SETLKW);
    if (LockByte(target, posix::kSlotLockOffset + k, F_OFD_SETLK)) return true;
#endif
  }
  return false;
}

#ifndef _WIN32
volatile sig_atomic_t g_own_faults = 0;
sigjmp_buf g_jump_back;

// A host's own handler: counts the fault and puts a page of zeros where the
// lost page was, so that the access completes.
void OwnBusHandler(int, siginfo_t* info, void*) {
  g_own_faults = g_own_faults + 1;
  const uintptr_t page = reinterpret_cast<uintptr_t>(info->si_addr) & ~uintptr_t{4095};
  mmap(reinterpret_cast<void*>(page), 4096, PROT_READ | PROT_WRITE,
       MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

// A host's handler that gives up on the interrupted call: it leaves the
// library's frames by a jump, without letting them finish.
void JumpingBusHandler(int) { siglongjmp(g_jump_back, 1); }

// Maps `path`, cuts it short and reads the lost page: a SIGBUS that has
// nothing to do with the library. The faults the own handler saw.
int FaultOutsideIndex(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ::ftruncate(fd, 8192) != 0) return -1;
  void* view = ::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED || ::ftruncate(fd, 0) != 0) return -1;
  const int before = g_own_faults;
  const char seen = static_cast<const volatile char*>(view)[4096];
  ::close(fd);
  return seen == 0 ? g_own_faults - before : -1;
}
#endif

int32_t STOWMASTER_CALL OnEntry(const StowmasterEntry* e, void* count) {
  *static_cast<int*>(count) += 1;
  Result("entry", e->block, e->file_size, e->registered, e->delay, e->evictable, e->path);
  return 1;
}

struct Progress {
  const Library* lib;
  int calls;
};

// Reads the status, which takes the index lock: it would never return if
// the pass still held it.
void STOWMASTER_CALL OnProgress(const StowmasterPassResult* so_far, void* context) {
  Progress& progress = *static_cast<Progress*>(context);
  progress.calls += 1;
  StowmasterStatus status = {};
  status.size = sizeof(status);
  const bool read = progress.lib->GetStatus(&status) == STOWMASTER_OK;
  Result("progress", so_far->deleted_files, read ? std::to_string(status.entries) : "failed");
}

// `each` of a pass: tells the entry, and stops the pass after `stop_after`
// entries (0: never).
struct EachState {
  int told;
  int stop_after;
};

int32_t STOWMASTER_CALL OnEach(const StowmasterEntry* e, void* context) {
  EachState& each = *static_cast<EachState*>(context);
  each.told += 1;
  Result("each", e->file_size, e->path);
  return each.stop_after == 0 || each.told < each.stop_after ? 1 : 0;
}

// check-files: each problem as a result line; the first one (when `touch`
// names files, separated by ';') rewrites each at 777 bytes and registers it
// again ("!empty": empties the cache), as another client would between the
// library's look at the files and its repair. "PATH@SIZE@SECOND" waits for
// that second of the system clock (at most a minute), then writes SIZE
// bytes and registers: "touched" adds the seconds before and after.
struct FilesCheck {
  const Library* lib;
  std::string touch;
};

int32_t STOWMASTER_CALL OnFileProblem(const StowmasterFileProblem* p, void* context) {
  FilesCheck& check = *static_cast<FilesCheck*>(context);
  Result("problem", p->block, p->problem, p->repaired, p->listed_size, p->disk_size, p->path);
  // Each of the ';'-separated files, once.
  for (size_t at = 0; at < check.touch.size();) {
    const size_t end = std::min(check.touch.find(';', at), check.touch.size());
    const std::string path = check.touch.substr(at, end - at);
    at = end + 1;
    if (path == "!empty") {  // empties the cache instead
      check.lib->DeleteAll();
      Result("touched", 1);
      continue;
    }
    const size_t size_at = path.find('@');
    if (size_at == std::string::npos) {
      const bool written = WriteWholeFile(path, std::string(777, 't'));
      Result("touched", written && check.lib->AddFileA(path.c_str(), 0) == 1 ? 1 : 0);
      continue;
    }
    const std::string file = path.substr(0, size_at);
    const size_t size = std::strtoul(path.c_str() + size_at + 1, nullptr, 10);
    const int64_t second = std::atoll(path.c_str() + path.find('@', size_at + 1) + 1);
    for (int waits = 0; UnixSeconds() < second && waits < 60000; ++waits) SleepMs(1);
    const int64_t before = UnixSeconds();
    const bool written = WriteWholeFile(file, std::string(size, 't'));
    const bool added = written && check.lib->AddFileA(file.c_str(), 0) == 1;
    Result("touched", added ? 1 : 0, before, UnixSeconds());
  }
  check.touch.clear();
  return 1;
}

void STOWMASTER_CALL OnAdoptProgress(const StowmasterAdoptResult* so_far, void* calls) {
  *static_cast<int*>(calls) += 1;
  Result("adopt-progress", so_far->adopted, so_far->failed);
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "stow_test_client: %s\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage("usage: stow_test_client RESULTS_FILE LIBRARY_FILE COMMAND...");
  if ((g_results = std::fopen(argv[1], "ab")) == nullptr) return Usage("no results file");
  Library lib;
  std::string error;
  if (!lib.Load(argv[2], &error)) return Result("load", 0, error), 1;
  std::vector<std::string> a;  // the arguments of the current command
  int at = 3;
  const auto args = [&](int n) {  // false when fewer are left
    if (argc - at < n) return false;
    a.assign(argv + at, argv + at + n);
    return (at += n), true;
  };
  const auto number = [&](int i) { return std::atoi(a[i].c_str()); };
  while (at < argc) {
    const std::string c = argv[at++];
    if (c == "init" && args(1)) {
      Result(c, lib.Initialize(number(0)));
    } else if (c == "uninit" || c == "deleteall") {
      (c == "uninit" ? lib.UnInitialize : lib.DeleteAll)();
      Result(c);
    } else if (c == "uninit-timed") {
      const int64_t start = NowMs();
      lib.UnInitialize();
      Result(c, NowMs() - start);
    } else if (c == "add" && args(2)) {
      Result(c, lib.AddFileA(a[0].c_str(),
                             static_cast<uint32_t>(std::strtoul(a[1].c_str(), nullptr, 10))));
    } else if (c == "addw" && args(1)) {
      const std::u16string wide = fs::u8path(a[0]).u16string();
      Result(c, lib.AddFileW(reinterpret_cast<const stowmaster_wchar*>(wide.c_str()), 0));
    } else if (c == "addmany" && args(2)) {
      int registered = 0;
      for (int i = 0; i < number(1); ++i) {
        const std::string path = ManyFileName(a[0], i);
        if (WriteWholeFile(path, std::string(ManyFileSize(i), 'm'))) {
          registered += lib.AddFileA(path.c_str(), 0);
        }
      }
      Result(c, registered);
    } else if (c == "loop-add" && args(2)) {
      // A bounded set of names: most registrations refresh a listed file,
      // some add new ones, and every so often the whole cache is emptied,
      // which removes the files' folder once it is empty.
      for (unsigned i = 0, signalled = 0;; ++i) {
        const std::string path = a[0] + std::to_string(i % 200);
        if (!PathExists(path)) {
          MakeDir(a[0].substr(0, a[0].find_last_of("/\\")));
          WriteWholeFile(path, std::string(1 + i % 50, 'x'));
        }
        if (lib.AddFileA(path.c_str(), 0) == 1 && !signalled) signalled = WriteWholeFile(a[1], "1");
        if (i % 97 == 96) lib.DeleteAll();
      }
    } else if (c == "sleep" && args(1)) {
      SleepMs(number(0));
      Result(c);
    } else if (c == "signal" && args(1)) {
      Result(c, WriteWholeFile(a[0], "1") ? 1 : 0);
    } else if (c == "wait-for" && args(1)) {
      const bool seen = WaitForFile(a[0], kWaitForMs);
      Result(c, seen ? 1 : 0);
      if (!seen) return 3;
    } else if (c == "stats" && args(1)) {
      stow::IndexFileHeader h;
      std::ifstream in(FsPath(a[0]), std::ios::binary);
      if (!in.read(reinterpret_cast<char*>(&h), sizeof(h)))
        Result(c, in.is_open() ? "short" : "missing");
      else
        Result(c, h.TotalFileCount, h.CacheSize);
    } else if ((c == "hold-lock" || c == "hold-slot" || c == "hold-open") && args(2)) {
      const bool held = Hold(c, a[0]);
#ifdef _WIN32
      if (!held) return Result(c, 0, GetLastError()), 5;
#endif
      if (!held) return Result(c, 0), 5;
      Result(c, 1);
      WriteWholeFile(a[1], "1");
      SleepMs(60000);
      return 4;
#ifndef _WIN32
    } else if (c == "sigbus-handler") {
      struct sigaction action = {};
      action.sa_sigaction = &OwnBusHandler;
      action.sa_flags = SA_SIGINFO;
      sigemptyset(&action.sa_mask);
      sigaction(SIGBUS, &action, nullptr);
      Result(c);
    } else if (c == "sigbus-outside" && args(1)) {
      Result(c, FaultOutsideIndex(a[0]));
    } else if (c == "add-jump" && args(2)) {
      struct sigaction action = {}, previous;
      action.sa_handler = &JumpingBusHandler;
      sigemptyset(&action.sa_mask);
      sigaction(SIGBUS, &action, &previous);
      if (sigsetjmp(g_jump_back, 1) == 0) {
        Result(c, 0, lib.AddFileA(a[0].c_str(), 0));
      } else {
        const bool held = LockByte(a[1], stow::platform::posix::kMutexLockOffset, F_OFD_GETLK);
        Result(c, 1, held ? 1 : 0);
      }
      sigaction(SIGBUS, &previous, nullptr);
    } else if (c == "uninit-jump") {
      // UnInitialize under the jumping handler: 1 when it was left by a jump.
      struct sigaction action = {}, previous;
      action.sa_handler = &JumpingBusHandler;
      sigemptyset(&action.sa_mask);
      sigaction(SIGBUS, &action, &previous);
      if (sigsetjmp(g_jump_back, 1) == 0) {
        lib.UnInitialize();
        Result(c, 0);
      } else {
        Result(c, 1);
      }
      sigaction(SIGBUS, &previous, nullptr);
#endif
    } else if (c == "settings") {
      StowmasterSettings s = {};
      s.size = sizeof(s);
      Result(c, lib.GetSettings(&s), s.settings_found, s.log_writable, s.limit_bytes, s.precision,
             s.high_mark_bytes, s.low_mark_bytes, s.min_age_seconds);
      Result("settings-file", s.settings_file);
      Result("log-file", s.log_file);
    } else if (c == "status") {
      StowmasterStatus s = {};
      s.size = sizeof(s);
      Result(c, lib.GetStatus(&s), s.index_present, s.index_formatted, s.lists_consistent,
             s.entries, s.capacity, s.bytes_in_use, s.oldest_registration, s.newest_registration,
             s.evictable_files, s.evictable_bytes, "next", s.next_registered, s.next_path);
    } else if (c == "status-sized" && args(1)) {
      // As a caller built against an older header sees it: a struct of
      // `size` bytes, followed by bytes the library must leave alone.
      StowmasterStatus s;
      std::memset(&s, 0x5A, sizeof(s));
      s.size = static_cast<uint32_t>(number(0));
      const int32_t rc = lib.GetStatus(&s);
      const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&s);
      bool untouched = true;
      for (size_t i = static_cast<size_t>(number(0)); i < sizeof(s); ++i) {
        untouched = untouched && bytes[i] == 0x5A;
      }
      Result(c, rc, s.size, untouched ? 1 : 0, s.entries, s.limit_bytes, s.high_mark_bytes,
             s.low_mark_bytes);
    } else if (c == "counters") {
      StowmasterCounters n = {};
      n.size = sizeof(n);
      Result(c, lib.GetCounters(&n), n.available, n.registrations_new, n.registrations_refreshed,
             n.registrations_refused, n.full_index_refusals, n.pass_deleted_files,
             n.deletions_refused);
    } else if (c == "list" && args(1)) {
      int count = 0;
      Result(c, lib.ListEntries(number(0), OnEntry, &count), count);
    } else if (c == "check" && args(1)) {
      StowmasterCheckReport r = {};
      r.size = sizeof(r);
      Result(c, lib.Check(number(0), &r), r.index_present, r.index_formatted, r.lists_consistent,
             r.repaired, r.valid_count, r.free_count, r.problem);
    } else if (c == "shrink" || c == "empty") {
      StowmasterPassResult r = {};
      r.size = sizeof(r);
      Progress progress{&lib, 0};
      const int32_t rc = (c == "empty" ? lib.Empty : lib.Shrink)(&r, OnProgress, &progress);
      Result(c, rc, r.deleted_files, r.deleted_bytes, r.kept_files, r.kept_bytes, r.remaining_files,
             r.remaining_bytes, progress.calls);
    } else if (c == "shrinkwith" && args(3)) {
      // DRY_RUN OLDER_THAN STOP_AFTER
      StowmasterShrinkOptions o = {};
      o.size = sizeof(o);
      o.dry_run = number(0);
      o.older_than = std::strtoll(a[1].c_str(), nullptr, 10);
      EachState each{0, number(2)};
      o.each = OnEach;
      o.each_context = &each;
      StowmasterPassResult r = {};
      r.size = sizeof(r);
      Progress progress{&lib, 0};
      const int32_t rc = lib.ShrinkWith(&o, &r, OnProgress, &progress);
      Result(c, rc, r.deleted_files, r.deleted_bytes, r.kept_files, r.kept_bytes, r.remaining_files,
             r.remaining_bytes);
    } else if (c == "dump" && args(1)) {
      Result(c, lib.Dump(a[0].c_str(), nullptr, 0, nullptr));
    } else if (c == "dumpbuf" && args(2)) {
      std::vector<char> buffer(std::strtoul(a[0].c_str(), nullptr, 10) + 1, '\0');
      uint64_t length = 0;
      const int32_t rc = lib.Dump(nullptr, buffer.data(), buffer.size() - 1, &length);
      WriteWholeFile(a[1], buffer.data());
      Result(c, rc, length);
    } else if (c == "check-files" && args(2)) {
      StowmasterFilesReport r = {};
      r.size = sizeof(r);
      FilesCheck check{&lib, a[1] == "-" ? std::string() : a[1]};
      Result(c, lib.CheckFiles(number(0), &r, OnFileProblem, &check), r.checked, r.missing,
             r.not_regular, r.size_differs, r.repaired, r.dropped_bytes, r.size_change);
    } else if (c == "adopt" && args(2)) {
      StowmasterAdoptResult r = {};
      r.size = sizeof(r);
      int calls = 0;
      const int32_t rc = lib.Adopt(a[0].c_str(), static_cast<uint32_t>(number(1)), &r,
                                   OnAdoptProgress, &calls);
      Result(c, rc, r.found, r.listed, r.adopted, r.failed, r.adopted_bytes, calls);
    } else if (c == "usage") {
      StowmasterDiskUsage u = {};
      u.size = sizeof(u);
      Result(c, lib.GetDiskUsage(&u), u.folders, u.files, u.bytes, u.unlisted_files,
             u.unlisted_bytes);
    } else if (c == "lasterror") {
      char text[1024];
      lib.LastError(text, sizeof(text));
      Result(c, text);
    } else {
      return Usage("unknown command, or too few arguments: " + c);
    }
  }
  return 0;
}
