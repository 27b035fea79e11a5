// StowmasterShrinkWith through a client process of the built library: the
// dry run against the status and the index on disk, the pass by age against
// the files on disk, refused files, `each` stopping a pass; and the reasons
// a registration gives when it fails.
#include <algorithm>
#include <string>
#include <vector>

#include "blackbox_fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace stow::testing_support {
namespace {

using ShrinkOptionsTest = BlackBoxTest;

constexpr int64_t kMiB = 1024 * 1024;

struct Seed {
  const char* name;
  int64_t size;
  int age;        // seconds since registration
  int64_t delay;  // the file's own minimum age
};

std::string N(int64_t v) { return std::to_string(static_cast<long long>(v)); }

// Registers `seeds` (least recently registered first) in a fresh index
// image, each as a file of its size on disk.
IndexImage Seeded(const Sandbox& box, const std::vector<Seed>& seeds, int64_t now) {
  IndexImage image = IndexImage::Formatted();
  for (const Seed& seed : seeds) {
    EXPECT_TRUE(WriteFileOfSize(box.Data(seed.name), seed.size)) << seed.name;
    EXPECT_NE(-1, image.AddEntry(box.Data(seed.name), static_cast<uint32_t>(seed.size),
                                 static_cast<int32_t>(now - seed.age), seed.delay));
  }
  return image;
}

// The lines of `lines` that start with `prefix` + " ".
Lines Starting(const Lines& lines, const std::string& prefix) {
  Lines out;
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size() + 1, prefix + " ") == 0) out.push_back(line);
  }
  return out;
}

// The "each" lines of the entries `names`, in order.
Lines EachOf(const Sandbox& box, const std::vector<Seed>& seeds,
             const std::vector<std::string>& names) {
  Lines out;
  for (const std::string& name : names) {
    for (const Seed& seed : seeds) {
      if (name == seed.name) out.push_back("each " + N(seed.size) + " " + box.Data(name));
    }
  }
  return out;
}

// 50 MiB limit, 10 % precision: high mark 55 MiB, low mark 45 MiB; a
// 5-minute minimum age.
const std::vector<Seed> kOverHighMark = {
    {"old0", 15 * kMiB, 7200, 0},
    {"own_delay", 15 * kMiB, 7000, 86400},
    {"old1", 15 * kMiB, 3000, 0},
    {"old2", 15 * kMiB, 2000, 0},
};
const std::vector<Seed> kBelowHighMark = {
    {"old0", 1 * kMiB, 7200, 0},
    {"own_delay", 2 * kMiB, 7000, 86400},
    {"mid", 3 * kMiB, 1000, 0},
    {"young", 4 * kMiB, 60, 0},
};

