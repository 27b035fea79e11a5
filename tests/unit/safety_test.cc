// The rules that keep a privileged host, a hostile index or a stuck lock
// holder from turning the library against its host, through the Env.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

#include "api/process_state.h"
#include "config/settings.h"
#include "fault_env.h"
#include "index_test_util.h"
#include "maintenance/delete_cached_file.h"

namespace stow {
namespace {

using testing_support::FaultEnv;
using testing_support::IndexNow;
using testing_support::kMiB;
using testing_support::PathExists;
using testing_support::WriteWholeFile;
using Paths = std::vector<std::string>;

class PrivilegedDeletionTest : public testing_support::IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    other_ = dir_.Sub("other");
    std::filesystem::create_directories(other_);
    env_.privileges.elevated = true;
  }
  std::string File(const std::string& folder, const std::string& name) {
    const std::string path = folder + platform::kSeparator + name;
    WriteWholeFile(path, "x");
    return path;
  }
  FaultEnv env_;
  std::string other_;  // <tmp>/other: neither the cache folder nor listed
};

// A privileged pass deletes below the cache folder and the FileFolders
// folders and keeps, with a log line, a file anywhere else; an unprivileged
// one deletes what the system lets it.
TEST_F(PrivilegedDeletionTest, DeletesOnlyBelowItsFolders) {
  const std::string listed = dir_.Sub("listed");
  std::filesystem::create_directories(listed);
  WriteSettings("[Cache]\nCacheDir=" + cache_dir_ + "\nFileFolders= ;" + dir_.Sub("none") + ";" +
                listed + platform::kSeparator + "\n");
  const std::string sub = cache_dir_ + platform::kSeparator + "sub";
  std::filesystem::create_directories(sub);
  const std::string in_cache = File(sub, "a");
  const std::string in_listed = File(listed, "b");
  const std::string outside = File(other_, "c");
  // Text below the cache folder that climbs out of it again.
  const std::string climbing = cache_dir_ + platform::kSeparator + ".." + platform::kSeparator +
                               "other" + platform::kSeparator + "c";
  for (const std::string& path : {outside, climbing, in_listed, in_cache})
    ASSERT_TRUE(Add(path, 1));
  index_->RemoveAll(CachedFileRemover());
  EXPECT_FALSE(PathExists(in_cache));
  EXPECT_FALSE(PathExists(sub)) << "the emptied folder below the cache folder goes too";
  EXPECT_FALSE(PathExists(in_listed));
  EXPECT_TRUE(PathExists(listed)) << "a FileFolders folder itself stays";
  EXPECT_TRUE(PathExists(outside));
  EXPECT_EQ(testing_support::ValidPaths(*index_), (Paths{climbing, outside}));
  EXPECT_TRUE(LogHas("Delete File Refused (outside the cache folders): " + outside + ".\n"));
  EXPECT_TRUE(LogHas("Delete File Refused (outside the cache folders): " + climbing + ".\n"));

  // A set-id program deletes with rights its user lacks: confined as well.
  env_.privileges.elevated = false;
  env_.privileges.set_id = true;
  index_->RemoveAll(CachedFileRemover());
  EXPECT_TRUE(PathExists(outside));
  EXPECT_EQ(testing_support::ValidPaths(*index_), (Paths{climbing, outside}));

  env_.privileges.set_id = false;
  index_->RemoveAll(CachedFileRemover());
  EXPECT_FALSE(PathExists(outside));
  EXPECT_EQ(testing_support::ValidPaths(*index_), Paths{});
}

// A folder the deletion leaves empty that cannot be removed is logged; the
// file is gone, so its block is freed and its bytes no longer count.
TEST_F(PrivilegedDeletionTest, FolderThatCannotBeRemovedDoesNotKeepTheBlock) {
  for (bool elevated : {false, true}) {
    env_.privileges.elevated = elevated;
    env_.fail_remove_directory = true;
    const std::string sub = cache_dir_ + platform::kSeparator + "sub";
    std::filesystem::create_directories(sub);
    const std::string file = File(sub, "a");
    EXPECT_TRUE(DeleteCachedFile(file.c_str()));
    EXPECT_FALSE(PathExists(file));
    EXPECT_TRUE(PathExists(sub));
    EXPECT_TRUE(LogHas("Remove Directory Error: " + sub + ".\n"));
    std::filesystem::remove(sub);
  }
}

