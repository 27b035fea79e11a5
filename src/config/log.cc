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

}  // namespace

void SetLogClockForTesting(long long (*clock)()) { g_log_clock.store(clock); }

void WriteLogBufferToFile(const char* format, ...) {
  // Messages longer than the buffer are cut.
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);

  long long (*clock)() = g_log_clock.load();
  const int64_t now = clock != nullptr ? clock() : platform::env().NowSeconds();
  const platform::LocalTime t = platform::env().ToLocalTime(now);

  char line[1024];
  std::snprintf(line, sizeof(line), "Time:%d:%d:%d, Msg:  %s", t.hour, t.minute, t.second, message);

  char folder[kPathBufferSize];
  detail::ReadSetting("Log", "LogPath", kDefaultLogPath, folder, sizeof(folder), false);
  size_t n = std::strlen(folder);
  if (n > 0 && folder[n - 1] == platform::kSeparator) folder[n - 1] = '\0';

  char name[64];
  std::snprintf(name, sizeof(name), "%cStowmaster_%d%02d%02d.LOG", platform::kSeparator, t.year,
                t.month, t.day);
  const std::string path = std::string(folder) + name;

  std::fputs(path.c_str(), stdout);

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
  if (!platform::env().AppendToFile(path.c_str(), text.data(), text.size())) {
    std::fputs(
        "WriteLogBufferToFile: \xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA\xBB\xF2\xB4\xB4\xBD\xA8"
        "\xCE\xC4\xBC\xFE. \n",
        stdout);
  }
}

}  // namespace stow
