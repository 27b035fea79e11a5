// The worker thread of threaded processes (two machine-wide slots, a last
// pass at shutdown), inline passes in processes without one, and the picture
// of the index that every shutdown leaves.
#include <cstdlib>
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

constexpr uint32_t kMiB = 1024 * 1024;
const char kStarts[] = "Msg:  Stowmaster Work Thread Starts...\n";
const char kStops[] = "Msg:  Stowmaster Work Thread Stops...\n";
const char kUnInitialized[] = "Msg:  UnInitialize stowmaster successfully.\n";

// Position of the n-th (from 1) occurrence of `needle`, or npos.
size_t NthFind(const std::string& text, const std::string& needle, int n) {
  size_t at = std::string::npos;
  for (int k = 0; k < n; ++k) {
    at = text.find(needle, at == std::string::npos ? 0 : at + needle.size());
    if (at == std::string::npos) break;
  }
  return at;
}

std::string StatsLine(int files, int64_t bytes) {
  return "stats " + std::to_string(files) + " " + std::to_string(bytes);
}

class WorkerTest : public BlackBoxTest {
 protected:
  // A threaded process that stays initialised until its stop marker exists.
  // Returns once its initialisation is done.
  void StartThreaded(const std::string& name, ClientProcess* client) {
    ASSERT_TRUE(box_.StartClient({"init", "1", "signal", box_.Marker(name + "_up"), "wait-for",
                                  box_.Marker(name + "_stop"), "uninit"},
                                 client));
    ASSERT_TRUE(WaitForFile(box_.Marker(name + "_up"), kClientTimeoutMs)) << client->Output();
  }

  void StopThreaded(const std::string& name, ClientProcess* client) {
    ASSERT_TRUE(WriteWholeFile(box_.Marker(name + "_stop"), "1"));
    ASSERT_EQ(0, client->Wait(kClientTimeoutMs)) << client->Output();
    EXPECT_EQ((Lines{"init 1", "signal 1", "wait-for 1", "uninit"}), client->Results());
  }

  void WaitForThreads(int count) {
    ASSERT_TRUE(box_.WaitForLogCount(kStarts, count, kClientTimeoutMs)) << box_.ReadLogs();
  }

  // A 50 MiB cache with 10 % precision (high mark 55, low mark 45 MiB) over
  // its high mark: old0..old3 of 20 MiB each, all old enough to go. A pass
  // deletes old0 and old1.
  void SeedOldEntries() {
    ASSERT_NO_FATAL_FAILURE(UseSmallCache());
    IndexImage image = IndexImage::Formatted();
    const int32_t old = static_cast<int32_t>(UnixSeconds() - 3600);
    for (int i = 0; i < 4; ++i) {
      const std::string path = box_.Data("old" + std::to_string(i));
      ASSERT_TRUE(WriteWholeFile(path, "o"));
      ASSERT_NE(-1, image.AddEntry(path, 20 * kMiB, old, 0));
    }
    ASSERT_TRUE(image.Save(box_.index_path()));
  }

  void ExpectOldEntriesEvicted(bool evicted) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(!evicted || i >= 2, PathExists(box_.Data("old" + std::to_string(i)))) << i;
    }
  }
};

TEST_F(WorkerTest, ThirdThreadStartsOnlyAfterAHolderStops) {
  ClientProcess a, b, c;
  ASSERT_NO_FATAL_FAILURE(StartThreaded("a", &a));
  ASSERT_NO_FATAL_FAILURE(StartThreaded("b", &b));
  ASSERT_NO_FATAL_FAILURE(WaitForThreads(2));
  ASSERT_NO_FATAL_FAILURE(StartThreaded("c", &c));
  SleepMs(1000);
  EXPECT_EQ(2, CountOf(box_.ReadLogs(), kStarts)) << "both slots are taken";

  ASSERT_NO_FATAL_FAILURE(StopThreaded("a", &a));
  ASSERT_NO_FATAL_FAILURE(WaitForThreads(3));
  ASSERT_NO_FATAL_FAILURE(StopThreaded("b", &b));
  ASSERT_NO_FATAL_FAILURE(StopThreaded("c", &c));

  const std::string log = box_.ReadLogs();
  EXPECT_EQ(3, CountOf(log, kStarts)) << log;
  EXPECT_EQ(3, CountOf(log, kStops)) << log;
  EXPECT_LT(log.find(kStops), NthFind(log, kStarts, 3)) << log;
}

