// Eviction passes over real files and folders: what a pass deletes, what it
// keeps, the folders it tidies up and what it logs.
#include <cstdio>
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

constexpr uint32_t kMiB = 1024 * 1024;
constexpr int kOld = 3600;  // seconds since registration: past the minimum age
constexpr int kYoung = 60;  // below the 5-minute minimum age

#ifdef _WIN32
constexpr int kDirectoryError = 5;  // ERROR_ACCESS_DENIED
constexpr int kInUseError = 32;     // ERROR_SHARING_VIOLATION
#else
constexpr int kDirectoryError = 21;  // EISDIR
constexpr int kInUseError = 13;      // EACCES: the folder may not be written
#endif

struct Seed {
  std::string path;
  uint32_t size;  // as registered; the file itself may be smaller
  int age;
};

// A 50 MiB cache with 10 % precision (high mark 55 MiB, low mark 45 MiB)
// and a 5-minute minimum age.
class EvictionTest : public BlackBoxTest {
 protected:
  void SetUp() override {
    BlackBoxTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  }

  // Writes an index listing `seeds`, the first one least recently registered.
  void SeedIndex(const std::vector<Seed>& seeds) {
    IndexImage image = IndexImage::Formatted();
    const int64_t now = UnixSeconds();
    for (const Seed& seed : seeds) {
      ASSERT_NE(-1, image.AddEntry(seed.path, seed.size, static_cast<int32_t>(now - seed.age), 0));
    }
    ASSERT_TRUE(image.Save(box_.index_path()));
  }

  // Registers new one-byte files in one process without a worker thread:
  // one pass after each registration.
  void RegisterFresh(const std::vector<std::string>& names) {
    std::vector<std::string> commands = {"init", "0"};
    Lines expected = {"init 1"};
    for (const std::string& name : names) {
      ASSERT_TRUE(WriteWholeFile(box_.Data(name), "x"));
      commands.insert(commands.end(), {"add", box_.Data(name), "0"});
      expected.push_back("add 1");
    }
    commands.push_back("uninit");
    expected.push_back("uninit");
    ClientRun run = box_.RunClient(commands, kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;
    EXPECT_EQ(expected, run.results);
  }
};

// Oldest first: a registered folder (refused, so it stays over the high
// mark), a file that empties its folder, a file whose folder keeps another
// file, a file already gone, and a young file that keeps the cache above the
// high mark for a second pass.
TEST_F(EvictionTest, PassDeletesFilesTidiesFoldersAndKeepsRefusedEntries) {
  const std::string dir = box_.Data("dir");
  const std::string nest = box_.Data("nest");
  const std::string solo = JoinPath(nest, "solo");
  const std::string solo_file = JoinPath(solo, "f");
  const std::string shared = box_.Data("shared");
  const std::string shared_file = JoinPath(shared, "f");
  const std::string missing = box_.Data("missing");
  const std::string young = box_.Data("young");
  ASSERT_TRUE(MakeDir(dir) && MakeDir(nest) && MakeDir(solo) && MakeDir(shared));
  ASSERT_TRUE(WriteWholeFile(solo_file, "s") && WriteWholeFile(shared_file, "s") &&
              WriteWholeFile(JoinPath(shared, "unregistered"), "u") && WriteWholeFile(young, "y"));
  ASSERT_NO_FATAL_FAILURE(SeedIndex({{dir, 10 * kMiB, kOld},
                                     {solo_file, 10 * kMiB, kOld},
                                     {shared_file, 10 * kMiB, kOld},
                                     {missing, 10 * kMiB, kOld},
                                     {young, 50 * kMiB, kYoung}}));

  // 90 MiB: the first pass ends at 60 MiB, still above the high mark, so the
  // second registration runs a pass that meets the folder again, and passes
  // it over without trying: it was refused a moment ago.
  ASSERT_NO_FATAL_FAILURE(RegisterFresh({"fresh1", "fresh2"}));

  const std::string log = box_.ReadLogs();
  EXPECT_FALSE(PathExists(solo_file));
  EXPECT_FALSE(PathExists(solo));
  EXPECT_TRUE(IsDir(nest)) << "the emptied folder's parent must stay";
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + solo_file + ".\n")) << log;
  EXPECT_EQ(1, CountOf(log, "Msg:  Remove Directory " + solo + ".\n")) << log;
  EXPECT_EQ(1, CountOf(log, "Remove Directory")) << log;

  EXPECT_FALSE(PathExists(shared_file));
  EXPECT_TRUE(PathExists(JoinPath(shared, "unregistered")));
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + shared_file + ".\n")) << log;

  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Success: " + missing + ".\n")) << log;

  EXPECT_TRUE(IsDir(dir));
  // A confined client does not even try: a folder is not a regular file.
  const std::string refused =
      ClientsConfined()
          ? RefusedOutsideLine(dir)
          : "Msg:  Delete File Error(" + std::to_string(kDirectoryError) + "): " + dir + ".\n";
  EXPECT_EQ(1, CountOf(log, refused)) << log;
  EXPECT_EQ(4, CountOf(log, "Delete File")) << log;

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ((std::vector<std::string>{box_.Data("fresh2"), box_.Data("fresh1"), young, dir}),
            image.ValidNames());
  EXPECT_EQ(60 * int64_t{kMiB} + 2, image.header().CacheSize);
}

