#include "api/process_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>

#include "api/extension.h"
#include "index/layout.h"
#include "temp_dir.h"

namespace stow {
namespace {

using api::AddFileA;
using testing_support::PathExists;
using testing_support::WriteWholeFile;

class ProcessStateTest : public testing_support::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(api::ReferenceCount(), 0);
    file_ = dir_.Sub("file.dat");
    WriteWholeFile(file_, "12345");
    dump_ = cache_dir_ + platform::kSeparator + "Index.Dmp";
  }
  void TearDown() override {
    while (api::ReferenceCount() > 0) api::UnInitialize();
    TempDirTest::TearDown();
  }
  std::string file_;
  std::string dump_;
};

TEST_F(ProcessStateTest, ShutsDownWhenEveryInitializeIsMatched) {
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 0);  // not initialised yet
  ASSERT_EQ(api::Initialize(0), 1);
  ASSERT_EQ(api::Initialize(0), 1);
  api::UnInitialize();
  EXPECT_EQ(api::ReferenceCount(), 1);
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 1);
  EXPECT_FALSE(PathExists(dump_));
  api::UnInitialize();
  EXPECT_EQ(api::ReferenceCount(), 0);
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 0);
  EXPECT_NE(testing_support::ReadWholeFile(dump_).find("ImageFileName:  " + file_ + ","),
            std::string::npos);
  const std::string index = cache_dir_ + platform::kSeparator + "Index.Dat";
  EXPECT_TRUE(LogHas("Initialize stowmaster successfully: " + index + ".\n"));
  EXPECT_TRUE(LogHas("New File To Cache: " + file_ + ".\n"));
  EXPECT_TRUE(LogHas("UnInitialize stowmaster successfully.\n"));
  // The last shutdown synced and marked the index stopped cleanly.
  const std::string bytes = testing_support::ReadWholeFile(index);
  ASSERT_EQ(bytes.size(), kIndexFileSize);
  EXPECT_TRUE(MarkedClean(reinterpret_cast<const IndexFileHeader*>(bytes.data())->StopGeneration));
}

// A registration on another thread that races with the last UnInitialize
// either finds no index or is done with it before the index is destroyed
// (the sanitizer builds report a use after free otherwise).
TEST_F(ProcessStateTest, RegistrationRacingWithShutdownIsSafe) {
  struct Shared {
    std::atomic<bool> stop{false};
    std::atomic<int> registered{0};
    std::string file;
  } shared;
  shared.file = file_;
  std::unique_ptr<platform::Thread> thread;
  platform::env()
      .StartThread(
          [](void* p) {
            auto* s = static_cast<Shared*>(p);
            while (!s->stop.load()) s->registered += AddFileA(s->file.c_str(), 0);
          },
          &shared, &thread)
      .ThrowIfFailed();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(api::Initialize(0), 1);
    api::UnInitialize();
  }
  shared.stop = true;
  thread->Join();
  EXPECT_EQ(api::ReferenceCount(), 0);
  EXPECT_GT(shared.registered.load(), 0);
}

TEST_F(ProcessStateTest, UnmatchedUnInitializeIsIgnored) {
  api::UnInitialize();
  EXPECT_EQ(api::ReferenceCount(), 0);
  ASSERT_EQ(api::Initialize(0), 1);
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 1);
  api::UnInitialize();  // really shuts down
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 0);
  EXPECT_TRUE(PathExists(dump_));
}

TEST_F(ProcessStateTest, InitializeRetriesAfterFailure) {
  const std::string plain = dir_.Sub("plain.txt");
  WriteWholeFile(plain, "x");
  WriteSettings("[Cache]\nCacheDir=" + plain + platform::kSeparator + "cache\n");
  EXPECT_EQ(api::Initialize(0), 0);
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 0);
  EXPECT_TRUE(LogHas("Create Cache Directory Error.\n"));
  EXPECT_TRUE(LogHas("An error occurs when try to initialize stowmaster. ("));

  WriteSettings("[Cache]\nCacheDir=" + cache_dir_ + "\n");
  EXPECT_EQ(api::Initialize(0), 1);
  EXPECT_EQ(api::ReferenceCount(), 2);  // the failed call counts too
  api::UnInitialize();
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 1);
  api::UnInitialize();
  EXPECT_EQ(AddFileA(file_.c_str(), 0), 0);
}

