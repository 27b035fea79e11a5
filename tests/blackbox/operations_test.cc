// The functions for watching and operating a cache, through a client
// process of the built library: status against an index the test built,
// the walk against the dump, the check on an index the test damaged, and
// what a pass and emptying report against the files on disk.
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "blackbox_fixture.h"
#include "stowmaster.h"

namespace stow::testing_support {
namespace {

using OperationsTest = BlackBoxTest;

constexpr int64_t kMiB = 1024 * 1024;

#ifdef _WIN32
constexpr int kDirectoryError = 5;  // ERROR_ACCESS_DENIED
const char kDeleteCall[] = "DeleteFileA";
#else
constexpr int kDirectoryError = 21;  // EISDIR
const char kDeleteCall[] = "unlink";
#endif

struct Seed {
  const char* name;
  int64_t size;
  int age;        // seconds since registration
  int64_t delay;  // the file's own minimum age
};

// Registers `seeds` (least recently registered first) in a fresh index
// image, creating each as a file of its size unless `files` is false.
IndexImage Seeded(const Sandbox& box, const std::vector<Seed>& seeds, int64_t now, bool files) {
  IndexImage image = IndexImage::Formatted();
  for (const Seed& seed : seeds) {
    if (files) {
      EXPECT_TRUE(WriteFileOfSize(box.Data(seed.name), seed.size)) << seed.name;
    }
    EXPECT_NE(-1, image.AddEntry(box.Data(seed.name), static_cast<uint32_t>(seed.size),
                                 static_cast<int32_t>(now - seed.age), seed.delay));
  }
  return image;
}

std::string N(int64_t v) { return std::to_string(static_cast<long long>(v)); }

// The result lines that start with `prefix` + " ".
Lines Starting(const Lines& lines, const std::string& prefix) {
  Lines out;
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size() + 1, prefix + " ") == 0) out.push_back(line);
  }
  return out;
}

// "Num:" and "ImageFileName:" of each record of a dump, in order.
std::vector<std::string> DumpRecords(const std::string& dump) {
  std::vector<std::string> records;
  std::string num;
  size_t pos = 0;
  while (pos < dump.size()) {
    size_t end = dump.find('\n', pos);
    if (end == std::string::npos) end = dump.size();
    const std::string line = dump.substr(pos, end - pos);
    pos = end + 1;
    const std::string num_tag = "\t\t\tNum:            ";
    const std::string name_tag = "\t\t\tImageFileName:  ";
    if (line.compare(0, num_tag.size(), num_tag) == 0) {
      num = line.substr(num_tag.size(), line.find(',') - num_tag.size());
    } else if (line.compare(0, name_tag.size(), name_tag) == 0) {
      records.push_back(num + " " +
                        line.substr(name_tag.size(), line.rfind(",\t\t") - name_tag.size()));
    }
  }
  return records;
}

