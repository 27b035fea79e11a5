// A fresh temporary folder for every test, with a settings file of its own
// that sends the log there, and the file helpers the unit tests share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

#include "config/log.h"
#include "config/settings.h"
#include "platform/platform.h"

namespace stow {
namespace testing_support {

// Sets a variable of this process's environment, which child processes
// (the death tests') inherit.
inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool PathExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// What a file written in text mode holds: CR LF line ends on Windows.
inline std::string TextModeBytes(const std::string& text) {
#ifdef _WIN32
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
#else
  return text;
#endif
}

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

class TempDir {
 public:
  TempDir() {
    std::string base = std::filesystem::temp_directory_path().string();
    while (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
    std::mt19937_64 random(std::random_device{}() +
                           std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::string candidate =
          base + platform::kSeparator + "stow_unit_" + std::to_string(random() % 1000000000ULL);
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) path_ = candidate;
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + platform::kSeparator + name; }

 private:
  std::string path_;
};

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
