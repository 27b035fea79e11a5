#include "config/log.h"

#include <gtest/gtest.h>

#include <string>

#include "temp_dir.h"

namespace stow {
namespace {

using testing_support::LogFileName;
using testing_support::PathExists;
using testing_support::ReadWholeFile;

int64_t g_log_now = 0;
long long TestClock() { return g_log_now; }

class LogTest : public testing_support::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    // 09:05:07 local time on 2024-03-05, whatever the machine's time zone.
    const int64_t noon_utc = testing_support::kLogTestTime;
    const platform::LocalTime t = platform::env().ToLocalTime(noon_utc);
    g_log_now = noon_utc - (t.hour * 3600 + t.minute * 60 + t.second) + 9 * 3600 + 5 * 60 + 7;
    SetLogClockForTesting(&TestClock);
    // A trailing separator on LogPath is tolerated.
    WriteSettings("[Log]\nLogPath=" + dir_.path() + platform::kSeparator + "\n", false);
  }
  std::string Log() const { return ReadWholeFile(dir_.Sub(LogFileName(g_log_now))); }
};

TEST_F(LogTest, LineFormatAndDailyFileName) {
  const platform::LocalTime t = platform::env().ToLocalTime(g_log_now);
  ASSERT_EQ(t.hour * 10000 + t.minute * 100 + t.second, 90507);
  ASSERT_EQ(t.month * 100 + t.day, 305);
  EXPECT_EQ(LogFileName(g_log_now), "Stowmaster_" + std::to_string(t.year) + "0305.LOG");
  WriteLogBufferToFile("text %d %s\n", 42, "end");
  g_log_now += 3600 + 60 + 1;
  WriteLogBufferToFile("second\n");
  EXPECT_EQ(Log(), testing_support::TextModeBytes("Time:9:5:7, Msg:  text 42 end\n"
                                                  "Time:10:6:8, Msg:  second\n"));
}

TEST_F(LogTest, LongMessageIsCut) {
  WriteLogBufferToFile("%s", std::string(2000, 'x').c_str());
  EXPECT_EQ(Log(), "Time:9:5:7, Msg:  " + std::string(511, 'x'));
}

TEST_F(LogTest, MissingLogFolderLosesTheLine) {
  const std::string missing = dir_.Sub("no_such_folder");
  WriteSettings("[Log]\nLogPath=" + missing + "\n", false);
  WriteLogBufferToFile("lost\n");
  EXPECT_FALSE(PathExists(missing));
  EXPECT_FALSE(PathExists(dir_.Sub(LogFileName(g_log_now))));
}

}  // namespace
}  // namespace stow
