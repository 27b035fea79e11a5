// A client program for the black-box tests: loads the library and runs the
// commands given as arguments, in order.
//
//   stow_test_client RESULTS_FILE LIBRARY_FILE COMMAND...
//
// Each command appends one result line to RESULTS_FILE, a file of its own
// so that nothing the library or the system prints can get in between.
// Commands and their result lines:
//   init THREADED          @init <result>
//   uninit                 @uninit
//   add PATH DELAY         @add <result>
//   addw PATH              @addw <result>       (UTF-16 entry point, delay 0)
//   addmany PREFIX N       @addmany <registered> (creates PREFIX0.. of ManyFileSize(i) bytes)
//   loop-add PREFIX FILE   registers PREFIX0..PREFIX199 (creating them and their folder)
//                          and empties the cache now and then, until killed; creates
//                          FILE after the first registration
//   deleteall              @deleteall
//   sleep MS               @sleep
//   signal FILE            @signal              (creates FILE)
//   wait-for FILE          @wait-for 1, or @wait-for 0 and exit 3 after 30 s
//   stats INDEXFILE        @stats <files> <bytes> (from the index header on disk)
//   hold-lock INDEXFILE FILE
//                          takes the index lock as the library does, creates FILE and
//                          holds the lock until killed (exit 4 after 60 s)
//   hold-slot INDEXFILE FILE
//                          takes a free eviction slot as the library does, creates FILE
//                          and holds the slot until killed (exit 4 after 60 s)
//   hold-open PATH FILE    opens PATH for reading, sharing it for reading and writing
//                          but not for deletion (Windows; POSIX just opens it), creates
//                          FILE and keeps it open until killed (exit 4 after 60 s)
//   uninit-timed           @uninit-timed <milliseconds UnInitialize took>
//   sigbus-handler         installs a SIGBUS handler of the program's own (POSIX)
//   sigbus-outside FILE    maps FILE (created), cuts it short and reads the lost page:
//                          @sigbus-outside <faults the program's own handler saw> (POSIX)
//   add-jump PATH INDEXFILE
//                          registers PATH (delay 0) under a SIGBUS handler of the
//                          program's own that leaves the call by siglongjmp, then puts
//                          back the handler it replaced: @add-jump 0 <result> when no
//                          fault came, else @add-jump 1 <1 when the index lock is still
//                          held afterwards, else 0> (POSIX)
// The functions for watching and operating a cache:
//   settings               @settings <rc> <found> <log writable> <limit> <precision> <high>
//                          <low> <min age>, then @settings-file <path>, @log-file <path>
//   status                 @status <rc> <present> <formatted> <consistent> <entries> <capacity>
//                          <bytes> <oldest> <newest> <evictable files> <evictable bytes>
//                          next <its registration> <the next file to go>
//   list LIMIT             @entry <block> <size> <registered> <delay> <evictable> <path> for
//                          each entry, then @list <rc> <entries reported>
//   check REPAIR           @check <rc> <present> <formatted> <consistent> <repaired>
//                          <valid count> <free count> <problem>
//   shrink | empty         @shrink|@empty <rc> <deleted> <deleted bytes> <kept> <kept bytes>
//                          <remaining> <remaining bytes> <progress calls>; each progress call
//                          first reads the status (which takes the index lock) and writes
//                          @progress <deleted so far> <entries the status reads>
//   dump FILE              @dump <rc>
//   dumpbuf SIZE FILE      @dumpbuf <rc> <length>; writes the buffer's text to FILE
//   lasterror              @lasterror <text>
// Exit codes: 0 done, 1 library not loaded, 2 bad command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../src/index/layout.h"
#include "../../src/index/object_name.h"
#include "../../src/platform/posix/lock_bytes.h"
#include "../../src/platform/win32/slot_names.h"
#include "support/sandbox.h"
#include "support/stow_library.h"
#include "support/test_platform.h"

#include "support/windows_headers.h"

#ifndef _WIN32
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using stow_test::StowLibrary;

constexpr int kWaitForMs = 30000;
constexpr int kHoldMs = 60000;

std::FILE* g_results = nullptr;

