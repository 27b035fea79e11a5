// What one client sees through the entry points and the log, with settings
// taken from the library's own TESSARON.INI.
#include <cstdlib>
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

using ApiLogTest = BlackBoxTest;

constexpr uint32_t kMiB = 1024 * 1024;

TEST_F(ApiLogTest, MissingFileIsRefusedAndLogged) {
  ClientRun run =
      box_.RunClient({"init", "0", "add", box_.Data("missing"), "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "add 0", "uninit"}), run.results);
  const std::string log = box_.ReadLogs();
  EXPECT_EQ(1, CountOf(log, "Msg:  \nUnable to get file size.\n")) << log;
  EXPECT_EQ(0, CountOf(log, "New File To Cache")) << log;
  IndexImage image = LoadIndex();
  EXPECT_TRUE(ListsConsistent(image));
  EXPECT_EQ(0, image.header().TotalFileCount);
}

// Registering a listed file again (also through the UTF-16 entry point)
// refreshes its entry instead of adding one.
TEST_F(ApiLogTest, SameFileRegisteredAgainIsRefreshed) {
  const std::string file = box_.Data("twice");
  ASSERT_TRUE(WriteFileOfSize(file, 100));
  ClientRun run = box_.RunClient(
      {"init", "0", "add", file, "0", "add", file, "0", "addw", file, "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "add 1", "add 1", "addw 1", "uninit"}), run.results);

  const std::string log = box_.ReadLogs();
  EXPECT_EQ(1,
            CountOf(log, "Msg:  Initialize stowmaster successfully: " + box_.index_path() + ".\n"))
      << log;
  EXPECT_EQ(3, CountOf(log, "Msg:  New File To Cache: " + file + ".\n")) << log;
  EXPECT_EQ(1, CountOf(log, "Msg:  UnInitialize stowmaster successfully.\n")) << log;

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(std::vector<std::string>{file}, image.ValidNames());
  EXPECT_EQ(100, image.header().CacheSize);
  EXPECT_TRUE(PathExists(JoinPath(box_.cache_dir(), "Index.Dmp")));
}

TEST_F(ApiLogTest, UncreatableCacheDirFailsInitialisation) {
  // A plain file where a folder of the cache path would have to be.
  const std::string blocker = JoinPath(box_.root(), "blocker");
  ASSERT_TRUE(WriteWholeFile(blocker, "not a folder"));
  SandboxSettings settings;
  settings.cache_dir = JoinPath(blocker, "cache");
  ASSERT_TRUE(box_.WriteSettings(settings));
  ASSERT_TRUE(WriteWholeFile(box_.Data("file"), "data"));

  ClientRun run =
      box_.RunClient({"init", "0", "add", box_.Data("file"), "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 0", "add 0", "uninit"}), run.results);

  const std::string log = box_.ReadLogs();
  const size_t create = log.find("Msg:  Create Cache Directory Error.\n");
  const std::string failed = "Msg:  An error occurs when try to initialize stowmaster. (";
  const size_t error = log.find(failed);
  ASSERT_NE(std::string::npos, create) << log;
  ASSERT_NE(std::string::npos, error) << log;
  EXPECT_LT(create, error) << log;
  // "(code)\n" with the system's nonzero error code.
  char* end = nullptr;
  const long code = std::strtol(log.c_str() + error + failed.size(), &end, 10);
  EXPECT_NE(0, code) << log;
  EXPECT_EQ(std::string(")\n"), std::string(end, 2)) << log;
  EXPECT_EQ(0, CountOf(log, "successfully")) << log;
}

// With a 50 MiB cache and 10 % precision (high mark 55 MiB, low mark
// 45 MiB) and a 5-minute minimum age, a registration that leaves 70 MiB in
// use evicts the oldest files that are old enough, oldest first, until the
// low mark is passed.
TEST_F(ApiLogTest, RegistrationAboveHighMarkEvictsOldestEligibleFiles) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());

  struct Seed {
    const char* name;
    uint32_t size;
    int age;        // seconds since registration
    int64_t delay;  // the file's own minimum age
  };
  // From the least recently registered on.
  const Seed seeds[] = {
      {"young", 15 * kMiB, 60, 0},           // below the 5-minute minimum age
      {"own_delay", 15 * kMiB, 3600, 7200},  // below its own minimum age
      {"old0", 10 * kMiB, 3600, 0},
      {"old1", 10 * kMiB, 3600, 0},
      {"old2", 10 * kMiB, 3600, 0},
      {"old3", 10 * kMiB, 3600, 0},  // reached only after the low mark
  };
  IndexImage image = IndexImage::Formatted();
  const int64_t now = UnixSeconds();
  for (const Seed& seed : seeds) {
    ASSERT_TRUE(WriteFileOfSize(box_.Data(seed.name), seed.size));
    ASSERT_NE(-1, image.AddEntry(box_.Data(seed.name), seed.size,
                                 static_cast<int32_t>(now - seed.age), seed.delay));
  }
  ASSERT_TRUE(image.Save(box_.index_path()));
  const std::string fresh = box_.Data("fresh");
  ASSERT_TRUE(WriteWholeFile(fresh, "x"));

  ClientRun run = box_.RunClient({"init", "0", "add", fresh, "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "add 1", "uninit"}), run.results);

  const std::string log = box_.ReadLogs();
  for (const char* gone : {"old0", "old1", "old2"}) {
    EXPECT_FALSE(PathExists(box_.Data(gone))) << gone;
    EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + box_.Data(gone) + ".\n")) << log;
  }
  EXPECT_EQ(3, CountOf(log, "Delete File")) << log;
  for (const char* kept : {"young", "own_delay", "old3", "fresh"}) {
    EXPECT_TRUE(PathExists(box_.Data(kept))) << kept;
  }
  IndexImage after = LoadIndex();
  ASSERT_TRUE(ListsConsistent(after));
  EXPECT_EQ((std::vector<std::string>{fresh, box_.Data("old3"), box_.Data("own_delay"),
                                      box_.Data("young")}),
            after.ValidNames());
  EXPECT_EQ(40 * int64_t{kMiB} + 1, after.header().CacheSize);
}

}  // namespace
}  // namespace stow::testing_support
