#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/os_error.h"
#include "temp_dir.h"

namespace stow {
namespace {

class SettingsTest : public testing_support::TempDirTest {
 protected:
  CacheSettings Read(const std::string& cache_section) {
    WriteSettings("[Cache]\n" + cache_section + "\n");
    CacheSettings s{-1, -1, -1};
    GetCacheSettings(&s, nullptr, nullptr);
    return s;
  }
};

TEST_F(SettingsTest, DefaultsWithoutSettingsFile) {
  SetSettingsFileForTesting(dir_.Sub("missing.ini"));
  CacheSettings s{-1, -1, -1};
  GetCacheSettings(&s, nullptr, nullptr);
  EXPECT_EQ(s.CacheSize, 209715200);
  EXPECT_EQ(s.Precision, 20);
  EXPECT_EQ(s.Delay, 900);
}

TEST_F(SettingsTest, ValuesOutsideTheirRangeGiveTheDefault) {
  EXPECT_EQ(Read("CacheSize=51200").CacheSize, 53687091200LL);
  EXPECT_EQ(Read("CacheSize=50").CacheSize, 52428800);
  EXPECT_EQ(Read("CacheSize=204800").CacheSize, 214748364800LL);
  // The last one times 2^20 wraps around to 1000 MiB in 64 bits.
  for (const char* bad : {"204801", "49", "abc", "-100", "99999999999999", "17592186045416"}) {
    EXPECT_EQ(Read(std::string("CacheSize=") + bad).CacheSize, 209715200) << bad;
  }
  EXPECT_EQ(Read("Precision=0").Precision, 20);
  EXPECT_EQ(Read("Precision=51").Precision, 20);
  EXPECT_EQ(Read("Precision=1").Precision, 1);
  EXPECT_EQ(Read("Precision=50").Precision, 50);
  EXPECT_EQ(Read("Delay=4").Delay, 900);
  EXPECT_EQ(Read("Delay=5").Delay, 300);
  EXPECT_EQ(Read("Delay=4320").Delay, 259200);
  EXPECT_EQ(Read("Delay=4321").Delay, 900);
}

TEST_F(SettingsTest, StringIsCutToBufferAndEmptyValueIsNotDefault) {
  WriteSettings("[Cache]\nName=abcdef\nEmpty=\n");
  char out[4];
  GetConfigurationString("Cache", "Name", "fallback", out, sizeof(out));
  EXPECT_STREQ(out, "abc");
  char empty[16] = "junk";
  GetConfigurationString("Cache", "Empty", "fallback", empty, sizeof(empty));
  EXPECT_STREQ(empty, "");
  GetConfigurationString("Cache", "Missing", "fallback", empty, sizeof(empty));
  EXPECT_STREQ(empty, "fallback");
}

TEST_F(SettingsTest, CachePathsAndFolderCreation) {
  const std::string folder = dir_.Sub(std::string("c1") + platform::kSeparator + "c2");
  WriteSettings("[Cache]\nCacheDir=" + folder + platform::kSeparator + "\n");
  char index_path[kPathBufferSize];
  char dump_path[kPathBufferSize];
  GetCacheSettings(nullptr, index_path, dump_path);
  EXPECT_EQ(std::string(index_path), folder + platform::kSeparator + "Index.Dat");
  EXPECT_EQ(std::string(dump_path), folder + platform::kSeparator + "Index.Dmp");
  EXPECT_TRUE(platform::env().IsDirectory(folder.c_str()));
  // A folder that is there already is fine.
  GetCacheSettings(nullptr, index_path, nullptr);
  EXPECT_EQ(std::string(index_path), folder + platform::kSeparator + "Index.Dat");
}

TEST_F(SettingsTest, EmptyCacheDirThrowsAndLogs) {
  WriteSettings("[Cache]\nCacheDir=\n");
  char index_path[kPathBufferSize];
  EXPECT_THROW(GetCacheSettings(nullptr, index_path, nullptr), OsError);
  EXPECT_TRUE(LogHas("Create Cache Directory Error.\n"));
}

}  // namespace
}  // namespace stow