// The dry run tells, in the pass's order, what a pass would delete now and
// leaves the index as it was; the pass itself then deletes just that. By
// age, the marks do not count but each file's own minimum age does.
TEST_F(ShrinkOptionsTest, DryRunAndPassByAgeDeleteWhatTheRulesSay) {
  struct Case {
    const char* what;
    const std::vector<Seed>* seeds;
    int64_t older_than;
    std::vector<std::string> deleted;  // in the order of the pass
  };
  const std::vector<Case> cases = {
      // Down to exactly the low mark after old0 (so it goes on), own_delay
      // passed over, old1 deleted, then below the low mark: old2 stays.
      {"above the high mark", &kOverHighMark, 0, {"old0", "old1"}},
      {"below the high mark", &kBelowHighMark, 0, {}},
      {"by age, below the high mark", &kBelowHighMark, 3600, {"old0"}},
      {"by age, younger", &kBelowHighMark, 600, {"old0", "mid"}},
      {"by age, above the high mark", &kOverHighMark, 300, {"old0", "old1", "old2"}},
  };
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Seed>& seeds = *c.seeds;
    const int64_t now = UnixSeconds();
    ASSERT_TRUE(Seeded(box_, seeds, now).Save(box_.index_path()));
    const std::string before = ReadWholeFile(box_.index_path());
    int64_t total = 0;
    int64_t deleted_bytes = 0;
    for (const Seed& seed : seeds) total += seed.size;
    const Lines each = EachOf(box_, seeds, c.deleted);
    for (const std::string& line : each) deleted_bytes += std::stoll(line.substr(5));
    const std::string result = " 0 " + N(c.deleted.size()) + " " + N(deleted_bytes) + " 0 0 " +
                               N(seeds.size() - c.deleted.size()) + " " + N(total - deleted_bytes);

    ClientRun dry =
        box_.RunClient({"shrinkwith", "1", N(c.older_than), "0", "status"}, kClientTimeoutMs);
    ASSERT_EQ(0, dry.exit_code) << dry.output;
    EXPECT_EQ(each, Starting(dry.results, "each"));
    EXPECT_EQ(Lines{"shrinkwith" + result}, Starting(dry.results, "shrinkwith"));
    // The status's evictable figures are the ordinary pass's dry run.
    const Lines status = Starting(dry.results, "status");
    ASSERT_EQ(1u, status.size());
    if (c.older_than == 0) {
      EXPECT_NE(std::string::npos,
                status[0].find(" " + N(c.deleted.size()) + " " + N(deleted_bytes) + " next "))
          << status[0];
    }
    EXPECT_EQ(before, ReadWholeFile(box_.index_path()));
    for (const Seed& seed : seeds) EXPECT_TRUE(PathExists(box_.Data(seed.name))) << seed.name;

    ClientRun pass = box_.RunClient({"shrinkwith", "0", N(c.older_than), "0"}, kClientTimeoutMs);
    ASSERT_EQ(0, pass.exit_code) << pass.output;
    EXPECT_EQ(each, Starting(pass.results, "each"));
    EXPECT_EQ(Lines{"shrinkwith" + result}, Starting(pass.results, "shrinkwith"));
    for (const Seed& seed : seeds) {
      const bool gone = std::find(c.deleted.begin(), c.deleted.end(), seed.name) != c.deleted.end();
      EXPECT_EQ(gone, !PathExists(box_.Data(seed.name))) << seed.name;
    }
    EXPECT_TRUE(ListsConsistent(LoadIndex()));
  }
  // Below the configured minimum age (5 minutes) the pass by age is refused,
  // dry run or not, and says why.
  for (const char* dry_run : {"0", "1"}) {
    ClientRun run =
        box_.RunClient({"shrinkwith", dry_run, "299", "0", "lasterror"}, kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;
    EXPECT_EQ((Lines{"shrinkwith 2 0 0 0 0 0 0",
                     "lasterror StowmasterShrinkWith: older than 299 seconds is less than the "
                     "minimum age of every cached file (\"Delay\", 300 seconds)"}),
              run.results);
  }
  // A valid list that breaks off is damage: the dry run says so, and what
  // it told before stands.
  IndexImage damaged = Seeded(box_, kOverHighMark, UnixSeconds());
  const std::vector<int32_t> blocks = damaged.ValidBlocks();
  damaged.block(blocks[2]).LeftNode = kBlockCount + 5;  // own_delay, after old0
  ASSERT_TRUE(damaged.Save(box_.index_path()));
  ClientRun run = box_.RunClient({"shrinkwith", "1", "0", "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ(4, std::stoi(Starting(run.results, "shrinkwith").at(0).substr(11))) << run.results[0];
  EXPECT_EQ(EachOf(box_, kOverHighMark, {"old0"}), Starting(run.results, "each"));
}

// A file whose deletion was refused is counted as kept by the dry run and
// not tried again by an ordinary pass within its back-off; the pass by age
// tries it again at once.
TEST_F(ShrinkOptionsTest, RefusedFilesAreKeptWithinTheirBackOffButRetriedByAge) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  const int64_t now = UnixSeconds();
  // A folder cannot be deleted as a file; the young file keeps the cache
  // above its high mark.
  ASSERT_TRUE(WriteFileOfSize(box_.Data("young"), 50));
  const std::string dir = box_.Data("dir");
  ASSERT_TRUE(MakeDir(dir));
  IndexImage seeded = IndexImage::Formatted();
  ASSERT_NE(-1, seeded.AddEntry(dir, 10 * kMiB, static_cast<int32_t>(now - 9000), 0));
  ASSERT_NE(-1, seeded.AddEntry(box_.Data("young"), 50 * kMiB, static_cast<int32_t>(now - 60), 0));
  ASSERT_TRUE(seeded.Save(box_.index_path()));
  const std::string refusal = "): " + dir + ".\n";  // either way a pass is refused

  ClientRun first = box_.RunClient({"shrink"}, kClientTimeoutMs);
  ASSERT_EQ(0, first.exit_code) << first.output;
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), refusal)) << box_.ReadLogs();
  const std::string index = ReadWholeFile(box_.index_path());
  const std::string table = ReadWholeFile(JoinPath(box_.cache_dir(), "Index.Lkp"));
  ASSERT_FALSE(table.empty());

  ClientRun dry = box_.RunClient({"shrinkwith", "1", "0", "0", "status"}, kClientTimeoutMs);
  ASSERT_EQ(0, dry.exit_code) << dry.output;
  EXPECT_EQ((Lines{"shrinkwith 0 0 0 1 " + N(10 * kMiB) + " 2 " + N(60 * kMiB)}),
            Starting(dry.results, "shrinkwith"));
  EXPECT_TRUE(Starting(dry.results, "each").empty());
  ASSERT_EQ(1u, Starting(dry.results, "status").size());
  EXPECT_NE(std::string::npos, Starting(dry.results, "status")[0].find(" 0 0 next 0 "))
      << dry.results[1];
  // Nothing changed: no note, no bounds, no entry.
  EXPECT_EQ(index, ReadWholeFile(box_.index_path()));
  EXPECT_EQ(table, ReadWholeFile(JoinPath(box_.cache_dir(), "Index.Lkp")));

  ClientRun again = box_.RunClient(
      {"shrink", "shrinkwith", "0", "600", "0", "shrinkwith", "1", "600", "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, again.exit_code) << again.output;
  // The ordinary pass kept it untried (and says so, as the dry run did), the
  // pass by age tried it again (and was refused again), and the dry run by
  // age would try it too.
  EXPECT_EQ(2, CountOf(box_.ReadLogs(), refusal)) << box_.ReadLogs();
  EXPECT_EQ((Lines{"shrink 3 0 0 1 " + N(10 * kMiB) + " 2 " + N(60 * kMiB) + " 0"}),
            Starting(again.results, "shrink"));
  EXPECT_EQ((Lines{"shrinkwith 3 0 0 1 " + N(10 * kMiB) + " 2 " + N(60 * kMiB),
                   "shrinkwith 0 1 " + N(10 * kMiB) + " 0 0 1 " + N(50 * kMiB)}),
            Starting(again.results, "shrinkwith"));
  EXPECT_EQ((Lines{"each " + N(10 * kMiB) + " " + dir}), Starting(again.results, "each"));
  EXPECT_EQ(1, CountOf(box_.ReadLogs(),
                       "Msg:  Eviction pass on request of files older than 600 seconds: 0 files "
                       "deleted (0 bytes), 1 kept.\n"))
      << box_.ReadLogs();
  EXPECT_TRUE(IsDir(dir));
}

// `each` returning 0 ends the pass after the batch in hand: what was
// deleted was told up to there, and the rest stays listed and on disk.
TEST_F(ShrinkOptionsTest, EachEndsThePassAfterTheBatchInHand) {
  ASSERT_NO_FATAL_FAILURE(UseSmallCache());
  const int64_t now = UnixSeconds();
  constexpr int kFiles = 400;  // more than a batch of removals
  IndexImage image = IndexImage::Formatted();
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = box_.Data("f" + std::to_string(i));
    ASSERT_TRUE(WriteFileOfSize(path, 10));
    ASSERT_NE(-1, image.AddEntry(path, 10, static_cast<int32_t>(now - 7200 + i), 0));
  }
  ASSERT_TRUE(image.Save(box_.index_path()));
  ClientRun run = box_.RunClient({"shrinkwith", "0", "3600", "1"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"each 10 " + box_.Data("f0")}), Starting(run.results, "each"));
  const Lines result = Starting(run.results, "shrinkwith");
  ASSERT_EQ(1u, result.size());
  int deleted = 0;
  for (int i = 0; i < kFiles; ++i)
    deleted += PathExists(box_.Data("f" + std::to_string(i))) ? 0 : 1;
  EXPECT_GE(deleted, 1);
  EXPECT_LT(deleted, kFiles);
  EXPECT_EQ("shrinkwith 0 " + N(deleted) + " " + N(10 * deleted) + " 0 0 " + N(kFiles - deleted) +
                " " + N(10 * (kFiles - deleted)),
            result[0]);
  EXPECT_EQ(static_cast<size_t>(kFiles - deleted), LoadIndex().ValidBlocks().size());
}