// A process killed while its thread holds a slot does not keep the slot.
// On Windows the slot comes back only once every process has closed the
// semaphore, so there the check waits until all holders are gone.
TEST_F(WorkerTest, KilledHolderGivesItsSlotBack) {
  ClientProcess a, b, c, d;
  ASSERT_NO_FATAL_FAILURE(StartThreaded("a", &a));
  ASSERT_NO_FATAL_FAILURE(StartThreaded("b", &b));
  ASSERT_NO_FATAL_FAILURE(WaitForThreads(2));
#ifdef _WIN32
  a.Kill();
  ASSERT_NO_FATAL_FAILURE(StopThreaded("b", &b));
  // Both slots are free again: two new threads start.
  ASSERT_NO_FATAL_FAILURE(StartThreaded("c", &c));
  ASSERT_NO_FATAL_FAILURE(StartThreaded("d", &d));
  ASSERT_NO_FATAL_FAILURE(WaitForThreads(4));
  ASSERT_NO_FATAL_FAILURE(StopThreaded("d", &d));
#else
  ASSERT_NO_FATAL_FAILURE(StartThreaded("c", &c));
  SleepMs(500);
  ASSERT_EQ(2, CountOf(box_.ReadLogs(), kStarts)) << "both slots are taken";
  a.Kill();
  ASSERT_NO_FATAL_FAILURE(WaitForThreads(3));
  ASSERT_NO_FATAL_FAILURE(StopThreaded("b", &b));
#endif
  ASSERT_NO_FATAL_FAILURE(StopThreaded("c", &c));
}

// Stopping a threaded process runs one last pass before the shutdown ends,
// without waiting for the next period; registrations in a threaded process
// leave eviction to the thread.
TEST_F(WorkerTest, StopRunsALastPassAndReturnsPromptly) {
  ASSERT_NO_FATAL_FAILURE(SeedOldEntries());
  const std::string fresh = box_.Data("fresh");
  ASSERT_TRUE(WriteWholeFile(fresh, "x"));
  ClientProcess client;
  ASSERT_TRUE(box_.StartClient(
      {"init", "1", "signal", box_.Marker("up"), "wait-for", box_.Marker("go"), "add", fresh, "0",
       "stats", box_.index_path(), "uninit-timed", "stats", box_.index_path()},
      &client));
  // Stopping before the thread holds its slot would skip the last pass.
  ASSERT_NO_FATAL_FAILURE(WaitForThreads(1));
  ASSERT_TRUE(WriteWholeFile(box_.Marker("go"), "1"));
  ASSERT_EQ(0, client.Wait(kClientTimeoutMs)) << client.Output();

  const Lines results = client.Results();
  ASSERT_EQ(7u, results.size()) << client.Output();
  EXPECT_EQ((Lines{"init 1", "signal 1", "wait-for 1", "add 1", StatsLine(5, 80 * kMiB + 1)}),
            Lines(results.begin(), results.begin() + 5));
  ASSERT_EQ(0u, results[5].find("uninit-timed ")) << results[5];
  EXPECT_LT(std::atoi(results[5].c_str() + 13), 10000) << "UnInitialize took too long";
  EXPECT_EQ(StatsLine(3, 40 * kMiB + 1), results[6]);
  ExpectOldEntriesEvicted(true);
  EXPECT_TRUE(PathExists(fresh));

  const std::string log = box_.ReadLogs();
  const size_t last_delete = log.find("Msg:  Delete File Successfully: " + box_.Data("old1"));
  ASSERT_NE(std::string::npos, last_delete) << log;
  EXPECT_LT(log.find(kStarts), log.find("Delete File")) << log;
  EXPECT_LT(last_delete, log.find(kStops)) << log;
  EXPECT_LT(log.find(kStops), log.find(kUnInitialized)) << log;
}

