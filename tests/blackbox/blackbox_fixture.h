// The fixture of every black-box test: a fresh sandbox per test, kept on
// disk when the test fails so that its logs and index can be looked at.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/index_image.h"
#include "support/sandbox.h"
#include "support/test_platform.h"

namespace stow_test {

// Longest time any single client may take; under Wine a process alone takes
// up to a second to start.
constexpr int kClientTimeoutMs = 20000;

class BlackBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(box_.Create(&error)) << error;
  }

  void TearDown() override {
    if (HasFailure()) {
      box_.Keep();
      std::printf("sandbox kept for inspection: %s\n", box_.root().c_str());
    }
  }

  // A 50 MiB cache with 10 % precision (high mark 55 MiB, low mark 45 MiB)
  // and a 5-minute minimum age, its folder created: a few files of some MiB
  // take it over its high mark.
  void UseSmallCache() {
    SandboxSettings settings;
    settings.cache_size = "50";
    settings.precision = "10";
    settings.delay = "5";
    ASSERT_TRUE(box_.WriteSettings(settings));
    ASSERT_TRUE(MakeDir(box_.cache_dir()));
  }

  // The index as it is on disk now; a test failure when it cannot be read.
  IndexImage LoadIndex() {
    IndexImage image;
    EXPECT_TRUE(image.Load(box_.index_path())) << box_.index_path();
    return image;
  }

  Sandbox box_;
};

// Gtest-printable result of a list check.
inline ::testing::AssertionResult ListsConsistent(const IndexImage& image) {
  const std::string problem = image.CheckLists();
  if (problem.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << problem;
}

using Lines = std::vector<std::string>;

// True when a client of this test run deletes only below its folders (the
// cache folder and FileFolders): it runs as root on Linux.
inline bool ClientsConfined() {
#ifdef _WIN32
  return false;
#else
  return IsSuperUser();
#endif
}

// The log line of a listed path that a confined client keeps.
inline std::string RefusedOutsideLine(const std::string& path) {
  return "Msg:  Delete File Refused (outside the cache folders): " + path + ".\n";
}

}  // namespace stow_test