void Result(const std::string& line) {
  if (g_results == nullptr) return;
  // One call per line, so that a line of the worker thread's never splits
  // one of the main thread's.
  const std::string text = "@" + line + "\n";
  std::fwrite(text.data(), 1, text.size(), g_results);
  std::fflush(g_results);
}

std::u16string ToUtf16(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // Length of the sequence from its lead byte, and the lead byte's bits.
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

bool CreateMarker(const std::string& path) { return stow_test::WriteFile(path, "1"); }

// Reads the totals from the index header as the file holds them.
std::string Stats(const std::string& index_path) {
  stow::IndexFileHeader header;
  std::FILE* f = std::fopen(index_path.c_str(), "rb");
  if (f == nullptr) return "stats missing";
  const size_t n = std::fread(&header, 1, sizeof(header), f);
  std::fclose(f);
  if (n != sizeof(header)) return "stats short";
  return "stats " + std::to_string(header.TotalFileCount) + " " +
         std::to_string(static_cast<long long>(header.CacheSize));
}

// Takes the machine-wide index lock by the same means as the library, then
// holds it. Returns only when that fails or the holding time is over.
int HoldLock(const std::string& index_path, const std::string& marker) {
#ifdef _WIN32
  const std::string name = stow::ObjectNameText(stow::kMutexPrefix, index_path.c_str());
  HANDLE mutex = CreateMutexA(NULL, FALSE, name.c_str());
  if (mutex == NULL) {
    Result("hold-lock 0 CreateMutexA " + std::to_string(GetLastError()));
    return 5;
  }
  const DWORD wait = WaitForSingleObject(mutex, kWaitForMs);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    Result("hold-lock 0 wait " + std::to_string(wait));
    return 5;
  }
#else
  const int fd = ::open(index_path.c_str(), O_RDWR | O_CREAT, 0666);
  if (fd < 0) {
    Result("hold-lock 0 open");
    return 5;
  }
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(stow::platform::posix::kMutexLockOffset);
  fl.l_len = 1;
  if (::fcntl(fd, F_OFD_SETLKW, &fl) != 0) {
    Result("hold-lock 0 fcntl");
    return 5;
  }
#endif
  Result("hold-lock 1");
  CreateMarker(marker);
  stow_test::SleepMs(kHoldMs);
  return 4;
}

// Takes a free eviction slot by the same means as the library, then holds
// it. Returns only when none is free or the holding time is over.
int HoldSlot(const std::string& index_path, const std::string& marker) {
  bool held = false;
  for (int k = 0; k < stow::platform::win32::kSlotCount && !held; ++k) {
#ifdef _WIN32
    const std::string name = stow::platform::win32::SlotObjectName(
        stow::ObjectNameText(stow::kSemaphorePrefix, index_path.c_str()), k);
    HANDLE slot = CreateMutexA(NULL, FALSE, name.c_str());
    const DWORD r = slot == NULL ? WAIT_FAILED : WaitForSingleObject(slot, 0);
    held = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
#else
    const int fd = ::open(index_path.c_str(), O_RDWR);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(stow::platform::posix::kSlotLockOffset + k);
    fl.l_len = 1;
    held = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
#endif
  }
  if (!held) {
    Result("hold-slot 0");
    return 5;
  }
  Result("hold-slot 1");
  CreateMarker(marker);
  stow_test::SleepMs(kHoldMs);
  return 4;
}

// Keeps `path` open so that, on Windows, nobody can delete it meanwhile.
int HoldOpen(const std::string& path, const std::string& marker) {
#ifdef _WIN32
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    Result("hold-open 0 CreateFileA " + std::to_string(GetLastError()));
    return 5;
  }
#else
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    Result("hold-open 0 open");
    return 5;
  }
#endif
  Result("hold-open 1");
  CreateMarker(marker);
  stow_test::SleepMs(kHoldMs);
  return 4;
}

#ifndef _WIN32
volatile sig_atomic_t g_own_faults = 0;

