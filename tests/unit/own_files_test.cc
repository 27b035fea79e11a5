#include "maintenance/own_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fault_env.h"
#include "maintenance/delete_cached_file.h"
#include "temp_dir.h"

namespace stow {
namespace {

using testing_support::PathExists;
using testing_support::WriteWholeFile;

// A cache folder with the index and its lookup file, the settings file and
// today's log beside it, and a data folder with a hard link to the index.
class OwnFilesTest : public testing_support::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    data_ = dir_.Sub("data");
    index_ = In(cache_dir_, "Index.Dat");
    log_ = dir_.Sub(testing_support::LogFileName(testing_support::kLogTestTime));
    link_ = In(data_, "index-link.img");
    std::filesystem::create_directories(cache_dir_);
    std::filesystem::create_directories(data_);
    for (const std::string& path : {index_, In(cache_dir_, "Index.Lkp"), log_}) {
      WriteWholeFile(path, "own");
    }
    std::filesystem::create_hard_link(index_, link_);
  }
  static std::string In(const std::string& folder, const std::string& name) {
    return folder + platform::kSeparator + name;
  }
  std::string data_, index_, log_, link_;
};

// Known by identity (another spelling, a hard link) when it existed at the
// gathering, by name in its folder when made later; a link to one of them,
// or the same name in another folder, is not one of them. Every day's log
// in the log folder is known by identity too: a hard link to it under
// another name, whether the log was there at the gathering or not.
TEST_F(OwnFilesTest, KnownByIdentityOrByNameInItsFolder) {
  const std::string earlier_log = dir_.Sub("Stowmaster_20191231.LOG");
  WriteWholeFile(earlier_log, "x");
  const OwnFiles own(index_);
  const std::string later_dump = In(cache_dir_, "Index.Dmp");
  const std::string later_log = dir_.Sub("Stowmaster_20200101.LOG");
  const std::string not_log = dir_.Sub("Stowmaster_20200101.TXT");
  for (const std::string& path :
       {later_dump, later_log, not_log, In(data_, "Index.Dat"), In(data_, "plain.img")}) {
    WriteWholeFile(path, "x");
  }
  for (const std::string& path : {earlier_log, later_log, not_log}) {
    std::filesystem::create_hard_link(path,
                                      In(data_, "link-" + path.substr(dir_.path().size() + 1)));
  }
  struct Case {
    std::string path;
    bool own;
  };
  std::vector<Case> cases = {
      {index_, true},
      {In(cache_dir_, "Index.Lkp"), true},
      {later_dump, true},
      {ini_path_, true},
      {log_, true},
      {later_log, true},
      {link_, true},
      {In(In(cache_dir_, ".."), In("cache", "Index.Dat")), true},
      {In(cache_dir_, "INDEX.DAT"), true},
      {In(data_, "Index.Dat"), false},
      {In(data_, "plain.img"), false},
      {In(cache_dir_, "Index.Dat.img"), false},
      {dir_.Sub("Stowmaster_20200101.TXT"), false},
      {In(data_, "link-Stowmaster_20191231.LOG"), true},
      {In(data_, "link-Stowmaster_20200101.LOG"), true},
      {In(data_, "link-Stowmaster_20200101.TXT"), false},
  };
#ifdef _WIN32
  // Names Windows reads as the dump's and the log's, made after the
  // gathering: only their names and folders tell.
  cases.push_back({later_dump + ". ", true});
  cases.push_back({later_log + "::$DATA", true});
#else
  const std::string symlink = In(data_, "symlink.img");
  std::filesystem::create_symlink(index_, symlink);
  cases.push_back({symlink, false});  // deleting the link leaves the index
#endif
  for (const Case& c : cases) {
    EXPECT_EQ(c.own, own.Holds(c.path.c_str())) << c.path;
  }
}

// An own file replaced since the gathering no longer lends its identity:
// the system may give it to any new file, which must not be taken for one
// of the library's own.
TEST_F(OwnFilesTest, AnIdentityOfAReplacedOwnFileNamesNothing) {
  const OwnFiles own(index_);
  platform::FileId old_id;
  ASSERT_TRUE(platform::env().GetFileId(index_.c_str(), false, &old_id).ok());
  // Replaced by a rename, so that the new index cannot get the old identity.
  const std::string replacement = In(cache_dir_, "replacement");
  WriteWholeFile(replacement, "new");
  std::filesystem::rename(replacement, index_);
  std::filesystem::remove(link_);
  const std::string plain = In(data_, "plain.img");
  WriteWholeFile(plain, "x");
  // As if the system had given the plain file the old index's identity.
  EXPECT_FALSE(own.Holds(plain.c_str(), &old_id));
  platform::FileId new_id;
  ASSERT_TRUE(platform::env().GetFileId(index_.c_str(), false, &new_id).ok());
  EXPECT_TRUE(own.Holds(index_.c_str(), &new_id));  // by its name in its folder
}

// A pass or an emptying, privileged or not, frees the block of an own file
// without deleting it, with one line each; an ordinary file still goes.
TEST_F(OwnFilesTest, RemovalRoutineFreesTheBlockAndKeepsTheFile) {
  testing_support::FaultEnv env;
  GatherOwnFiles(index_);
  const std::string plain = In(cache_dir_, "plain.img");
  for (bool elevated : {false, true}) {
    SCOPED_TRACE(elevated ? "privileged" : "unprivileged");
    env.privileges.elevated = elevated;
    WriteWholeFile(plain, "x");
    const RemoveFileFn remove = CachedFileRemover();
    for (const std::string& path : {index_, In(cache_dir_, "Index.Lkp"), ini_path_, log_, link_}) {
      const std::string line = "Delete File Skipped (one of the library's own files): " + path;
      const std::string before = testing_support::ReadWholeFile(log_);
      EXPECT_TRUE(remove(path.c_str())) << path;
      EXPECT_TRUE(PathExists(path)) << path;
      const std::string added = testing_support::ReadWholeFile(log_).substr(before.size());
      EXPECT_EQ(testing_support::TextModeBytes("Msg:  " + line + ".\n"),
                added.substr(added.find("Msg:  ")))
          << path;
    }
    EXPECT_TRUE(remove(plain.c_str()));
    EXPECT_FALSE(PathExists(plain));
  }
}

}  // namespace
}  // namespace stow