// A process without a thread evicts right after a registration, but only
// when one of the two slots is free at that moment.
TEST_F(WorkerTest, InlinePassNeedsAFreeSlot) {
  ASSERT_NO_FATAL_FAILURE(SeedOldEntries());
  ClientProcess a, b;
  ASSERT_NO_FATAL_FAILURE(StartThreaded("a", &a));
  ASSERT_NO_FATAL_FAILURE(StartThreaded("b", &b));
  ASSERT_NO_FATAL_FAILURE(WaitForThreads(2));
  const std::string fresh1 = box_.Data("fresh1");
  ASSERT_TRUE(WriteWholeFile(fresh1, "x"));
  ClientRun skipped = box_.RunClient(
      {"init", "0", "add", fresh1, "0", "stats", box_.index_path(), "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, skipped.exit_code) << skipped.output;
  EXPECT_EQ((Lines{"init 1", "add 1", StatsLine(5, 80 * kMiB + 1), "uninit"}), skipped.results);
  ExpectOldEntriesEvicted(false);

  // Killed rather than stopped: a stop would run the threads' last passes.
  a.Kill();
  b.Kill();
  const std::string fresh2 = box_.Data("fresh2");
  ASSERT_TRUE(WriteWholeFile(fresh2, "x"));
  ClientRun inline_pass = box_.RunClient(
      {"init", "0", "add", fresh2, "0", "stats", box_.index_path(), "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, inline_pass.exit_code) << inline_pass.output;
  EXPECT_EQ((Lines{"init 1", "add 1", StatsLine(4, 40 * kMiB + 2), "uninit"}), inline_pass.results);
  ExpectOldEntriesEvicted(true);
}

// ------------------------------------------------------------- Index.Dmp ---

// The values of one field of the dumped blocks, in the order written; each
// is a line "<tabs><key>:<blanks><value>,<tabs>".
Lines DumpField(const std::string& dump, const std::string& key) {
  Lines values;
  const std::string start = "\n\t\t\t" + key + ":";
  for (size_t at = dump.find(start); at != std::string::npos; at = dump.find(start, at + 1)) {
    const size_t from = dump.find_first_not_of(' ', at + start.size());
    if (from == std::string::npos) break;
    values.push_back(dump.substr(from, dump.find(",\t", from) - from));
  }
  return values;
}

using DumpTest = BlackBoxTest;

// Every shutdown rewrites Index.Dmp in the cache folder with the header and
// the valid list from the most recent entry on, as the index holds them.
TEST_F(DumpTest, ShutdownRewritesDumpOfHeaderAndValidList) {
  const std::string dump_path = JoinPath(box_.cache_dir(), "Index.Dmp");
  std::vector<std::string> names;
  for (const char* name : {"a", "b", "c", "d"}) {
    names.push_back(box_.Data(name));
    ASSERT_TRUE(WriteWholeFile(names.back(), name));
  }
  // Two cycles: the second dump must replace the first, not follow it.
  for (int cycle = 0; cycle < 2; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    Lines commands = {"init", "0"};
    if (cycle == 0) {
      commands.insert(commands.end(), {"add", names[0], "0", "add", names[1], "0"});
      commands.insert(commands.end(), {"add", names[2], "600"});
    } else {
      commands.insert(commands.end(), {"add", names[3], "0"});
    }
    commands.push_back("uninit");
    ClientRun run = box_.RunClient(commands, kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;

    std::string raw;
    ASSERT_TRUE(ReadFile(dump_path, &raw)) << dump_path;
#ifdef _WIN32
    EXPECT_EQ(CountOf(raw, "\n"), CountOf(raw, "\r\n")) << "every line ends in CR LF";
#else
    EXPECT_EQ(std::string::npos, raw.find('\r'));
#endif
    std::string dump;
    for (char ch : raw) {
      if (ch != '\r') dump.push_back(ch);
    }
    EXPECT_EQ(1, CountOf(dump, "Dump Index File Header (v2.0)...")) << dump;

    IndexImage image = LoadIndex();
    ASSERT_TRUE(ListsConsistent(image));
    const int files = 3 + cycle;
    EXPECT_EQ(1, CountOf(dump, "\t\tTotalFileCount          " + std::to_string(files) + ",\t\t\n"))
        << dump;
    EXPECT_EQ(1, CountOf(dump, "\t\tFirstValidBlock:        " +
                                   std::to_string(image.header().FirstValidBlock) + ",\t\t\n"))
        << dump;
    EXPECT_EQ(1, CountOf(dump, "\t\t\tDelay:          600,\t\n")) << dump;

    // Most recent first: (d,) c, b, a, each as the index holds it.
    EXPECT_EQ(Lines(names.rbegin() + (4 - files), names.rend()), DumpField(dump, "ImageFileName"));
    Lines nums, sizes, delays, lefts, rights;
    for (int32_t i : image.ValidBlocks()) {
      const stow::ImageFileBlock& block = image.block(i);
      nums.push_back(std::to_string(i));
      sizes.push_back(std::to_string(block.FileSize));
      delays.push_back(std::to_string(block.Delay));
      lefts.push_back(std::to_string(block.LeftNode));
      rights.push_back(std::to_string(block.RightNode));
    }
    EXPECT_EQ(nums, DumpField(dump, "Num"));
    EXPECT_EQ(sizes, DumpField(dump, "FileSize"));
    EXPECT_EQ(delays, DumpField(dump, "Delay"));
    EXPECT_EQ(lefts, DumpField(dump, "LeftNode"));
    EXPECT_EQ(rights, DumpField(dump, "RightNode"));
    ASSERT_EQ(static_cast<size_t>(files), lefts.size());
    EXPECT_EQ("-1", lefts.front());
    EXPECT_EQ("-1", rights.back());
  }
}

}  // namespace
}  // namespace stow::testing_support