// 50 files of 1 MiB, old enough, under a 50 MiB limit (high mark 60 MiB).
// A client's view of the lookup table loses its slot pages (zeroed, the
// header left alone, as a power cut can leave the file) between its
// initialisation and its registering the same 50 files again: the table's
// checks show the loss, it is rebuilt, each registration finds its entry,
// nothing is listed twice and nothing deleted.
TEST_F(EvictionTest, ZeroedLookupSlotsListNothingTwiceAndDeleteNothing) {
  SandboxSettings settings;
  settings.cache_size = "50";
  settings.precision = "20";
  settings.delay = "5";
  ASSERT_TRUE(box_.WriteSettings(settings));
  std::vector<Seed> seeds;
  std::vector<std::string> again = {
      "init", "0", "signal", box_.Marker("ready"), "wait-for", box_.Marker("zeroed")};
  for (int i = 0; i < 50; ++i) {
    const std::string path = box_.Data("f" + std::to_string(i));
    ASSERT_TRUE(WriteWholeFile(path, std::string(kMiB, 'f')));
    seeds.push_back({path, kMiB, kOld});
    again.insert(again.end(), {"add", path, "0"});
  }
  again.push_back("uninit");
  ASSERT_NO_FATAL_FAILURE(SeedIndex(seeds));
  // A first registration builds the table.
  ASSERT_NO_FATAL_FAILURE(RegisterFresh({"first"}));

  ClientProcess client;
  ASSERT_TRUE(box_.StartClient(again, &client));
  ASSERT_TRUE(WaitForFile(box_.Marker("ready"), kClientTimeoutMs));
  {
    std::FILE* f = std::fopen(JoinPath(box_.cache_dir(), "Index.Lkp").c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    const std::string zeros(size_t{1} << 21, '\0');  // 262,144 slots of 8 bytes
    ASSERT_EQ(0, std::fseek(f, 4096, SEEK_SET));
    ASSERT_EQ(zeros.size(), std::fwrite(zeros.data(), 1, zeros.size(), f));
    std::fclose(f);
  }
  ASSERT_TRUE(WriteWholeFile(box_.Marker("zeroed"), "1"));
  ASSERT_EQ(0, client.Wait(kClientTimeoutMs)) << client.Output();

  const std::string log = box_.ReadLogs();
  EXPECT_EQ(0, CountOf(log, "Delete File")) << log;
  EXPECT_EQ(0, CountOf(log, "listed a path a second time")) << log;
  EXPECT_EQ(1, CountOf(log, "Lookup table slots do not match their checks")) << log;
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(PathExists(box_.Data("f" + std::to_string(i)))) << i;
  ClientRun check = box_.RunClient({"init", "0", "check", "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, check.exit_code) << check.output;
  ASSERT_EQ(3u, check.results.size()) << check.output;
  EXPECT_EQ(0u, check.results[1].find("check 0 1 1 1 0 51 ")) << check.results[1];
  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ(50 * int64_t{kMiB} + 1, image.header().CacheSize);
}

// At the entry ceiling a new file first makes room: the least recently
// registered entries old enough go until 1,000 blocks are free. When none
// is old enough, registration returns 0 and says so once, not per file.
TEST_F(EvictionTest, FullIndexMakesRoomOrSaysSoOnce) {
  struct Case {
    int age;
    const char* added;
    int deleted;  // all told, so far
    int said_full;
    // The counters: available, new, refreshed, refused, full-index
    // refusals, files deleted by passes, deletions refused.
    const char* counted;
  };
  for (const Case& c : {Case{kYoung, "add 0", 0, 1, "counters 0 1 0 0 2 2 0 0"},
                        Case{kOld, "add 1", 1000, 1, "counters 0 1 2 0 0 0 1000 0"}}) {
    std::vector<Seed> seeds;
    for (int k = 0; k < 100000; ++k) seeds.push_back({box_.Data("e" + std::to_string(k)), 1, c.age});
    ASSERT_NO_FATAL_FAILURE(SeedIndex(seeds));
    RemoveTree(JoinPath(box_.cache_dir(), "Index.Lkp"));  // counted afresh
    // In use since the machine started: no reconciliation looks at the
    // 100,000 missing files.
    ASSERT_TRUE(IndexImage::MarkReconciled(JoinPath(box_.cache_dir(), "Index.Lkp"), true));
    ASSERT_TRUE(WriteWholeFile(box_.Data("new1"), "x") && WriteWholeFile(box_.Data("new2"), "x"));
    ClientRun run = box_.RunClient({"init", "0", "add", box_.Data("new1"), "0", "add",
                                    box_.Data("new2"), "0", "counters", "uninit"},
                                   kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;
    EXPECT_EQ((Lines{"init 1", c.added, c.added, c.counted, "uninit"}), run.results);
    const std::string log = box_.ReadLogs();
    EXPECT_EQ(c.deleted, CountOf(log, "Msg:  Delete File Success: ")) << c.age;
    // The files furthest from the head went: e0 to e999.
    if (c.deleted > 0) {
      EXPECT_EQ(1, CountOf(log, "Delete File Success: " + box_.Data("e999") + ".\n"));
      EXPECT_EQ(0, CountOf(log, "Delete File Success: " + box_.Data("e1000") + ".\n"));
    }
    EXPECT_EQ(c.said_full, CountOf(log, "Msg:  The index is full (100000 entries) and none is old "
                                        "enough to be deleted: new files are not registered.\n"));
  }
}

// A file another process keeps from being deleted (Windows: open without
// delete sharing; POSIX: in a folder without write permission) keeps its
// block, and the pass goes on to the next file.
TEST_F(EvictionTest, FileThatCannotBeDeletedKeepsItsBlock) {
#ifndef _WIN32
  if (IsSuperUser()) {
    GTEST_SKIP() << "running as root, which may delete files from a folder without write "
                    "permission; run as another user to cover this case";
  }
#endif
  const std::string folder = box_.Data("held");
  const std::string held = JoinPath(folder, "f");
  const std::string other = box_.Data("other");
  const std::string young = box_.Data("young");
  ASSERT_TRUE(MakeDir(folder));
  ASSERT_TRUE(WriteWholeFile(held, "h") && WriteWholeFile(other, "o") && WriteWholeFile(young, "y"));
  ASSERT_NO_FATAL_FAILURE(
      SeedIndex({{held, 20 * kMiB, kOld}, {other, 20 * kMiB, kOld}, {young, 30 * kMiB, kYoung}}));

#ifdef _WIN32
  ClientProcess holder;
  ASSERT_TRUE(box_.StartClient({"hold-open", held, box_.Marker("held")}, &holder));
  ASSERT_TRUE(WaitForFile(box_.Marker("held"), kClientTimeoutMs)) << holder.Output();
  ASSERT_NO_FATAL_FAILURE(RegisterFresh({"fresh"}));
  holder.Kill();
#else
  ASSERT_TRUE(SetFolderWritable(folder, false));
  RegisterFresh({"fresh"});
  ASSERT_TRUE(SetFolderWritable(folder, true));
  if (HasFatalFailure()) return;
#endif

  const std::string log = box_.ReadLogs();
  EXPECT_TRUE(PathExists(held));
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Error(" + std::to_string(kInUseError) +
                                "): " + held + ".\n"))
      << log;
  EXPECT_FALSE(PathExists(other));
  EXPECT_EQ(1, CountOf(log, "Msg:  Delete File Successfully: " + other + ".\n")) << log;
  EXPECT_EQ(0, CountOf(log, "Remove Directory")) << log;

  IndexImage image = LoadIndex();
  ASSERT_TRUE(ListsConsistent(image));
  EXPECT_EQ((std::vector<std::string>{box_.Data("fresh"), young, held}), image.ValidNames());
}

}  // namespace
}  // namespace stow::testing_support

namespace stow::testing_support {
namespace {

// Two processes killed while they held both eviction slots, while a third
// keeps the slots' objects open: the slots are free again at once and the
// next registration evicts.
TEST_F(EvictionTest, SlotsOfKilledHoldersComeBackAtOnce) {
  const std::string old_file = box_.Data("old");
  ASSERT_TRUE(WriteWholeFile(old_file, "o"));
  ASSERT_NO_FATAL_FAILURE(SeedIndex({{old_file, 60 * kMiB, kOld}}));
  ClientProcess stayer;
  ASSERT_TRUE(box_.StartClient(
      {"init", "0", "signal", box_.Marker("up"), "wait-for", box_.Marker("done"), "uninit"},
      &stayer));
  ASSERT_TRUE(WaitForFile(box_.Marker("up"), kClientTimeoutMs)) << stayer.Output();
  // Both slots taken at once, then both holders killed.
  ClientProcess holders[2];
  for (int i = 0; i < 2; ++i) {
    const std::string marker = box_.Marker("slot" + std::to_string(i));
    ASSERT_TRUE(box_.StartClient({"hold-slot", box_.index_path(), marker}, &holders[i]));
    ASSERT_TRUE(WaitForFile(marker, kClientTimeoutMs)) << holders[i].Output();
  }
  for (ClientProcess& holder : holders) {
    holder.Kill();
    holder.Wait(kClientTimeoutMs);
  }
  ASSERT_NO_FATAL_FAILURE(RegisterFresh({"fresh"}));
  ASSERT_TRUE(WriteWholeFile(box_.Marker("done"), "1"));
  EXPECT_EQ(0, stayer.Wait(kClientTimeoutMs)) << stayer.Output();
  EXPECT_FALSE(PathExists(old_file)) << box_.ReadLogs();
}

}  // namespace
}  // namespace stow::testing_support
