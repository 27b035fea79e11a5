#include "config/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "config/settings.h"
#include "platform/platform.h"

namespace stow {
namespace {

std::atomic<long long (*)()> g_log_clock{nullptr};

int64_t LogNow() {
  long long (*clock)() = g_log_clock.load();
  return clock != nullptr ? clock() : platform::env().NowSeconds();
}

// The "LogPath" folder without a trailing separator.
std::string LogFolder() {
  char folder[kPathBufferSize];
  detail::ReadSetting("Log", "LogPath", kDefaultLogPath, folder, sizeof(folder), false);
  size_t n = std::strlen(folder);
  if (n > 0 && folder[n - 1] == platform::kSeparator) folder[n - 1] = '\0';
  return folder;
}

std::string LogFilePathIn(const std::string& folder, const platform::LocalTime& t) {
  char name[64];
  std::snprintf(name, sizeof(name), "%cStowmaster_%d%02d%02d.LOG", platform::kSeparator, t.year,
                t.month, t.day);
  return folder + name;
}

std::string LogFilePathAt(const platform::LocalTime& t) { return LogFilePathIn(LogFolder(), t); }

// The file the live LogHolds keep open, shared by every thread: the lines
// go out one at a time under `mutex`. `holds` is read without the mutex
// first, so that lines written while nothing is held do not take it.
struct HeldLog {
  platform::LocalMutex mutex;
  std::atomic<int> holds{0};
  bool folder_read = false;
  std::string folder;  // LogPath, read at the first line under the holds
  std::string path;    // the file open in `file`
  std::unique_ptr<platform::AppendFile> file;
};

HeldLog& Held() {
  // Never destroyed, like the Env: threads may still log during static
  // destruction.
  alignas(HeldLog) static unsigned char storage[sizeof(HeldLog)];
  static HeldLog* const held = new (storage) HeldLog;
  return *held;
}

// "[Log]" "EchoToStdout=1": the log path of every line, and the log's own
// failure message, also go to standard output. Read with the other settings
// rather than for every line, which would read the settings file once more
// per line (lines of a pass are written under the index lock).
std::atomic<bool> g_echo{false};

}  // namespace

void ReadLogOptions() {
  char value[8];
  detail::ReadSetting("Log", "EchoToStdout", "0", value, sizeof(value), false);
  g_echo.store(detail::ParseInteger(value) == 1);
}

std::string LogFilePath() { return LogFilePathAt(platform::env().ToLocalTime(LogNow())); }

bool LogFileWritable() { return platform::env().AppendToFile(LogFilePath().c_str(), "", 0).ok(); }

void SetLogClockForTesting(long long (*clock)()) { g_log_clock.store(clock); }

LogHold::LogHold() {
  HeldLog& held = Held();
  platform::LocalLock guard(held.mutex);
  held.holds.fetch_add(1);
}

LogHold::~LogHold() {
  HeldLog& held = Held();
  platform::LocalLock guard(held.mutex);
  if (held.holds.fetch_sub(1) != 1) return;
  held.file.reset();
  held.path.clear();
  held.folder.clear();
  held.folder_read = false;
}

void WriteLogBufferToFile(const char* format, ...) {
  // Messages longer than the buffer are cut.
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);

  const platform::LocalTime t = platform::env().ToLocalTime(LogNow());

  char line[1024];
  std::snprintf(line, sizeof(line), "Time:%d:%d:%d, Msg:  %s", t.hour, t.minute, t.second, message);

  // The line is stored as a text file stores it (on Windows each "\n" as
  // CR LF). It goes out in one append, so that lines of several processes
  // writing at once neither overwrite nor split each other.
  std::string text;
  for (const char* p = line; *p != '\0'; ++p) {
    if (*p == '\n') {
      text += platform::kLineEnd;
    } else {
      text += *p;
    }
  }

  const bool echo = g_echo.load();
  bool written = false;
  bool held_open = false;
  HeldLog& held = Held();
  // Under held.mutex, with the folder known: the line through the held file.
  const auto write_held = [&]() {
    held_open = true;
    const std::string path = LogFilePathIn(held.folder, t);
    if (echo) std::fputs(path.c_str(), stdout);
    // A file that could not be opened is tried again at the next line, as it
    // is without a hold; a line of a new day switches files.
    if (held.file == nullptr || held.path != path) {
      held.file.reset();
      (void)platform::env().OpenAppendFile(path.c_str(), &held.file);
      held.path = path;
    }
    written = held.file != nullptr && held.file->Append(text.data(), text.size()).ok();
  };
  if (held.holds.load() > 0) {
    {
      platform::LocalLock guard(held.mutex);
      if (held.holds.load() > 0 && held.folder_read) write_held();
    }
    if (!held_open) {
      // Read outside the mutex: finding the settings file may log a line.
      std::string folder = LogFolder();
      platform::LocalLock guard(held.mutex);
      if (held.holds.load() > 0) {
        if (!held.folder_read) {
          held.folder = std::move(folder);
          held.folder_read = true;
        }
        write_held();
      }
    }
  }
  if (!held_open) {
    const std::string path = LogFilePathAt(t);
    if (echo) std::fputs(path.c_str(), stdout);
    written = platform::env().AppendToFile(path.c_str(), text.data(), text.size()).ok();
  }
  if (!written && echo) {
    std::fputs(
        "WriteLogBufferToFile: \xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA\xBB\xF2\xB4\xB4\xBD\xA8"
        "\xCE\xC4\xBC\xFE. \n",
        stdout);
  }
}

}  // namespace stow