// A lock that is not released in time fails the operation with its failure
// value and a log line, and changes nothing.
TEST_F(PrivilegedDeletionTest, LockTimeOutFailsTheOperationOnly) {
  const std::string file = File(cache_dir_, "a");
  ASSERT_TRUE(Add(file, 300 * kMiB));
  env_.lock_times_out = true;
  EXPECT_FALSE(Add(File(cache_dir_, "b"), 1));
  IndexNow() += 100000;
  index_->ShrinkCache(CachedFileRemover());  // skipped, not thrown
  EXPECT_TRUE(PathExists(file));
  EXPECT_TRUE(LogHas("The index lock was not released by its holder within 30 seconds.\n"));
  env_.lock_times_out = false;
  EXPECT_EQ(testing_support::ValidPaths(*index_), Paths{file});
  EXPECT_EQ(H().LockMarker, 0u);
}

// Whatever way a locked operation ends, also by running out of memory while
// it takes or gives back the lock, the machine-wide lock is free again and
// nothing escapes a destructor.
TEST_F(PrivilegedDeletionTest, OutOfMemoryAroundTheLockLeavesItFree) {
  // The index was opened before the FaultEnv: open it again through it.
  index_.reset();
  index_ = Open();
  std::unique_ptr<platform::NamedMutex> other;
  platform::env().OpenNamedMutex("Local\\stow_unit_oom", index_path_, &other).ThrowIfFailed();
  // Taking the lock checks two views (the lookup table's, then the
  // index's), and so does giving it back: check 1 fails while taking it,
  // check 3 while giving it back.
  for (int at : {1, 3}) {
    env_.throw_at_truncation_check = at;
    bool threw = false;
    try {
      Add(File(cache_dir_, "f" + std::to_string(at)), 1);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    EXPECT_EQ(threw, at == 1);
    env_.throw_at_truncation_check = 0;
    struct Probe {
      platform::NamedMutex* mutex;
      platform::NamedMutex::LockResult result;
    } probe{other.get(), platform::NamedMutex::LockResult::kTimedOut};
    // From another thread: a Windows mutex is reentrant for its owner.
    std::unique_ptr<platform::Thread> thread;
    platform::env()
        .StartThread(
            [](void* p) {
              auto* probe = static_cast<Probe*>(p);
              probe->mutex->Lock(2000, &probe->result).ThrowIfFailed();
              if (probe->result != platform::NamedMutex::LockResult::kTimedOut) {
                probe->mutex->Unlock();
              }
            },
            &probe, &thread)
        .ThrowIfFailed();
    thread->Join();
    EXPECT_NE(probe.result, platform::NamedMutex::LockResult::kTimedOut) << "at " << at;
  }
  // The repair that failed while the lock was given back is checked again.
  EXPECT_TRUE(Add(File(cache_dir_, "g"), 1));
  EXPECT_TRUE(testing_support::ListsConsistentInSecondMapping(index_path_));
}

// Another process waiting for a lock that a holder keeps gets kTimedOut
// after about the time it asked for.
TEST(NamedMutexTest, LockGivesUpAfterItsTimeout) {
  testing_support::TempDir dir;
  const std::string path = dir.Sub("Index.Dat");
  const std::string name =
      "Local\\stow_unit_timeout_" + std::to_string(reinterpret_cast<uintptr_t>(&dir));
  std::unique_ptr<platform::NamedMutex> holder;
  platform::env().OpenNamedMutex(name, path, &holder).ThrowIfFailed();
  platform::NamedMutex::LockResult taken;
  holder->Lock(1000, &taken).ThrowIfFailed();
  ASSERT_EQ(taken, platform::NamedMutex::LockResult::kAcquired);
  struct Waiter {
    platform::NamedMutex* mutex;
    platform::NamedMutex::LockResult result;
  } waiter{holder.get(), platform::NamedMutex::LockResult::kAcquired};
  // A second object on the same lock, waited for from another thread (a
  // Windows mutex is reentrant for its owner thread).
  std::unique_ptr<platform::NamedMutex> second;
  platform::env().OpenNamedMutex(name, path, &second).ThrowIfFailed();
  waiter.mutex = second.get();
  std::unique_ptr<platform::Thread> thread;
  platform::env()
      .StartThread(
          [](void* p) {
            auto* w = static_cast<Waiter*>(p);
            w->mutex->Lock(300, &w->result).ThrowIfFailed();
          },
          &waiter, &thread)
      .ThrowIfFailed();
  thread->Join();
  EXPECT_EQ(waiter.result, platform::NamedMutex::LockResult::kTimedOut);
  holder->Unlock();
}

// The settings variable names the file of an unprivileged process; a
// privileged or set-id process ignores it and says so.
TEST_F(PrivilegedDeletionTest, SettingsVariableIsIgnoredWhenPrivileged) {
  if (platform::kSettingsVariable[0] == '\0') GTEST_SKIP() << "no settings variable here";
  const std::string chosen = dir_.Sub("chosen.ini");
  WriteWholeFile(chosen, "[Cache]\nCacheDir=/from/variable\n[Log]\nLogPath=" + dir_.path() + "\n");
  env_.pretend_environment = true;
  env_.environment[platform::kSettingsVariable] = chosen;
  SetSettingsFileForTesting("");
  char value[kPathBufferSize];
  env_.privileges = platform::Privileges();
  GetConfigurationString("Cache", "CacheDir", "none", value, sizeof(value));
  EXPECT_STREQ(value, "/from/variable");
  for (bool set_id : {false, true}) {
    env_.privileges.elevated = !set_id;
    env_.privileges.set_id = set_id;
    SetSettingsFileForTesting("");
    GetConfigurationString("Cache", "CacheDir", "none", value, sizeof(value));
    EXPECT_STRNE(value, "/from/variable");
    EXPECT_EQ(platform::env().ProcessPrivileges().set_id, set_id);
    // The settings' facts say so, naming the variable's file.
    const SettingsFacts facts = ExamineSettings();
    ASSERT_FALSE(facts.problems.empty());
    EXPECT_EQ(facts.problems[0].kind, SettingsProblemKind::kVariableIgnored);
    EXPECT_EQ(facts.problems[0].written, chosen);
  }
  // Unprivileged, the variable is used and no problem is told.
  env_.privileges = platform::Privileges();
  SetSettingsFileForTesting("");
  for (const SettingsProblem& p : ExamineSettings().problems) {
    EXPECT_NE(p.kind, SettingsProblemKind::kVariableIgnored) << p.text;
  }
  // A file named by the program wins over the variable, privileged too.
  env_.privileges.elevated = true;
  std::string why;
  ASSERT_TRUE(UseSettingsFile(ini_path_, &why)) << why;
  for (const SettingsProblem& p : ExamineSettings().problems) {
    EXPECT_NE(p.kind, SettingsProblemKind::kVariableIgnored) << p.text;
  }
  env_.privileges = platform::Privileges();
  SetSettingsFileForTesting(ini_path_);
  const std::string line = std::string(platform::kSettingsVariable) +
                           " is ignored in a privileged process; settings file: ";
  size_t count = 0;
  for (size_t at = env_.appended.find(line); at != std::string::npos;
       at = env_.appended.find(line, at + 1)) {
    ++count;
  }
  EXPECT_EQ(2u, count) << env_.appended;
}

// A view whose file another process cut short reads zeros instead of
// killing the process, reports the cut, and is mapped to the file again
// once it is grown back.
TEST(SharedFileTest, ViewOfAFileCutShortSurvivesAndIsRestored) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: Windows does not let a mapped file be cut short";
#else
  testing_support::TempDir dir;
  const std::string path = dir.Sub("Index.Dat");
  constexpr size_t kSize = 1 << 20;
  std::unique_ptr<platform::SharedFile> view;
  platform::DefaultEnv().OpenSharedFile(path, "", kSize, "", &view).ThrowIfFailed();
  volatile uint8_t* bytes = view->data();
  bytes[900000] = 7;
  EXPECT_FALSE(view->CheckTruncated(true));
  std::filesystem::resize_file(path, 4096);
  EXPECT_EQ(bytes[900000], 0);  // a SIGBUS without the handler
  bytes[800000] = 5;
  EXPECT_TRUE(view->CheckTruncated(true));
  ASSERT_TRUE(view->Restore());
  EXPECT_EQ(std::filesystem::file_size(path), kSize);
  EXPECT_FALSE(view->CheckTruncated(true));
  bytes[900000] = 9;
  std::unique_ptr<platform::SharedFile> second;
  platform::DefaultEnv().OpenSharedFile(path, "", kSize, "", &second).ThrowIfFailed();
  EXPECT_EQ(second->data()[900000], 9) << "the view is the file's again";
#endif
}