TEST_F(ProcessStateTest, AddFileChecksThePath) {
  ASSERT_EQ(api::Initialize(0), 1);
  EXPECT_EQ(AddFileA(dir_.Sub("missing.dat").c_str(), 0), 0);
  EXPECT_TRUE(LogHas("\nUnable to get file size.\n"));
  EXPECT_EQ(AddFileA("", 0), 0);  // not the working folder

  // A relative path is stored made absolute against the working folder.
  const std::filesystem::path old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  const std::string absolute =
      std::filesystem::current_path().string() + platform::kSeparator + "file.dat";
  const int32_t added = AddFileA("file.dat", 0);
  std::filesystem::current_path(old_cwd);
  EXPECT_EQ(added, 1);
  EXPECT_TRUE(LogHas("New File To Cache: " + absolute + ".\n"));

  // A stored path holds at most 259 bytes.
  const std::string folder = dir_.Sub(std::string(100, 'd'));
  std::filesystem::create_directory(folder);
  const std::string fits = folder + platform::kSeparator + std::string(258 - folder.size(), 'f');
  WriteWholeFile(fits, "x");
  ASSERT_TRUE(PathExists(fits));
  EXPECT_EQ(AddFileA(fits.c_str(), 0), 1);
  const std::string too_long = fits + "g";
  WriteWholeFile(too_long, "x");  // fails where the system limits paths to 259 bytes
  EXPECT_EQ(AddFileA(too_long.c_str(), 0), 0);
}

// A file too large for the 32-bit size field still counts towards the limit
// with the largest size the field holds, not a wrapped small one.
TEST_F(ProcessStateTest, HugeFileCountsWithTheLargestRecordableSize) {
  const std::string huge = dir_.Sub("huge.dat");
  WriteWholeFile(huge, "");
  std::filesystem::resize_file(huge, (uint64_t{1} << 32) + 5);  // sparse
  ASSERT_EQ(api::Initialize(0), 1);
  EXPECT_EQ(AddFileA(huge.c_str(), 0), 1);
  api::UnInitialize();
  const std::string dump = testing_support::ReadWholeFile(dump_);
  EXPECT_NE(dump.find("CahceSize:              4294967295,"), std::string::npos) << dump;
  EXPECT_NE(dump.find("FileSize:       -1,"), std::string::npos) << dump;
}

TEST_F(ProcessStateTest, AddFileWConvertsToNarrow) {
  ASSERT_EQ(api::Initialize(0), 1);
  EXPECT_EQ(api::AddFileW(std::u16string(file_.begin(), file_.end()).c_str(), 0), 1);
  EXPECT_TRUE(LogHas("New File To Cache: " + file_ + ".\n"));
#ifndef _WIN32  // '?' cannot be part of a Windows file name
  WriteWholeFile(dir_.Sub("w?.dat"), "x");
  const std::string prefix = dir_.Sub("w");
  const std::u16string unpaired =
      std::u16string(prefix.begin(), prefix.end()) + u'\xD800' + u".dat";
  // No stand-in character: "w?.dat" is another file.
  EXPECT_EQ(api::AddFileW(unpaired.c_str(), 0), 0);
  EXPECT_TRUE(LogHas("A wide path has no exact form in the system code page or is too long.\n"));
  EXPECT_FALSE(LogHas("New File To Cache: " + dir_.Sub("w?.dat") + ".\n"));
#endif
}

// Each thread of the host reads its own last failure, never another's:
// the other thread fails after this one and before it reads.
TEST_F(ProcessStateTest, LastErrorIsPerThread) {
  struct Shared {
    std::atomic<int> stage{0};
    std::string seen_by_other;
    std::string seen_by_fresh = "unset";
  } shared;
  static const auto last = [] {
    char text[256];
    const uint32_t length = api::LastError(text, sizeof(text));
    EXPECT_EQ(length, std::strlen(text));
    return std::string(text);
  };
  std::unique_ptr<platform::Thread> other;
  ASSERT_TRUE(platform::env()
                  .StartThread(
                      [](void* p) {
                        auto* s = static_cast<Shared*>(p);
                        EXPECT_EQ(api::GetStatus(nullptr), STOWMASTER_BAD_ARGUMENT);
                        s->stage = 1;
                        while (s->stage.load() != 2) platform::env().SleepMs(0);
                        s->seen_by_other = last();
                      },
                      &shared, &other)
                  .ok());
  while (shared.stage.load() != 1) platform::env().SleepMs(0);
  EXPECT_EQ(api::ListEntries(0, nullptr, nullptr), STOWMASTER_BAD_ARGUMENT);
  shared.stage = 2;
  other->Join();
  std::unique_ptr<platform::Thread> fresh;
  ASSERT_TRUE(platform::env()
                  .StartThread([](void* p) { static_cast<Shared*>(p)->seen_by_fresh = last(); },
                               &shared, &fresh)
                  .ok());
  fresh->Join();
  EXPECT_EQ(shared.seen_by_other, "StowmasterGetStatus: null or too small a struct");
  EXPECT_EQ(last(), "StowmasterListEntries: no callback");
  EXPECT_EQ(shared.seen_by_fresh, "");  // a thread that never failed
}

}  // namespace
}  // namespace stow