// 50 MiB limit, 10 % precision: high mark 55 MiB, low mark 45 MiB; a
// 5-minute minimum age.
TEST_F(OperationsTest, StatusAndListDescribeTheCacheTheTestBuilt) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  // No index yet: nothing listed, and looking makes none.
  ClientRun empty = box_.RunClient({"status", "list", "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, empty.exit_code) << empty.output;
  EXPECT_EQ((Lines{"status 0 0 0 1 0 100000 0 0 0 0 0 next 0 ", "list 0 0"}), empty.results);
  EXPECT_FALSE(PathExists(box_.index_path()));

  const int64_t now = UnixSeconds();
  // A pass would delete old0 (down to exactly the low mark, so it goes on),
  // pass over own_delay, delete old1 and stop before young.
  const std::vector<Seed> seeds = {
      {"old0", 15 * kMiB, 7200, 0},
      {"own_delay", 15 * kMiB, 3600, 86400},
      {"old1", 15 * kMiB, 3000, 0},
      {"young", 15 * kMiB, 60, 0},
  };
  IndexImage image = Seeded(box_, seeds, now, false);
  ASSERT_TRUE(image.Save(box_.index_path()));

  ClientRun run =
      box_.RunClient({"settings", "status", "list", "0", "list", "2"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  ASSERT_EQ(12u, run.results.size()) << run.output;
  EXPECT_EQ("settings 0 1 1 " + N(50 * kMiB) + " 10 " + N(55 * kMiB) + " " + N(45 * kMiB) + " 300",
            run.results[0]);
  EXPECT_EQ("settings-file " + JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI"),
            run.results[1]);
  EXPECT_EQ(0u, run.results[2].find("log-file " + JoinPath(box_.log_dir(), "Stowmaster_")))
      << run.results[2];
  EXPECT_EQ("status 0 1 1 1 4 100000 " + N(60 * kMiB) + " " + N(now - 7200) + " " + N(now - 60) +
                " 2 " + N(30 * kMiB) + " next " + N(now - 7200) + " " + box_.Data("old0"),
            run.results[3]);
  // Most recent first; evictable when at least 5 minutes and its own delay old.
  const std::vector<int32_t> blocks = image.ValidBlocks();
  ASSERT_EQ(4u, blocks.size());
  const int evictable[] = {0, 1, 0, 1};
  for (size_t k = 0; k < 4; ++k) {
    const Seed& seed = seeds[3 - k];
    EXPECT_EQ("entry " + N(blocks[k]) + " " + N(seed.size) + " " + N(now - seed.age) + " " +
                  N(seed.delay) + " " + N(evictable[k]) + " " + box_.Data(seed.name),
              run.results[4 + k]);
  }
  EXPECT_EQ("list 0 4", run.results[8]);
  EXPECT_EQ((Lines{run.results[4], run.results[5], "list 0 2"}),
            Lines(run.results.begin() + 9, run.results.begin() + 12));
  // A caller built against the header before the limit and the marks came
  // into the status gets the figures it knows, and nothing past its size.
  // So does one built before the reconciliation's flag came.
  const size_t older = offsetof(StowmasterStatus, limit_bytes);
  const size_t before_flag = offsetof(StowmasterStatus, reconciliation_pending);
  ClientRun sized = box_.RunClient({"status-sized", N(older), "status-sized",
                                    N(sizeof(StowmasterStatus)), "status-sized", N(before_flag)},
                                   kClientTimeoutMs);
  ASSERT_EQ(3u, sized.results.size()) << sized.output;
  EXPECT_EQ("status-sized 0 " + N(before_flag) + " 1 4 " + N(50 * kMiB) + " " + N(55 * kMiB) + " " +
                N(45 * kMiB),
            sized.results[2]);
  EXPECT_EQ(0u, sized.results[0].find("status-sized 0 " + N(older) + " 1 4 ")) << sized.results[0];
  EXPECT_EQ("status-sized 0 " + N(sizeof(StowmasterStatus)) + " 1 4 " + N(50 * kMiB) + " " +
                N(55 * kMiB) + " " + N(45 * kMiB),
            sized.results[1]);
  // Watching changed nothing.
  IndexImage after = LoadIndex();
  EXPECT_EQ(image.ValidNames(), after.ValidNames());
}

// More entries than one batch of the walk: every one, in the dump's order.
TEST_F(OperationsTest, WalkMatchesTheDumpAcrossBatches) {
  const int64_t now = UnixSeconds();
  std::vector<Seed> seeds;
  std::vector<std::string> names;
  for (int i = 0; i < 700; ++i) names.push_back("e" + std::to_string(i));
  for (const std::string& name : names) seeds.push_back({name.c_str(), 10, 600, 0});
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  ASSERT_TRUE(Seeded(box_, seeds, now, false).Save(box_.index_path()));

  const std::string dump_file = JoinPath(box_.root(), "dump.txt");
  const std::string small_file = JoinPath(box_.root(), "small.txt");
  const std::string buffer_file = JoinPath(box_.root(), "buffer.txt");
  ClientRun run = box_.RunClient({"list", "0", "dump", dump_file, "dumpbuf", "100", small_file,
                                  "dumpbuf", "1000000", buffer_file},
                                 kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  Lines walked;
  for (const std::string& line : Starting(run.results, "entry")) {
    // "entry <block> <size> <registered> <delay> <evictable> <path>"
    size_t at = 6;
    const std::string block = line.substr(at, line.find(' ', at) - at);
    walked.push_back(block + " " + line.substr(line.rfind(' ') + 1));
  }
  std::string dump;
  ASSERT_TRUE(ReadFile(dump_file, &dump));
  std::string without_cr;
  for (char c : dump) {
    if (c != '\r') without_cr.push_back(c);
  }
  const std::vector<std::string> records = DumpRecords(without_cr);
  ASSERT_EQ(700u, records.size());
  EXPECT_EQ(records, walked);
  EXPECT_EQ(Lines{"list 0 700"}, Starting(run.results, "list"));
  EXPECT_EQ(Lines{"dump 0"}, Starting(run.results, "dump"));
  // The buffer: too small gives the length needed; large enough, the text.
  EXPECT_EQ((Lines{"dumpbuf 5 " + N(static_cast<int64_t>(without_cr.size())),
                   "dumpbuf 0 " + N(static_cast<int64_t>(without_cr.size()))}),
            Starting(run.results, "dumpbuf"));
  std::string buffered;
  ASSERT_TRUE(ReadFile(buffer_file, &buffered));
  EXPECT_EQ(without_cr, buffered);
}

// A check sees the index as it is: damage is reported and left alone; only
// the check with repair mends it.
TEST_F(OperationsTest, CheckReportsDamageAndOnlyRepairMendsIt) {
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  ClientRun none = box_.RunClient({"check", "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, none.exit_code) << none.output;
  EXPECT_EQ(Lines{"check 0 0 0 1 0 0 0 "}, none.results);
  EXPECT_FALSE(PathExists(box_.index_path()));

  const int64_t now = UnixSeconds();
  // The files exist. The index is written without seals, as by a release
  // that keeps none: the entry the damage cuts off from the head is still
  // proved by the links from the tail, and the repair keeps it.
  IndexImage image =
      Seeded(box_, {{"a", 1, 600, 0}, {"b", 2, 500, 0}, {"c", 3, 400, 0}}, now, true);
  const int32_t middle = image.ValidBlocks()[1];
  image.block(middle).LeftNode = 4242;  // in range, but not the block before it
  ASSERT_TRUE(image.Save(box_.index_path()));
  std::string before;
  ASSERT_TRUE(ReadFile(box_.index_path(), &before));

  ClientRun look = box_.RunClient({"check", "0", "status", "check", "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, look.exit_code) << look.output;
  ASSERT_EQ(3u, look.results.size());
  const std::string damaged = "check 4 1 1 0 0 ";
  EXPECT_EQ(0u, look.results[0].find(damaged)) << look.results[0];
  EXPECT_NE(std::string::npos, look.results[0].find("links back to 4242")) << look.results[0];
  EXPECT_EQ(look.results[0], look.results[2]) << "a check must not repair";
  EXPECT_EQ(0u, look.results[1].find("status 0 1 1 0 3 ")) << look.results[1];
  std::string after;
  ASSERT_TRUE(ReadFile(box_.index_path(), &after));
  EXPECT_TRUE(before == after) << "watching changed the index";
  EXPECT_EQ(2, CountOf(box_.ReadLogs(), "Msg:  Index check of " + box_.index_path() + ": "));

  ClientRun mend = box_.RunClient({"check", "1", "check", "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, mend.exit_code) << mend.output;
  ASSERT_EQ(2u, mend.results.size());
  EXPECT_EQ(0u, mend.results[0].find("check 4 1 1 0 1 ")) << mend.results[0];
  EXPECT_EQ("check 0 1 1 1 0 3 99997 ", mend.results[1]);
  EXPECT_TRUE(PathExists(box_.Data("b")));
  EXPECT_TRUE(ListsConsistent(LoadIndex()));

  // A file too short to be an index is damage too; a repair makes it anew.
  ASSERT_TRUE(WriteWholeFile(box_.index_path(), "short"));
  ClientRun shorter = box_.RunClient({"check", "0", "check", "1"}, kClientTimeoutMs);
  ASSERT_EQ(0, shorter.exit_code) << shorter.output;
  ASSERT_EQ(2u, shorter.results.size());
  EXPECT_EQ("check 4 1 0 0 0 0 0 the index file holds 5 bytes instead of 28801000",
            shorter.results[0]);
  EXPECT_EQ(0u, shorter.results[1].find("check 4 1 0 0 1 ")) << shorter.results[1];
  IndexImage formatted = LoadIndex();
  EXPECT_TRUE(ListsConsistent(formatted));
  EXPECT_EQ(0, formatted.header().TotalFileCount);
}

// A pass reports what it deleted and what it meant to delete but kept, as
// the files on disk show; a second pass below the high mark does nothing;
// emptying deletes the rest but what cannot be deleted.
TEST_F(OperationsTest, PassAndEmptyingReportWhatTheyDeletedAndKept) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  const int64_t now = UnixSeconds();
  // The least recently registered entry is a folder, which cannot be
  // deleted as a file: 10 MiB in the index.
  IndexImage image = Seeded(box_,
                            {{"dir", 10 * kMiB, 9000, 0},
                             {"a", 15 * kMiB, 7000, 0},
                             {"b", 15 * kMiB, 3600, 0},
                             {"c", 20 * kMiB, 60, 0}},
                            now, false);
  ASSERT_TRUE(MakeDir(box_.Data("dir")));
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(WriteFileOfSize(box_.Data(name), 15));
  ASSERT_TRUE(image.Save(box_.index_path()));

  ClientRun run = box_.RunClient({"shrink", "shrink", "empty", "status"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  // A pass lets go of the lock after a millisecond: on a slow system even
  // three deletions may take two batches, with a progress call between.
  Lines results;
  for (const std::string& line : run.results) {
    if (line.rfind("progress ", 0) == 0) continue;
    results.push_back(line.rfind("shrink ", 0) == 0 ? line.substr(0, line.rfind(' ')) : line);
  }
  EXPECT_EQ(
      (Lines{"shrink 3 2 " + N(30 * kMiB) + " 1 " + N(10 * kMiB) + " 2 " + N(30 * kMiB),
             "shrink 0 0 0 0 0 2 " + N(30 * kMiB),
             "empty 3 1 " + N(20 * kMiB) + " 1 " + N(10 * kMiB) + " 1 " + N(10 * kMiB) + " 0",
             // Below the high mark nothing would be deleted; the folder,
             // refused a moment ago, is not tried again yet: nothing is next.
             "status 0 1 1 1 1 100000 " + N(10 * kMiB) + " " + N(now - 9000) + " " + N(now - 9000) +
                 " 0 0 next 0 "}),
      results);
  EXPECT_FALSE(PathExists(box_.Data("a")));
  EXPECT_FALSE(PathExists(box_.Data("b")));
  EXPECT_FALSE(PathExists(box_.Data("c")));
  EXPECT_TRUE(IsDir(box_.Data("dir")));
  IndexImage left = LoadIndex();
  ASSERT_TRUE(ListsConsistent(left));
  EXPECT_EQ(std::vector<std::string>{box_.Data("dir")}, left.ValidNames());
  const std::string log = box_.ReadLogs();
  if (IsSuperUser()) {
    // A privileged client does not even try: the folder is no regular file.
    EXPECT_EQ(2, CountOf(log, "Msg:  Delete File Refused (outside the cache folders): " +
                                  box_.Data("dir") + ".\n"))
        << log;
    return;
  }
  // Each refusal is followed by the call, the path and the system's text.
  const std::string refused = "Msg:  Delete File Error(" + std::to_string(kDirectoryError) +
                              "): " + box_.Data("dir") + ".\n";
  EXPECT_EQ(2, CountOf(log, refused)) << log;
  const std::string detail = "Msg:  " + std::string(kDeleteCall) + " " + box_.Data("dir") + ": ";
  const size_t at = log.find(refused);
  ASSERT_NE(std::string::npos, at);
  const size_t next = log.find("Msg:  ", at + refused.size());
  ASSERT_NE(std::string::npos, next);
  EXPECT_EQ(log.substr(next, detail.size()), detail) << log;
  EXPECT_EQ(2, CountOf(log, detail)) << log;
}

// Emptying many files goes in batches of 100 removals; between them the
// progress callback runs without the index lock (it reads the status, which
// takes it). An entry that cannot be deleted is tried once, not once per
// batch.
TEST_F(OperationsTest, EmptyingReportsProgressBetweenBatches) {
  const int64_t now = UnixSeconds();
  std::vector<std::string> names;
  for (int i = 0; i < 250; ++i) names.push_back("p" + std::to_string(i));
  std::vector<Seed> seeds;
  for (const std::string& name : names) seeds.push_back({name.c_str(), 1, 600, 0});
  seeds.push_back({"dir", 7, 600, 0});  // the most recent: the first one tried
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  IndexImage image = Seeded(box_, seeds, now, false);
  ASSERT_TRUE(image.Save(box_.index_path()));
  ASSERT_TRUE(MakeDir(box_.Data("dir")));
  for (const std::string& name : names) ASSERT_TRUE(WriteWholeFile(box_.Data(name), "x"));

  ClientRun run = box_.RunClient({"empty"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"progress 99 152", "progress 199 52", "empty 3 250 250 1 7 1 7 2"}),
            run.results);
  for (const std::string& name : names) EXPECT_FALSE(PathExists(box_.Data(name))) << name;
  // Refused once, as an error of the system or, in a privileged client,
  // before the system is asked.
  EXPECT_EQ(
      1, CountOf(box_.ReadLogs(), IsSuperUser() ? "Delete File Refused (" : "Delete File Error("))
      << box_.ReadLogs();
}

}  // namespace
}  // namespace stow::testing_support
