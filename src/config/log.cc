#include "config/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "platform/platform.h"

namespace stow {
namespace {

std::atomic<long long (*)()> g_log_clock{nullptr};

int64_t LogNow() {
  long long (*clock)() = g_log_clock.load();
  return clock != nullptr ? clock() : platform::env().NowSeconds();
}

std::string LogFilePathAt(const platform::LocalTime& t) {
  char folder[kPathBufferSize];
  detail::ReadSetting("Log", "LogPath", kDefaultLogPath, folder, sizeof(folder), false);
  size_t n = std::strlen(folder);
  if (n > 0 && folder[n - 1] == platform::kSeparator) folder[n - 1] = '\0';

  char name[64];
  std::snprintf(name, sizeof(name), "%cStowmaster_%d%02d%02d.LOG", platform::kSeparator, t.year,
                t.month, t.day);
  return std::string(folder) + name;
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

bool LogFileWritable() { return platform::env().AppendToFile(LogFilePath().c_str(), "", 0); }

void SetLogClockForTesting(long long (*clock)()) { g_log_clock.store(clock); }

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

  const std::string path = LogFilePathAt(t);
  const bool echo = g_echo.load();
  if (echo) std::fputs(path.c_str(), stdout);

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
  if (!platform::env().AppendToFile(path.c_str(), text.data(), text.size()) && echo) {
    std::fputs(
        "WriteLogBufferToFile: \xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA\xBB\xF2\xB4\xB4\xBD\xA8"
        "\xCE\xC4\xBC\xFE. \n",
        stdout);
  }
}

}  // namespace stow