// A host's own handler: counts the fault and puts a page of zeros where the
// lost page was, so that the access completes.
void OwnBusHandler(int, siginfo_t* info, void*) {
  g_own_faults = g_own_faults + 1;
  const uintptr_t page = reinterpret_cast<uintptr_t>(info->si_addr) & ~uintptr_t{4095};
  mmap(reinterpret_cast<void*>(page), 4096, PROT_READ | PROT_WRITE,
       MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

void InstallOwnBusHandler() {
  struct sigaction action = {};
  action.sa_sigaction = &OwnBusHandler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

// Reads a page of a mapped file after cutting the file short: a SIGBUS that
// has nothing to do with the library.
int FaultOutsideIndex(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ::ftruncate(fd, 8192) != 0) return -1;
  void* view = ::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED || ::ftruncate(fd, 0) != 0) return -1;
  const int before = g_own_faults;
  const volatile char* bytes = static_cast<const volatile char*>(view);
  const char seen = bytes[4096];
  ::close(fd);
  return seen == 0 ? g_own_faults - before : -1;
}
#endif

#ifndef _WIN32
sigjmp_buf g_jump_back;

// A host's handler that gives up on the interrupted call: it leaves the
// library's frames by a jump, without letting them finish.
void JumpingBusHandler(int) { siglongjmp(g_jump_back, 1); }

// True when some open file description holds the index lock byte: after a
// jump out of the library in this process, the library's own.
bool IndexLockHeld(const std::string& index_path) {
  const int fd = ::open(index_path.c_str(), O_RDWR);
  if (fd < 0) return false;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(stow::platform::posix::kMutexLockOffset);
  fl.l_len = 1;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

std::string AddJumping(const StowLibrary& lib, const std::string& path,
                       const std::string& index_path) {
  struct sigaction action = {};
  action.sa_handler = &JumpingBusHandler;
  sigemptyset(&action.sa_mask);
  struct sigaction previous;
  sigaction(SIGBUS, &action, &previous);
  std::string line;
  if (sigsetjmp(g_jump_back, 1) == 0) {
    line = "add-jump 0 " + std::to_string(lib.AddFileA(path.c_str(), 0));
  } else {
    line = std::string("add-jump 1 ") + (IndexLockHeld(index_path) ? "1" : "0");
  }
  sigaction(SIGBUS, &previous, nullptr);
  return line;
}
#endif

[[noreturn]] void LoopAdd(const StowLibrary& lib, const std::string& prefix,
                          const std::string& marker) {
  // Emptying the cache removes the files' folder once it is empty.
  const std::string folder = prefix.substr(0, prefix.find_last_of(stow_test::kSep));
  bool signalled = false;
  for (unsigned i = 0;; ++i) {
    // A bounded set of names: most registrations refresh a listed file,
    // some add new ones, and every so often the whole cache is emptied.
    const std::string path = prefix + std::to_string(i % 200);
    if (!stow_test::FileExists(path)) {
      stow_test::MakeDir(folder);
      stow_test::WriteFile(path, std::string(1 + i % 50, 'x'));
    }
    if (lib.AddFileA(path.c_str(), 0) == 1 && !signalled) signalled = CreateMarker(marker);
    if (i % 97 == 96) lib.DeleteAll();
  }
}

std::string Num(int64_t value) { return std::to_string(static_cast<long long>(value)); }

struct WalkState {
  int count = 0;
};

int32_t STOWMASTER_CALL OnEntry(const StowmasterEntry* e, void* context) {
  static_cast<WalkState*>(context)->count += 1;
  Result("entry " + Num(e->block) + " " + Num(e->file_size) + " " + Num(e->registered) + " " +
         Num(e->delay) + " " + Num(e->evictable) + " " + e->path);
  return 1;
}

struct ProgressState {
  const StowLibrary* lib;
  int calls = 0;
};

void STOWMASTER_CALL OnProgress(const StowmasterPassResult* so_far, void* context) {
  ProgressState& state = *static_cast<ProgressState*>(context);
  state.calls += 1;
  // Taking the index lock here would never return if the pass still held it.
  StowmasterStatus status = {};
  status.size = sizeof(status);
  const int32_t rc = state.lib->GetStatus(&status);
  Result("progress " + Num(so_far->deleted_files) + " " +
         (rc == STOWMASTER_OK ? Num(status.entries) : "failed"));
}

std::string PassLine(const char* name, const StowLibrary& lib, bool empty) {
  StowmasterPassResult r = {};
  r.size = sizeof(r);
  ProgressState progress{&lib};
  const int32_t rc = (empty ? lib.Empty : lib.Shrink)(&r, OnProgress, &progress);
  return std::string(name) + " " + Num(rc) + " " + Num(r.deleted_files) + " " +
         Num(r.deleted_bytes) + " " + Num(r.kept_files) + " " + Num(r.kept_bytes) + " " +
         Num(r.remaining_files) + " " + Num(r.remaining_bytes) + " " + Num(progress.calls);
}

void SettingsLines(const StowLibrary& lib) {
  StowmasterSettings s = {};
  s.size = sizeof(s);
  const int32_t rc = lib.GetSettings(&s);
  Result("settings " + Num(rc) + " " + Num(s.settings_found) + " " + Num(s.log_writable) + " " +
         Num(s.limit_bytes) + " " + Num(s.precision) + " " + Num(s.high_mark_bytes) + " " +
         Num(s.low_mark_bytes) + " " + Num(s.min_age_seconds));
  Result(std::string("settings-file ") + s.settings_file);
  Result(std::string("log-file ") + s.log_file);
}

std::string StatusLine(const StowLibrary& lib) {
  StowmasterStatus s = {};
  s.size = sizeof(s);
  const int32_t rc = lib.GetStatus(&s);
  return "status " + Num(rc) + " " + Num(s.index_present) + " " + Num(s.index_formatted) + " " +
         Num(s.lists_consistent) + " " + Num(s.entries) + " " + Num(s.capacity) + " " +
         Num(s.bytes_in_use) + " " + Num(s.oldest_registration) + " " + Num(s.newest_registration) +
         " " + Num(s.evictable_files) + " " + Num(s.evictable_bytes) + " next " +
         Num(s.next_registered) + " " + s.next_path;
}

std::string CheckLine(const StowLibrary& lib, int32_t repair) {
  StowmasterCheckReport r = {};
  r.size = sizeof(r);
  const int32_t rc = lib.Check(repair, &r);
  return "check " + Num(rc) + " " + Num(r.index_present) + " " + Num(r.index_formatted) + " " +
         Num(r.lists_consistent) + " " + Num(r.repaired) + " " + Num(r.valid_count) + " " +
         Num(r.free_count) + " " + r.problem;
}

int Usage(const char* why) {
  std::fprintf(stderr, "stow_test_client: %s\n", why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage("usage: stow_test_client RESULTS_FILE LIBRARY_FILE COMMAND...");
  g_results = std::fopen(argv[1], "ab");
  if (g_results == nullptr) return Usage("cannot open the results file");
  StowLibrary lib;
  std::string error;
  if (!lib.Load(argv[2], &error)) {
    Result("load 0 " + error);
    return 1;
  }
  std::vector<std::string> args(argv + 3, argv + argc);
  size_t at = 0;
  // The next argument of the current command, or a usage error.
  auto next = [&](std::string* out) {
    if (at >= args.size()) return false;
    *out = args[at++];
    return true;
  };
  while (at < args.size()) {
    const std::string command = args[at++];
    std::string a, b;
    if (command == "init") {
      if (!next(&a)) return Usage("init THREADED");
      Result("init " + std::to_string(lib.Initialize(std::atoi(a.c_str()))));
    } else if (command == "uninit") {
      lib.UnInitialize();
      Result("uninit");
    } else if (command == "uninit-timed") {
      const int64_t start = stow_test::NowMs();
      lib.UnInitialize();
      Result("uninit-timed " + std::to_string(stow_test::NowMs() - start));
    } else if (command == "add") {
      if (!next(&a) || !next(&b)) return Usage("add PATH DELAY");
      const uint32_t delay = static_cast<uint32_t>(std::strtoul(b.c_str(), nullptr, 10));
      Result("add " + std::to_string(lib.AddFileA(a.c_str(), delay)));
    } else if (command == "addw") {
      if (!next(&a)) return Usage("addw PATH");
      const std::u16string wide = ToUtf16(a);
      Result("addw " + std::to_string(lib.AddFileW(
                           reinterpret_cast<const stowmaster_wchar*>(wide.c_str()), 0)));
    } else if (command == "addmany") {
      if (!next(&a) || !next(&b)) return Usage("addmany PREFIX N");
      const int n = std::atoi(b.c_str());
      int registered = 0;
      for (int i = 0; i < n; ++i) {
        const std::string path = stow_test::ManyFileName(a, i);
        if (!stow_test::WriteFile(path, std::string(stow_test::ManyFileSize(i), 'm'))) continue;
        registered += lib.AddFileA(path.c_str(), 0);
      }
      Result("addmany " + std::to_string(registered));
    } else if (command == "loop-add") {
      if (!next(&a) || !next(&b)) return Usage("loop-add PREFIX FILE");
      LoopAdd(lib, a, b);
    } else if (command == "deleteall") {
      lib.DeleteAll();
      Result("deleteall");
    } else if (command == "sleep") {
      if (!next(&a)) return Usage("sleep MS");
      stow_test::SleepMs(std::atoi(a.c_str()));
      Result("sleep");
    } else if (command == "signal") {
      if (!next(&a)) return Usage("signal FILE");
      Result(std::string("signal ") + (CreateMarker(a) ? "1" : "0"));
    } else if (command == "wait-for") {
      if (!next(&a)) return Usage("wait-for FILE");
      const bool seen = stow_test::WaitForFile(a, kWaitForMs);
      Result(std::string("wait-for ") + (seen ? "1" : "0"));
      if (!seen) return 3;
    } else if (command == "stats") {
      if (!next(&a)) return Usage("stats INDEXFILE");
      Result(Stats(a));
    } else if (command == "hold-lock") {
      if (!next(&a) || !next(&b)) return Usage("hold-lock INDEXFILE FILE");
      return HoldLock(a, b);
    } else if (command == "hold-slot") {
      if (!next(&a) || !next(&b)) return Usage("hold-slot INDEXFILE FILE");
      return HoldSlot(a, b);
    } else if (command == "hold-open") {
      if (!next(&a) || !next(&b)) return Usage("hold-open PATH FILE");
      return HoldOpen(a, b);
#ifndef _WIN32
    } else if (command == "sigbus-handler") {
      InstallOwnBusHandler();
      Result("sigbus-handler");
    } else if (command == "sigbus-outside") {
      if (!next(&a)) return Usage("sigbus-outside FILE");
      Result("sigbus-outside " + std::to_string(FaultOutsideIndex(a)));
    } else if (command == "add-jump") {
      if (!next(&a) || !next(&b)) return Usage("add-jump PATH INDEXFILE");
      Result(AddJumping(lib, a, b));
#endif
    } else if (command == "settings") {
      SettingsLines(lib);
    } else if (command == "status") {
      Result(StatusLine(lib));
    } else if (command == "list") {
      if (!next(&a)) return Usage("list LIMIT");
      WalkState walk;
      const int32_t rc = lib.ListEntries(std::atoi(a.c_str()), OnEntry, &walk);
      Result("list " + Num(rc) + " " + Num(walk.count));
    } else if (command == "check") {
      if (!next(&a)) return Usage("check REPAIR");
      Result(CheckLine(lib, std::atoi(a.c_str())));
    } else if (command == "shrink" || command == "empty") {
      Result(PassLine(command.c_str(), lib, command == "empty"));
    } else if (command == "dump") {
      if (!next(&a)) return Usage("dump FILE");
      Result("dump " + Num(lib.Dump(a.c_str(), nullptr, 0, nullptr)));
    } else if (command == "dumpbuf") {
      if (!next(&a) || !next(&b)) return Usage("dumpbuf SIZE FILE");
      std::vector<char> buffer(std::strtoul(a.c_str(), nullptr, 10) + 1, '\0');
      uint64_t length = 0;
      const int32_t rc = lib.Dump(nullptr, buffer.data(), buffer.size() - 1, &length);
      stow_test::WriteFile(b, buffer.data());
      Result("dumpbuf " + Num(rc) + " " + Num(static_cast<int64_t>(length)));
    } else if (command == "lasterror") {
      char text[1024];
      lib.LastError(text, sizeof(text));
      Result(std::string("lasterror ") + text);
    } else {
      return Usage(("unknown command " + command).c_str());
    }
  }
  return 0;
}
