// The INI reader of the POSIX build (Windows reads settings with the
// system's own, but the reader is built and checked there too).
#include "platform/ini_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace stow {
namespace platform {
namespace {

std::string Look(const std::string& text, const char* key, size_t size = 260,
                 const char* section = "Cache") {
  return LookupIniValue(text, section, key, "DEF", size);
}

TEST(IniParserTest, FirstMatchingSectionAndKeyWithoutRegardToCase) {
  const std::string text =
      "Key=top\n[Other]\nKey=other\n[cAcHe]\nkey=first\nKEY=second\n[Log]\nOnly=x\n"
      "[cache]\nLater=y\n";
  EXPECT_EQ(Look(text, "Key"), "first");
  EXPECT_EQ(Look(text, "Later"), "DEF");  // only the first [Cache] counts
  EXPECT_EQ(Look(text, "Only"), "DEF");
  EXPECT_EQ(Look(text, "Only", 260, "LOG"), "x");
  EXPECT_EQ(Look(text, "Ke"), "DEF");
  EXPECT_EQ(Look(text, "Key", 260, "Cach"), "DEF");
}

// Without a key: the names of the first matching section's keys, in file
// order, each followed by a NUL; comments and lines without "=" are none.
TEST(IniParserTest, NullKeyListsTheKeysOfTheSection) {
  const std::string text =
      "Top=1\n[Cache]\n CacheDir = /x\n; Note=no\nnot a key\nDelay=5\nDelay=6\n[Log]\nLogPath=y\n"
      "[CACHE]\nLater=z\n";
  EXPECT_EQ(std::string("CacheDir\0Delay\0Delay\0", 21), Look(text, nullptr));
  EXPECT_EQ(std::string("LogPath\0", 8), Look(text, nullptr, 260, "log"));
  EXPECT_EQ("", Look(text, nullptr, 260, "Missing"));
}

TEST(IniParserTest, BlanksTrimmedAndOnePairOfQuotesRemoved) {
  const std::string text =
      "\xEF\xBB\xBF  [ Cache ]  \r\n"
      "  Dir \t=  /var/tmp/a b \t\r\n"
      "Double=\"quoted \"\r\nSingle= 'x' \r\nNested=\"\"in\"\"\r\nMixed=\"abc'\r\nLone=\"\r\n"
      "Empty=\r\nBlank=   \r\n";
  EXPECT_EQ(Look(text, "Dir"), "/var/tmp/a b");
  EXPECT_EQ(Look(text, "Double"), "quoted ");
  EXPECT_EQ(Look(text, "Single"), "x");
  EXPECT_EQ(Look(text, "Nested"), "\"in\"");
  EXPECT_EQ(Look(text, "Mixed"), "\"abc'");
  EXPECT_EQ(Look(text, "Lone"), "\"");
  // Present but empty is the empty string, not the fallback.
  EXPECT_EQ(Look(text, "Empty"), "");
  EXPECT_EQ(Look(text, "Blank"), "");
}

TEST(IniParserTest, ResultCutToSizeMinusOne) {
  const std::string text = "[Cache]\nKey=abcdef\n";
  EXPECT_EQ(Look(text, "Key", 4), "abc");
  EXPECT_EQ(Look(text, "Key", 7), "abcdef");
  EXPECT_EQ(Look(text, "Key", 1), "");
  EXPECT_EQ(Look(text, "Key", 0), "");
  EXPECT_EQ(Look(text, "None", 3), "DE");
}

}  // namespace
}  // namespace platform
}  // namespace stow