// The log and the dump are never written through a symbolic link or into a
// FIFO (which would also block), and the dump truncates only a file it
// opened as its own.
TEST(OwnFileTest, LinksFifosAndSecondNamesAreRefused) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: Wine shows a Unix link as a plain file";
#else
  testing_support::TempDir dir;
  const std::string target = dir.Sub("target");
  WriteWholeFile(target, "keep");
  const std::string link = dir.Sub("link");
  std::filesystem::create_symlink(target, link);
  const std::string second = dir.Sub("second");
  std::filesystem::create_hard_link(target, second);
  const std::string fifo = dir.Sub("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_FALSE(platform::DefaultEnv().AppendToFile(link.c_str(), "x", 1).ok());
  EXPECT_FALSE(platform::DefaultEnv().AppendToFile(fifo.c_str(), "x", 1).ok());
  // Each refusal says why, with the path it concerns.
  const struct {
    const std::string& path;
    uint32_t code;
  } refusals[] = {{link, ELOOP}, {second, EMLINK}, {fifo, ENXIO}};
  for (const auto& refusal : refusals) {
    const OsStatus written = platform::DefaultEnv().WriteOwnFile(refusal.path.c_str(), "x", 1);
    EXPECT_EQ(written.code(), refusal.code) << refusal.path;
    EXPECT_EQ(written.path(), refusal.path);
  }
  EXPECT_EQ(testing_support::ReadWholeFile(target), "keep");
  const std::string own = dir.Sub("own");
  WriteWholeFile(own, "a longer old content");
  EXPECT_TRUE(platform::DefaultEnv().WriteOwnFile(own.c_str(), "new", 3).ok());
  EXPECT_EQ(testing_support::ReadWholeFile(own), "new");
#endif
}

