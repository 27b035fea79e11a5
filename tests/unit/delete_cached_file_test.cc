#include "maintenance/delete_cached_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fault_env.h"
#include "temp_dir.h"

#ifdef _WIN32
#include <windows.h>
// The core's names, not the system's A/W macros.
#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory
#endif

namespace stow {
namespace {

using testing_support::PathExists;

class DeleteCachedFileTest : public testing_support::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    folder_ = cache_dir_ + platform::kSeparator + "sub";
    std::filesystem::create_directories(folder_);
    file_ = folder_ + platform::kSeparator + "x.dat";
    testing_support::WriteWholeFile(file_, "data");
  }
  std::string folder_;  // <tmp>/cache/sub
  std::string file_;    // <tmp>/cache/sub/x.dat
};

TEST_F(DeleteCachedFileTest, LastFileTakesItsFolderButNotTheParent) {
  EXPECT_TRUE(DeleteCachedFile(file_.c_str()));
  EXPECT_FALSE(PathExists(file_));
  EXPECT_FALSE(PathExists(folder_));
  EXPECT_TRUE(platform::env().IsDirectory(cache_dir_.c_str()));
  EXPECT_TRUE(LogHas("Delete File Successfully: " + file_ + ".\n"));
  EXPECT_TRUE(LogHas("Remove Directory " + folder_ + ".\n"));
}

TEST_F(DeleteCachedFileTest, FolderWithAnotherEntryStays) {
  const std::string other = folder_ + platform::kSeparator + "y.dat";
  testing_support::WriteWholeFile(other, "data");
  EXPECT_TRUE(DeleteCachedFile(file_.c_str()));
  EXPECT_FALSE(PathExists(file_));
  EXPECT_TRUE(PathExists(other));
  EXPECT_FALSE(LogHas("Remove Directory"));
}

// A pass's remover, confined (privileged) or not, on a folder that is
// read-only or not where folders can be: the folder stays, untouched and
// without a log line, while it holds a file, and goes, logged, with the last.
// A cache folder (CacheDir, FileFolders) stays, without a line, when the
// last file directly in it goes.
TEST_F(DeleteCachedFileTest, PassKeepsAFolderWithEntriesAndRemovesAnEmptiedOne) {
  testing_support::FaultEnv env;
  const std::string other = folder_ + platform::kSeparator + "y.dat";
  const std::string files = dir_.Sub("files");
  WriteSettings("[Cache]\nCacheDir=" + cache_dir_ + "\nFileFolders=" + files + "\n");
  std::filesystem::create_directories(files);
  for (bool elevated : {false, true}) {
    for (bool read_only : {false, true}) {
      SCOPED_TRACE(std::string(elevated ? "privileged" : "unprivileged") +
                   (read_only ? ", read-only folder" : ""));
      std::filesystem::create_directories(folder_);
      testing_support::WriteWholeFile(file_, "data");
      testing_support::WriteWholeFile(other, "data");
#ifdef _WIN32
      if (read_only) {
        ASSERT_TRUE(SetFileAttributesA(folder_.c_str(), FILE_ATTRIBUTE_READONLY));
        // Wine accepts the attribute on a folder but does not keep it.
        if ((GetFileAttributesA(folder_.c_str()) & FILE_ATTRIBUTE_READONLY) == 0) continue;
      }
#else
      if (read_only) continue;  // the folder's own mode does not keep it
#endif
      testing_support::WriteWholeFile(dir_.Sub(testing_support::LogFileName(
                                          testing_support::kLogTestTime)),
                                      "");
      env.privileges.elevated = elevated;
      const RemoveFileFn remove = CachedFileRemover();
      for (const std::string& top : {cache_dir_, files}) {
        const std::string direct = top + platform::kSeparator + "top.dat";
        testing_support::WriteWholeFile(direct, "data");
        EXPECT_TRUE(remove(direct.c_str()));
        EXPECT_FALSE(PathExists(direct));
        EXPECT_TRUE(platform::env().IsDirectory(top.c_str())) << top;
      }
      EXPECT_TRUE(remove(file_.c_str()));
      EXPECT_FALSE(PathExists(file_));
      ASSERT_TRUE(PathExists(other));
#ifdef _WIN32
      EXPECT_EQ((GetFileAttributesA(folder_.c_str()) & FILE_ATTRIBUTE_READONLY) != 0, read_only);
#endif
      EXPECT_FALSE(LogHas("Remove Directory"));
      EXPECT_TRUE(remove(other.c_str()));
      EXPECT_FALSE(PathExists(folder_));
      EXPECT_TRUE(LogHas("Msg:  Remove Directory " + folder_ + ".\n"));
      EXPECT_FALSE(LogHas("Remove Directory Error"));
    }
  }
}

TEST_F(DeleteCachedFileTest, MissingFileCountsAsDeleted) {
  const std::string missing = folder_ + platform::kSeparator + "gone.dat";
  EXPECT_TRUE(DeleteCachedFile(missing.c_str()));
  EXPECT_TRUE(LogHas("Delete File Success: " + missing + ".\n"));
  EXPECT_TRUE(PathExists(file_));
}

TEST_F(DeleteCachedFileTest, FolderPathIsRefused) {
  testing_support::FaultEnv unprivileged;
  EXPECT_FALSE(DeleteCachedFile(folder_.c_str()));
  EXPECT_TRUE(PathExists(file_));
  const std::string log = testing_support::ReadWholeFile(
      dir_.Sub(testing_support::LogFileName(testing_support::kLogTestTime)));
  const size_t at = log.find("Delete File Error(");
  ASSERT_NE(at, std::string::npos) << log;
  const size_t close = log.find("): " + folder_ + ".", at);
  ASSERT_NE(close, std::string::npos) << log;
  EXPECT_GT(std::stoi(log.substr(at + 18, close - at - 18)), 0);  // the system's code
}

}  // namespace
}  // namespace stow