// A registration that fails says why, and a path too long for the index
// is named in the log.
TEST_F(ShrinkOptionsTest, FailedRegistrationsSayWhy) {
  const std::string folder = box_.Data("folder");
  ASSERT_TRUE(MakeDir(folder));
  // The data folder, a separator and a name: 260 bytes in all.
  const std::string prefix = box_.Data("");
  ASSERT_LT(prefix.size(), 250u);
  const std::string long_path = prefix + std::string(260 - prefix.size(), 'n');
  ASSERT_EQ(260u, long_path.size());
  struct Case {
    std::string path;
    std::string reason;
  };
  std::vector<Case> cases = {
      {folder, "not a regular file"},
      {long_path, "path longer than 259 bytes"},
  };
#ifndef _WIN32
  const std::string fifo = box_.Data("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0666));
  cases.push_back({fifo, "not a regular file"});
#endif
  std::vector<std::string> commands = {"init", "0"};
  Lines expected = {"init 1"};
  for (const Case& c : cases) {
    commands.insert(commands.end(), {"add", c.path, "0", "lasterror"});
    expected.insert(expected.end(), {"add 0", "lasterror " + c.reason});
  }
  commands.push_back("uninit");
  expected.push_back("uninit");
  ClientRun run = box_.RunClient(commands, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ(expected, run.results);
  const std::string log = box_.ReadLogs();
  EXPECT_EQ(1,
            CountOf(log, "Msg:  Path longer than 259 bytes, not registered: " + long_path + ".\n"))
      << log;
}

}  // namespace
}  // namespace stow::testing_support