// An open that runs out of disk space while reserving the file gives back
// what it reserved: a new file is left empty, a short one at its length and
// content, and the disk has its space again. Needs a file system that keeps
// the blocks of a failed reservation (ext4; tmpfs gives them back by
// itself), so it mounts a small one: as root only.
TEST(SharedFileTest, ReservationThatRunsOutOfSpaceGivesItBack) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: the small disk is a loop-mounted ext4 image";
#else
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small disk needs root";
  testing_support::TempDir dir;
  const std::string image = dir.Sub("disk.img");
  const std::string mount_point = dir.Sub("disk");
  std::filesystem::create_directory(mount_point);
  WriteWholeFile(image, "");
  std::filesystem::resize_file(image, 16 * kMiB);
  if (std::system(("mkfs.ext4 -q -F " + image + " >/dev/null 2>&1").c_str()) != 0 ||
      std::system(("mount -o loop " + image + " " + mount_point + " >/dev/null 2>&1").c_str()) !=
          0) {
    GTEST_SKIP() << "cannot make and mount a small ext4 file system here";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { (void)std::system(("umount " + at).c_str()); }
  } unmount{mount_point};
  const auto free_bytes = [&] {
    struct statvfs fs;
    return ::statvfs(mount_point.c_str(), &fs) == 0
               ? static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize
               : 0;
  };
  const std::string short_file = mount_point + "/Short.Dat";
  WriteWholeFile(short_file, "kept as it was");
  const uint64_t free_before = free_bytes();
  ASSERT_LT(free_before, 28801000u);
  for (const std::string& path : {mount_point + "/Index.Dat", short_file}) {
    SCOPED_TRACE(path);
    const uintmax_t length = std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
    std::unique_ptr<platform::SharedFile> view;
    EXPECT_EQ(platform::DefaultEnv().OpenSharedFile(path, "", 28801000, "", &view).code(),
              platform::kErrorDiskFull);
    EXPECT_EQ(std::filesystem::file_size(path), length);
    EXPECT_GE(free_bytes() + 64 * 1024, free_before);
  }
  EXPECT_EQ(testing_support::ReadWholeFile(short_file), "kept as it was");
