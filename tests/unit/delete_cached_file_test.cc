#include "maintenance/delete_cached_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "api/api_structs.h"
#include "api/extension.h"
#include "config/settings.h"
#include "fault_env.h"
#include "index/report.h"
#include "stowmaster.h"
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

// ------------------------------------------------------------ adoption ---

// What adoption registers is what a confined pass may delete: a folder
// given by a spelling the confined deletion refuses (through a link, with
// an empty, "." or ".." part) is refused itself; any other has its files
// registered by the one spelling that the confined deletion accepts.
class AdoptedTest : public DeleteCachedFileTest {
 protected:
  // The cache folder afresh: sub/x.dat, sub/deeper/y.dat, no index.
  void Reset() {
    std::filesystem::remove_all(cache_dir_);
    std::filesystem::create_directories(folder_ + S + "deeper");
    testing_support::WriteWholeFile(file_, "data");
    testing_support::WriteWholeFile(folder_ + S + "deeper" + S + "y.dat", "data");
  }
  int32_t Adopt(const std::string& folder) {
    StowmasterAdoptResult r = {};
    r.size = sizeof(r);
    return api::Adopt(folder.c_str(), 0, &r, nullptr, nullptr);
  }
  std::vector<std::string> Listed() {
    CacheSettings cache;
    GetCacheSettings(&cache, nullptr, nullptr);
    std::vector<std::string> paths;
    int32_t reported = 0;
    ListIndex(
        api::IndexPathIn(cache_dir_), cache, 0, 64,
        [&](const ListedEntry& e) {
          paths.push_back(e.path);
          return true;
        },
        &reported);
    return paths;
  }
  const std::string S{platform::kSeparator};
};

TEST_F(AdoptedTest, AConfinedPassDeletesEveryPathAdoptionRegisters) {
  testing_support::FaultEnv env;  // unprivileged while adopting
  const std::string outside = dir_.Sub("outside");
  std::filesystem::create_directories(outside);
  testing_support::WriteWholeFile(outside + S + "o.dat", "data");
  struct Case {
    const char* what;
    std::string folder;
    size_t registered;  // 0: refused
    bool link;          // needs a symbolic link
  };
  const std::string link = dir_.Sub("link");
  const std::string alias = dir_.Sub("alias");  // a link to the folder above the cache folder
  const Case cases[] = {
      {"the cache folder", cache_dir_, 2, false},
      {"a plain subfolder", folder_, 2, false},
      {"a trailing separator", folder_ + S, 2, false},
      {"a doubled separator after the cache folder", cache_dir_ + S + S + "sub", 0, false},
      {"a doubled separator below it", folder_ + S + S + "deeper", 0, false},
      {"a \".\" part", cache_dir_ + S + "." + S + "sub", 0, false},
      {"a \"..\" part", folder_ + S + ".." + S + "sub", 0, false},
      {"a trailing \".\"", folder_ + S + ".", 0, false},
      {"a link to the cache folder", link, 0, true},
      {"a folder below a link to the cache folder", link + S + "sub", 0, true},
      {"a link below the cache folder to a folder outside", cache_dir_ + S + "out", 0, true},
      {"a folder reached through a link above the cache folder", alias + S + "cache" + S + "sub", 2,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
#ifdef _WIN32
    // Wine shows a Windows process a Unix symbolic link (the only kind the
    // tests can make there) as the folder it leads to, not as a link.
    if (c.link) continue;
#endif
    Reset();
    std::filesystem::remove(link);
    std::filesystem::remove(alias);
    if (c.link) {
      ASSERT_TRUE(testing_support::MakeSymlink(cache_dir_, link));
      ASSERT_TRUE(testing_support::MakeSymlink(dir_.path(), alias));
      ASSERT_TRUE(testing_support::MakeSymlink(outside, cache_dir_ + S + "out"));
    }
    EXPECT_EQ(c.registered > 0 ? STOWMASTER_OK : STOWMASTER_BAD_ARGUMENT, Adopt(c.folder));
    const std::vector<std::string> listed = Listed();
    EXPECT_EQ(c.registered, listed.size());
    env.privileges.elevated = true;
    for (const std::string& path : listed) {
      EXPECT_TRUE(DeleteCachedFile(path.c_str())) << path;
      EXPECT_FALSE(PathExists(path)) << path;
    }
    env.privileges.elevated = false;
  }
  EXPECT_TRUE(PathExists(outside + S + "o.dat"));
}

// The adopted folder swapped for a link to a folder outside while adoption
// runs, between its look at the folder and its opening (at once, then at
// any moment in a loop): refused or walked as it was, and nothing outside
// registered.
TEST_F(AdoptedTest, AFolderSwappedForALinkDuringAdoptionRegistersNothingOutside) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: Wine shows a Windows process a Unix symbolic link (the only "
                  "kind the tests can make there) as the folder it leads to, not as a link";
#else
  testing_support::FaultEnv env;
  const std::string outside = dir_.Sub("outside");
  std::filesystem::create_directories(outside);
  for (int i = 0; i < 20; ++i)
    testing_support::WriteWholeFile(outside + "/o" + std::to_string(i), "x");
  const std::string away = cache_dir_ + "/away";
  const auto swap = [&](bool to_link) {
    if (to_link) {
      std::filesystem::rename(folder_, away);
      std::filesystem::create_directory_symlink(outside, folder_);
    } else {
      std::filesystem::remove(folder_);
      std::filesystem::rename(away, folder_);
    }
  };
  const auto outside_listed = [&]() {
    int n = 0;
    for (const std::string& path : Listed()) n += path[path.rfind('/') + 1] == 'o' ? 1 : 0;
    return n;
  };
  Reset();
  // At the first folder adoption opens, whichever that is.
  bool swapped = false;
  env.before_open_folder = [&](const char*) {
    if (!swapped) swap(true);
    swapped = true;
  };
  EXPECT_EQ(STOWMASTER_BAD_ARGUMENT, Adopt(folder_));
  env.before_open_folder = nullptr;
  EXPECT_EQ(0, outside_listed());
  EXPECT_TRUE(Listed().empty());
  swap(false);

  Reset();
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    // Each state held for a while, some longer than an adoption takes.
    for (int i = 1; !stop.load(); ++i) {
      swap(i % 2 == 1);
      std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 7)));
    }
  });
  for (int i = 0; i < 150; ++i) Adopt(folder_);
  stop = true;
  swapper.join();
  EXPECT_EQ(0, outside_listed());
#endif
}

}  // namespace
}  // namespace stow
