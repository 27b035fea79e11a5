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

// The reader's own judgement of each line: the problem found (with its line
// and what the value reads as) and the value then in effect with its source.
TEST_F(SettingsTest, ExamineGivesEachValueItsSourceAndEachProblemItsLine) {
  using Kind = SettingsProblemKind;
  struct Case {
    const char* line;  // line 2 of the file, below [Cache]
    int problems;      // how many (0 or 1)
    Kind kind;
    const char* words;  // part of its text
    const char* key;    // the setting looked at afterwards
    const char* value;  // its value in effect
    int source_line;    // and where it comes from (0: the default)
  } cases[] = {
      {"Precision=30", 0, Kind::kOutOfRange, "", "Precision", "30", 2},
      {"CacheSzie=500", 1, Kind::kUnknownKey,
       "unknown key CacheSzie in [Cache], ignored (meant "
       "CacheSize?)",
       "CacheSize", "200", 0},
      {"CacheSize=10", 1, Kind::kOutOfRange,
       ":2: CacheSize=10 is out of range (50 to 204800 "
       "MiB): the default 200 MiB applies",
       "CacheSize", "200", 0},
      {"Delay=2 ; minutes", 1, Kind::kNotANumber,
       "Delay=2 ; minutes is not a whole number: it "
       "reads as 2 (",
       "Delay", "15", 0},
      {"Delay=20 ; minutes", 1, Kind::kNotANumber, "reads as 20 (", "Delay", "20", 2},
      {"Delay=abc", 1, Kind::kNotANumber, "reads as 0 (", "Delay", "15", 0},
      // Cut to the 17 bytes of its buffer, the zeros alone are read.
      {"CacheSize=0000000000000000000100", 1, Kind::kNotANumber,
       "only its first 17 characters are read, it reads as 0", "CacheSize", "200", 0},
      {"FileFolders=/a;/b", 0, Kind::kOutOfRange, "", "FileFolders", "/a;/b", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    WriteSettings(std::string("[Cache]\n") + c.line + "\n");
    const SettingsFacts facts = ExamineSettings();
    EXPECT_EQ(facts.file, ini_path_);
    EXPECT_TRUE(facts.found);
    ASSERT_EQ(static_cast<size_t>(c.problems), facts.problems.size())
        << (facts.problems.empty() ? "" : facts.problems[0].text);
    if (c.problems == 1) {
      const SettingsProblem& p = facts.problems[0];
      EXPECT_EQ(p.kind, c.kind);
      EXPECT_EQ(p.line, 2);
      EXPECT_EQ(0u, p.text.find(ini_path_)) << p.text;
      EXPECT_NE(std::string::npos, p.text.find(c.words)) << p.text;
    }
    const SettingFact* fact = nullptr;
    for (const SettingFact& f : facts.settings) {
      if (std::string(f.key) == c.key) fact = &f;
    }
    ASSERT_NE(nullptr, fact);
    EXPECT_EQ(fact->value, c.value);
    EXPECT_EQ(fact->line, c.source_line);
  }
  // What GetCacheSettings uses agrees with what the facts say.
  WriteSettings("[Cache]\nDelay=20 ; minutes\nCacheSize=10\n");
  CacheSettings s{-1, -1, -1};
  GetCacheSettings(&s, nullptr, nullptr);
  EXPECT_EQ(s.Delay, 20 * 60);
  EXPECT_EQ(s.CacheSize, 200 * 1024 * 1024);

  // A settings file that cannot be read: the defaults, and why.
  ASSERT_TRUE(testing_support::MakeDir(dir_.Sub("folder.ini")));
  SetSettingsFileForTesting(dir_.Sub("folder.ini"));
  const SettingsFacts unreadable = ExamineSettings();
  ASSERT_EQ(1u, unreadable.problems.size());
  EXPECT_EQ(unreadable.problems[0].kind, SettingsProblemKind::kUnreadable);
  EXPECT_NE(std::string::npos, unreadable.problems[0].text.find("cannot be read ("));
  for (const SettingFact& f : unreadable.settings) EXPECT_EQ(0, f.line) << f.key;
  // A missing one is no problem: the defaults apply.
  SetSettingsFileForTesting(dir_.Sub("missing.ini"));
  EXPECT_TRUE(ExamineSettings().problems.empty());
  EXPECT_FALSE(ExamineSettings().found);
}

TEST_F(SettingsTest, EmptyCacheDirThrowsAndLogs) {
  WriteSettings("[Cache]\nCacheDir=\n");
  char index_path[kPathBufferSize];
  EXPECT_THROW(GetCacheSettings(nullptr, index_path, nullptr), OsError);
  EXPECT_TRUE(LogHas("Create Cache Directory Error.\n"));
}

}  // namespace
}  // namespace stow