#endif
}

// A file with a second name is not taken unless it already is an index.
TEST(SharedFileTest, LinkedFileIsRefusedUnlessItCarriesTheMagic) {
  testing_support::TempDir dir;
  const std::string victim = dir.Sub("victim");
  const std::string path = dir.Sub("Index.Dat");
  WriteWholeFile(victim, "precious");
  std::filesystem::create_hard_link(victim, path);
  std::unique_ptr<platform::SharedFile> view;
  EXPECT_EQ(platform::DefaultEnv().OpenSharedFile(path, "", 4096, "MAGIC", &view).code(),
            platform::kErrorTooManyLinks);
  EXPECT_EQ(view, nullptr);
  EXPECT_EQ(testing_support::ReadWholeFile(victim), "precious");
  WriteWholeFile(victim, "MAGIC and more");
  EXPECT_TRUE(platform::DefaultEnv().OpenSharedFile(path, "", 4096, "MAGIC", &view).ok());
  EXPECT_NE(view, nullptr);
}

// The codes that keep a file's block are the same causes on both systems:
// no permission, in use, or media that refuse writing.
TEST(DeleteResultTest, RefusalCodesMeanTheSameCausesOnBothSystems) {
#ifdef _WIN32
  const uint32_t refused[] = {5,  32,  33,
                              19, 108, 65};  // ... write-protected, drive locked, network
  const uint32_t failed[] = {2, 3, 123};
#else
  const uint32_t refused[] = {13, 1, 16, 30, 21};  // EACCES EPERM EBUSY EROFS EISDIR
  const uint32_t failed[] = {2, 20, 22};
#endif
  for (uint32_t code : refused) {
    EXPECT_EQ(platform::DeleteResultOf(code), platform::DeleteResult::kRefused) << code;
  }
  for (uint32_t code : failed) {
    EXPECT_EQ(platform::DeleteResultOf(code), platform::DeleteResult::kFailed) << code;
  }
}

class NetworkFolderTest : public testing_support::TempDirTest {
 protected:
  void TearDown() override {
    while (api::ReferenceCount() > 0) api::UnInitialize();
    TempDirTest::TearDown();
  }
};

// A cache folder on a network file system is used, with a warning.
TEST_F(NetworkFolderTest, NetworkCacheFolderIsWarnedAbout) {
  FaultEnv env;
  env.network_folders = true;
  EXPECT_EQ(api::Initialize(0), 1);
  EXPECT_TRUE(
      LogHas("is on a network file system: processes on other machines must not share "
             "it.\n"));
  api::UnInitialize();  // closes the index while the FaultEnv that opened it lives
}

TEST_F(NetworkFolderTest, LocalCacheFolderIsNotWarnedAbout) {
  EXPECT_EQ(api::Initialize(0), 1);
  EXPECT_FALSE(LogHas("network file system"));
}

}  // namespace
}  // namespace stow
