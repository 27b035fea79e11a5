// The unit tests' fixture: a fresh temporary folder for every test, with a
// settings file of its own that sends the log there.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/log.h"
#include "config/settings.h"
#include "platform/platform.h"
#include "test_platform.h"

namespace stow {
namespace testing_support {

// The log's clock in every test: a fixed time, so that no test straddles
// midnight and each knows its log file's name.
constexpr int64_t kLogTestTime = 1709640000;  // 2024-03-05, noon UTC
inline long long FixedLogClock() { return kLogTestTime; }

inline std::string LogFileName(int64_t when) {
  const platform::LocalTime t = platform::env().ToLocalTime(when);
  char name[64];
  std::snprintf(name, sizeof(name), "Stowmaster_%d%02d%02d.LOG", t.year, t.month, t.day);
  return name;
}

// Settings file <tmp>/TESSARON.INI: the cache folder is <tmp>/cache (not
// created), the log goes to <tmp>.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty()) << "no temporary folder";
    ini_path_ = dir_.Sub(kSettingsFileName);
    cache_dir_ = dir_.Sub("cache");
    WriteSettings("[Cache]\nCacheDir=" + cache_dir_ + "\n");
    SetSettingsFileForTesting(ini_path_);
    SetLogClockForTesting(&FixedLogClock);
  }
  void TearDown() override {
    SetSettingsFileForTesting("");
    SetLogClockForTesting(nullptr);
  }

  // Replaces the settings file, adding the [Log] section unless told not to.
  void WriteSettings(const std::string& text, bool with_log = true) {
    WriteWholeFile(ini_path_, text + (with_log ? "[Log]\nLogPath=" + dir_.path() + "\n" : ""));
  }
  bool LogHas(const std::string& text) const {
    const std::string log = ReadWholeFile(dir_.Sub(LogFileName(kLogTestTime)));
    return log.find(TextModeBytes(text)) != std::string::npos;
  }

  TempDir dir_;
  std::string ini_path_;
  std::string cache_dir_;
};

}  // namespace testing_support
}  // namespace stow
