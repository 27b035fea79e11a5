#include <gtest/gtest.h>

#include <string>

#include "index/index_file.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::ReadWholeFile;
using testing_support::TextModeBytes;

using IndexDumpTest = testing_support::IndexTest;

// The dump as text-mode output would hold it before line-end translation.
// clang-format off
std::string HeaderText(const std::string& size, const std::string& count, const std::string& first,
                       const std::string& last, const std::string& first_free) {
  return "\nDump Index File Header (v2.0)...\n\n"
         "\t\tIndex File Header...\t\t\t\n"
         "\t\tCahceSize:              " + size + ",\t\n"
         "\t\tTotalFileCount          " + count + ",\t\t\n"
         "\t\tImageFileBlockOffset:   1000,\t\t\n"
         "\t\tImageFileBlockNum:      100000,\t\t\n"
         "\t\tFirstValidBlock:        " + first + ",\t\t\n"
         "\t\tLastValidBlock:         " + last + ",\t\t\n"
         "\t\tFirstInvalidBlock:      " + first_free + ",\t\t\n"
         "\t\tLastInvalidBlock:       99999,\t\t\n"
         "\t\t--------------------------------------------\n"
         "\nDump Image File Blocks...\n\n";
}

std::string BlockText(const std::string& num, const std::string& name, const std::string& size,
                      const std::string& left, const std::string& right) {
  return "\t\t\tNum:            " + num + ",\t\t\n"
         "\t\t\tImageFileName:  " + name + ",\t\t\n"
         "\t\t\tFileSize:       " + size + ",\t\t\n"
         "\t\t\tDelay:          600,\t\n"
         "\t\t\tLeftNode:       " + left + ",\t\t\n"
         "\t\t\tRightNode:      " + right + ",\t\t\n"
         "\t\t\t------------------------------------\n";
}
// clang-format on

TEST_F(IndexDumpTest, EmptyIndex) {
  const std::string path = dir_.Sub("Index.Dmp");
  index_->DumpToFile(path.c_str());
  EXPECT_EQ(ReadWholeFile(path), TextModeBytes(HeaderText("0", "0", "-1", "-1", "0")));
}

TEST_F(IndexDumpTest, FilesFromMostRecentWithTheirLinks) {
  ASSERT_TRUE(Add("a", 100, 600));
  ASSERT_TRUE(Add("b", 2000000, 600));
  ASSERT_TRUE(Add("c", 3, 600));
  const std::string path = dir_.Sub("Index.Dmp");
  testing_support::WriteWholeFile(path, std::string(5000, '#'));  // replaced, not appended to
  index_->DumpToFile(path.c_str());
  EXPECT_EQ(ReadWholeFile(path), TextModeBytes(HeaderText("2000103", "3", "2", "0", "3") +
                                               BlockText("2", "c", "3", "-1", "1") +
                                               BlockText("1", "b", "2000000", "2", "0") +
                                               BlockText("0", "a", "100", "1", "-1")));
}

}  // namespace
}  // namespace stow
