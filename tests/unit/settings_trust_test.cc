// A privileged process takes nothing from a settings file that others than
// its owner could have written: the file names the folders in which it
// creates and deletes files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "config/log.h"
#include "config/settings.h"
#include "fault_env.h"
#include "temp_dir.h"

namespace stow {
namespace {

using testing_support::FaultEnv;
using testing_support::WriteWholeFile;

class SettingsTrustTest : public testing_support::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    conf_ = dir_.Sub("conf");
    std::filesystem::create_directories(conf_);
    ini_ = conf_ + platform::kSeparator + kSettingsFileName;
    WriteWholeFile(ini_, "[Cache]\nCacheDir=" + cache_dir_ +
                             "\nCacheSize=77\n[Log]\nLogPath=" + dir_.path() + "\n");
    SetSettingsFileForTesting(ini_);
    env_.privileges.elevated = true;
  }

  // Why GetCacheSettings refused the file ("" when it used it); checks that
  // nothing at all is then taken from the file, the log's folder included.
  std::string Refusal() {
    CacheSettings s{-1, -1, -1};
    try {
      GetCacheSettings(&s, nullptr, nullptr);
    } catch (const UntrustedSettings& e) {
      char folder[kPathBufferSize];
      GetConfigurationString("Cache", "CacheDir", "none", folder, sizeof(folder));
      EXPECT_STREQ(folder, "none");
      EXPECT_EQ(0u, LogFilePath().find(kDefaultLogPath)) << LogFilePath();
      return e.what();
    }
    EXPECT_EQ(s.CacheSize, 77 * 0x100000);
    EXPECT_EQ(0u, LogFilePath().find(dir_.path())) << LogFilePath();
    return std::string();
  }

  FaultEnv env_;
  std::string conf_;  // <tmp>/conf, the settings file's folder
  std::string ini_;   // <tmp>/conf/TESSARON.INI
};

TEST_F(SettingsTrustTest, PrivilegedProcessUsesOnlyAFileThatOnlyItsOwnerCanChange) {
#ifdef _WIN32
  GTEST_SKIP() << "modes and owners are Linux's; Windows judges the access list (Win32ChecksTest)";
#else
  const bool root = ::geteuid() == 0;
  constexpr uid_t kNobody = 65534;
  const std::string file = "Settings file " + ini_ + " ";
  const std::string folder = file + "lies in the folder " + conf_ + ", which ";
  const std::string end = ": not used by a privileged process.";
  struct Case {
    const char* name;
    mode_t file_mode;
    bool file_foreign;  // owned by nobody
    mode_t folder_mode;
    bool folder_foreign;
    std::string refusal;
  };
  const Case cases[] = {
      {"owner only", 0644, false, 0755, false, ""},
      {"read-only", 0444, false, 0555, false, ""},
      {"group may write", 0664, false, 0755, false, file + "is writable by others than its owner"},
      {"others may write", 0606, false, 0755, false, file + "is writable by others than its owner"},
      {"another owner", 0644, true, 0755, false, file + "belongs to another user"},
      {"group may write the folder", 0644, false, 0775, false,
       folder + "others than its owner can write"},
      {"sticky folder others may write", 0644, false, 01777, false,
       folder + "others than its owner can write"},
      {"folder of another user", 0644, false, 0755, true, folder + "belongs to another user"},
  };
  for (const Case& c : cases) {
    if ((c.file_foreign || c.folder_foreign) && !root) continue;  // chown needs root
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, ::chmod(ini_.c_str(), c.file_mode));
    ASSERT_EQ(0, ::chown(ini_.c_str(), c.file_foreign ? kNobody : ::geteuid(), -1));
    ASSERT_EQ(0, ::chmod(conf_.c_str(), c.folder_mode));
    ASSERT_EQ(0, ::chown(conf_.c_str(), c.folder_foreign ? kNobody : ::geteuid(), -1));
    env_.privileges = platform::Privileges();
    env_.privileges.elevated = true;
    EXPECT_EQ(Refusal(), c.refusal.empty() ? c.refusal : c.refusal + end);
    // A set-user-ID program is as choosy.
    env_.privileges.elevated = false;
    env_.privileges.set_id = true;
    EXPECT_EQ(Refusal(), c.refusal.empty() ? c.refusal : c.refusal + end);
    // An unprivileged process uses whatever file it finds.
    env_.privileges = platform::Privileges();
    EXPECT_EQ(Refusal(), "");
  }

  // Through a link, the folder of the file it leads to counts as well.
  ASSERT_EQ(0, ::chmod(conf_.c_str(), 0755));
  ASSERT_EQ(0, ::chown(conf_.c_str(), ::geteuid(), -1));
  const std::string open_folder = dir_.Sub("open");
  std::filesystem::create_directories(open_folder);
  ASSERT_EQ(0, ::chmod(open_folder.c_str(), 0777));
  const std::string target = open_folder + "/real.ini";
  std::filesystem::rename(ini_, target);
  std::filesystem::create_symlink(target, ini_);
  env_.privileges.elevated = true;
  EXPECT_EQ(Refusal(), file + "lies in the folder " +
                           std::filesystem::canonical(open_folder).string() +
                           ", which others than its owner can write" + end);
  ASSERT_EQ(0, ::chmod(open_folder.c_str(), 0755));
  EXPECT_EQ(Refusal(), "");
#endif
}

}  // namespace
}  // namespace stow
