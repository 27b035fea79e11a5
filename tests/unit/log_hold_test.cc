// The log file held open for a pass: lines still go to the day's file, whole,
// from every thread, and the file is let go with the last hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "config/log.h"
#include "platform/platform.h"
#include "temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace stow {
namespace {

using testing_support::LogFileName;
using testing_support::PathExists;
using testing_support::ReadWholeFile;

// True when a handle or descriptor of this process has the file open.
bool OpenInThisProcess(const std::string& path) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(h);
  return false;
#else
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code link_ec;
    if (std::filesystem::read_symlink(fd.path(), link_ec) == path) return true;
  }
  return false;
#endif
}

int64_t g_now = 0;
long long Clock() { return g_now; }

class LogHoldTest : public testing_support::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    g_now = testing_support::kLogTestTime;
    SetLogClockForTesting(&Clock);
  }
  std::string LogOf(int64_t when) const { return ReadWholeFile(dir_.Sub(LogFileName(when))); }
  // Occurrences of `what`, its line ends as the log file stores them.
  static size_t Count(const std::string& text, const std::string& written) {
    const std::string what = testing_support::TextModeBytes(written);
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(LogHoldTest, LinesFollowTheDayAndTheFileIsLetGoWithTheLastHold) {
  const int64_t day1 = g_now;
  const int64_t day2 = day1 + 86400;
  {
    LogHold outer;
    EXPECT_FALSE(PathExists(dir_.Sub(LogFileName(day1)))) << "opened before any line";
    WriteLogBufferToFile("first\n");
    EXPECT_TRUE(OpenInThisProcess(dir_.Sub(LogFileName(day1))));
    {
      LogHold inner;
      WriteLogBufferToFile("second\n");
    }
    g_now = day2;
    WriteLogBufferToFile("next day\n");
    g_now = day1;
    WriteLogBufferToFile("back\n");
  }
  EXPECT_FALSE(OpenInThisProcess(dir_.Sub(LogFileName(day1))));
  EXPECT_FALSE(OpenInThisProcess(dir_.Sub(LogFileName(day2))));
  EXPECT_EQ(Count(LogOf(day1), "Msg:  first\n"), 1u);
  EXPECT_EQ(Count(LogOf(day1), "Msg:  second\n"), 1u);
  EXPECT_EQ(Count(LogOf(day1), "Msg:  back\n"), 1u);
  EXPECT_EQ(Count(LogOf(day1), "next day"), 0u);
  EXPECT_EQ(Count(LogOf(day2), "Msg:  next day\n"), 1u);

  // Once the holds are gone a line opens the file by its name again: one
  // moved away meanwhile (rotated) does not get it.
  const std::string path = dir_.Sub(LogFileName(day1));
  ASSERT_EQ(std::rename(path.c_str(), (path + ".old").c_str()), 0);
  WriteLogBufferToFile("after\n");
  EXPECT_EQ(Count(LogOf(day1), "Msg:  after\n"), 1u);
  EXPECT_EQ(Count(ReadWholeFile(path + ".old"), "after"), 0u);
}

constexpr int kLines = 2000;

// Writes kLines lines of 300 times `marker`: 'x' as another process would
// (an append of its own each), any other through the log.
void WriteMarkedLines(void* marker) {
  const char c = *static_cast<const char*>(marker);
  const std::string body(300, c);
  const std::string path = LogFilePath();
  const std::string text = "Msg:  <" + body + ">" + platform::kLineEnd;
  for (int k = 0; k < kLines; ++k) {
    if (c == 'x') {
      EXPECT_TRUE(platform::env().AppendToFile(path.c_str(), text.data(), text.size()).ok());
    } else {
      WriteLogBufferToFile("<%s>\n", body.c_str());
    }
  }
}

// Lines written through the held file by two threads, and lines another
// writer appends meanwhile, each arrive whole, none lost.
TEST_F(LogHoldTest, LinesOfSeveralThreadsArriveWhole) {
  char a = 'a', b = 'b', x = 'x';
  {
    LogHold hold;
    std::unique_ptr<platform::Thread> other, outside;
    platform::env().StartThread(&WriteMarkedLines, &b, &other).ThrowIfFailed();
    platform::env().StartThread(&WriteMarkedLines, &x, &outside).ThrowIfFailed();
    WriteMarkedLines(&a);
    other->Join();
    outside->Join();
  }
  const std::string log = LogOf(g_now);
  for (char c : {a, b, x}) {
    const std::string whole = "Msg:  <" + std::string(300, c) + ">\n";
    EXPECT_EQ(Count(log, whole), static_cast<size_t>(kLines)) << c;
  }
  EXPECT_EQ(Count(log, "\n"), static_cast<size_t>(3 * kLines)) << "nothing else, nothing split";
}

}  // namespace
}  // namespace stow
