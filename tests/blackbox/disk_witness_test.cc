// The disk as a second witness of the index, through a client process of the
// built library: the check of the listed files (with and without repair,
// and against a client that registers again between the look and the
// repair), the usage of the cache folders by identity, and the adoption of
// unlisted files.
#include <string>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

using DiskWitnessTest = BlackBoxTest;

std::string N(int64_t v) { return std::to_string(static_cast<long long>(v)); }

// The result lines that start with `prefix` + " ".
Lines Starting(const Lines& lines, const std::string& prefix) {
  Lines out;
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size() + 1, prefix + " ") == 0) out.push_back(line);
  }
  return out;
}

constexpr int kMissing = 1;
constexpr int kNotRegular = 2;
constexpr int kSizeDiffers = 3;
constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

// Each kind of disagreement, and agreements the check must not report: a
// file of 4 GiB or more is counted as 4 GiB - 1, as a registration counts
// it.
struct FileCase {
  const char* name;
  uint32_t listed;
  enum Disk { kNothing, kFolder, kFile } disk;
  uint64_t disk_size;
  int problem;  // 0: none
  uint32_t disk_as_listed;
};
const FileCase kFileCases[] = {
    {"gone", 100, FileCase::kNothing, 0, kMissing, 0},
    {"folder", 100, FileCase::kFolder, 0, kNotRegular, 0},
    {"grown", 100, FileCase::kFile, 250, kSizeDiffers, 250},
    {"shrunk", 300, FileCase::kFile, 20, kSizeDiffers, 20},
    {"same", 100, FileCase::kFile, 100, 0, 100},
    {"huge", 0xFFFFFFFFu, FileCase::kFile, 5 * kGiB, 0, 0xFFFFFFFFu},
    {"huge_listed_small", 7, FileCase::kFile, 4 * kGiB, kSizeDiffers, 0xFFFFFFFFu},
};

TEST_F(DiskWitnessTest, FilesCheckReportsEachProblemAndRepairsOnlyWhenAsked) {
  // No index: nothing checked, and none made.
  ClientRun none = box_.RunClient({"check-files", "1", "-"}, kClientTimeoutMs);
  ASSERT_EQ(0, none.exit_code) << none.output;
  EXPECT_EQ((Lines{"check-files 0 0 0 0 0 0 0 0"}), none.results);
  EXPECT_FALSE(PathExists(box_.index_path()));

  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const int64_t now = UnixSeconds();
  IndexImage image = IndexImage::Formatted();
  std::vector<int32_t> blocks;
  for (const FileCase& c : kFileCases) {
    const std::string path = box_.Data(c.name);
    if (c.disk == FileCase::kFolder) {
      ASSERT_TRUE(MakeDir(path));
    } else if (c.disk == FileCase::kFile) {
      ASSERT_TRUE(WriteFileOfSize(path, c.disk_size)) << c.name;
    }
    blocks.push_back(image.AddEntry(path, c.listed, static_cast<int32_t>(now - 600), 0));
  }
  ASSERT_TRUE(image.Save(box_.index_path()));

  ClientRun run = box_.RunClient({"check-files", "0", "-", "check-files", "1", "-", "check-files",
                                  "0", "-"},
                                 kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  // Reported in list order, the most recent first; the first check repairs
  // nothing, the second everything, the third finds nothing left.
  Lines expected_problems[2];
  int64_t dropped = 0, change = 0, kept_bytes = 0;
  std::vector<std::string> kept;
  for (size_t k = std::size(kFileCases); k-- > 0;) {
    const FileCase& c = kFileCases[k];
    const std::string path = box_.Data(c.name);
    if (c.problem == kMissing || c.problem == kNotRegular) {
      dropped += c.listed;
    } else {
      change += static_cast<int64_t>(c.disk_as_listed) - c.listed;
      kept.push_back(path);
      kept_bytes += c.disk_as_listed;
    }
    if (c.problem == 0) continue;
    for (int repaired = 0; repaired < 2; ++repaired) {
      expected_problems[repaired].push_back("problem " + N(blocks[k]) + " " + N(c.problem) + " " +
                                            N(repaired) + " " + N(c.listed) + " " +
                                            N(c.disk_as_listed) + " " + path);
    }
  }
  Lines expected = expected_problems[0];
  expected.push_back("check-files 7 7 1 1 3 0 0 0");
  expected.insert(expected.end(), expected_problems[1].begin(), expected_problems[1].end());
  expected.push_back("check-files 7 7 1 1 3 5 " + N(dropped) + " " + N(change));
  expected.push_back("check-files 0 5 0 0 0 0 0 0");
  EXPECT_EQ(expected, run.results);

  IndexImage after = LoadIndex();
  EXPECT_TRUE(ListsConsistent(after));
  EXPECT_EQ(kept, after.ValidNames());
  EXPECT_EQ(kept_bytes, after.header().CacheSize);
  const std::string logs = box_.ReadLogs();
  EXPECT_EQ(1, CountOf(logs, "Entry dropped, its file is missing: " + box_.Data("gone") + ".\n"));
  EXPECT_EQ(1, CountOf(logs, "Entry dropped, not a regular file: " + box_.Data("folder") + ".\n"));
  EXPECT_EQ(1, CountOf(logs, "Entry size updated from 100 to 250 bytes: " + box_.Data("grown")));
}

// The repair goes batch by batch, reporting each batch before the next is
// repaired; a client that registers two files again meanwhile (one grown,
// one made anew) leaves blocks that no longer hold what was looked at: the
// repair must leave them alone.
TEST_F(DiskWitnessTest, RepairLeavesEntriesRegisteredAgainSinceTheLook) {
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const int64_t now = UnixSeconds();
  IndexImage image = IndexImage::Formatted();
  const std::string grown = box_.Data("grown");
  const std::string gone = box_.Data("gone");
  ASSERT_TRUE(WriteFileOfSize(grown, 250));
  // Least recently registered, so reported (and repaired) last.
  image.AddEntry(grown, 100, static_cast<int32_t>(now - 900), 0);
  image.AddEntry(gone, 100, static_cast<int32_t>(now - 900), 0);
  for (int i = 0; i < 300; ++i) {
    image.AddEntry(box_.Data("m" + N(i)), 10, static_cast<int32_t>(now - 600), 0);
  }
  ASSERT_TRUE(image.Save(box_.index_path()));

  ClientRun run =
      box_.RunClient({"init", "0", "check-files", "1", grown + ";" + gone}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"touched 1", "touched 1"}), Starting(run.results, "touched"));
  const Lines problems = Starting(run.results, "problem");
  ASSERT_EQ(302u, problems.size()) << run.output;
  EXPECT_EQ("problem 0 3 0 100 250 " + grown, problems[301]);
  EXPECT_EQ("problem 1 1 0 100 0 " + gone, problems[300]);
  EXPECT_EQ((Lines{"check-files 7 302 301 0 1 300 3000 0"}), Starting(run.results, "check-files"));

  IndexImage after = LoadIndex();
  EXPECT_TRUE(ListsConsistent(after));
  EXPECT_EQ((std::vector<std::string>{gone, grown}), after.ValidNames());
  EXPECT_EQ(777u, after.block(0).FileSize);
  EXPECT_EQ(777u, after.block(1).FileSize);
  EXPECT_EQ(2 * 777, after.header().CacheSize);
}

// Between the look and the repair a client registers two files again in the
// second and at the size the look copied: one deleted and written anew (the
// look saw it missing), one rewritten in place (the look saw it half
// written). Only the change stamp read with the copy tells such a
// registration; the repair must leave both entries as it left them. The
// second is set ahead of the run, later when the client did not reach it
// in time.
TEST_F(DiskWitnessTest, RepairLeavesEntriesRegisteredAgainInTheSameSecondAtTheSameSize) {
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const std::string gone = box_.Data("gone");
  const std::string half = box_.Data("half");
  for (int64_t ahead = 2;; ahead *= 2) {
    ASSERT_LE(ahead, 16) << "the client never registered in the second asked for";
    const int64_t now = UnixSeconds();
    const int32_t second = static_cast<int32_t>(now + ahead);
    IndexImage image = IndexImage::Formatted();
    // Least recently registered: in the second batch of the repair.
    image.AddEntry(gone, 100, second, 0);
    image.AddEntry(half, 100, second, 0);
    for (int i = 0; i < 300; ++i) {
      image.AddEntry(box_.Data("m" + N(i)), 10, static_cast<int32_t>(now - 600), 0);
    }
    ASSERT_TRUE(image.Save(box_.index_path()));
    RemoveTree(gone);
    ASSERT_TRUE(WriteFileOfSize(half, 40));
    const std::string touch = gone + "@100@" + N(second) + ";" + half + "@100@" + N(second);
    ClientRun run = box_.RunClient({"init", "0", "check-files", "1", touch}, kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;
    const std::string in_time = "touched 1 " + N(second) + " " + N(second);
    if (Starting(run.results, "touched") != Lines{in_time, in_time}) continue;

    const Lines problems = Starting(run.results, "problem");
    ASSERT_EQ(302u, problems.size()) << run.output;
    EXPECT_EQ("problem 0 1 0 100 0 " + gone, problems[301]);
    EXPECT_EQ("problem 1 3 0 100 40 " + half, problems[300]);
    EXPECT_EQ((Lines{"check-files 7 302 301 0 1 300 3000 0"}),
              Starting(run.results, "check-files"));
    IndexImage after = LoadIndex();
    EXPECT_TRUE(ListsConsistent(after));
    EXPECT_EQ((std::vector<std::string>{half, gone}), after.ValidNames());
    EXPECT_EQ(100u, after.block(0).FileSize);
    EXPECT_EQ(100u, after.block(1).FileSize);
    EXPECT_EQ(200, after.header().CacheSize);
    break;
  }
}

// Blocks freed meanwhile (a client emptied the cache) keep their path, size
// and time on the free list: the repair must see that they are no longer
// listed, and leave the lists whole.
TEST_F(DiskWitnessTest, RepairLeavesEntriesFreedSinceTheLook) {
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const int64_t now = UnixSeconds();
  IndexImage image = IndexImage::Formatted();
  for (int i = 0; i < 300; ++i) {
    image.AddEntry(box_.Data("m" + N(i)), 10, static_cast<int32_t>(now - 600), 0);
  }
  ASSERT_TRUE(image.Save(box_.index_path()));

  ClientRun run = box_.RunClient({"init", "0", "check-files", "1", "!empty"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  const Lines problems = Starting(run.results, "problem");
  ASSERT_EQ(300u, problems.size()) << run.output;
  EXPECT_EQ("problem 299 1 1 10 0 " + box_.Data("m299"), problems[0]);
  EXPECT_EQ("problem 43 1 0 10 0 " + box_.Data("m43"), problems[256]);
  EXPECT_EQ((Lines{"check-files 7 300 300 0 0 256 2560 0"}), Starting(run.results, "check-files"));
  IndexImage after = LoadIndex();
  EXPECT_TRUE(ListsConsistent(after));
  EXPECT_EQ(0, after.header().TotalFileCount);
  EXPECT_EQ(kBlockCount, after.FreeCount());
}

// Usage counts each file once by identity, and the listed ones by identity
// too: another spelling of a listed path, a hard link to a listed file. The
// library's own files are never unlisted; links are not followed.
TEST_F(DiskWitnessTest, UsageCountsFilesByIdentity) {
  const std::string cache = box_.cache_dir();
  const std::string sub = JoinPath(cache, "sub");
  const std::string data = box_.data_dir();
  SandboxSettings settings;
  // Nested and repeated folders are walked once; the log lies in the cache.
  settings.file_folders = data + ";" + sub + ";" + data;
  settings.log_dir = cache;
  ASSERT_TRUE(box_.WriteSettings(settings));
  ASSERT_TRUE(MakeDir(cache));
  ASSERT_TRUE(MakeDir(sub));

  IndexImage image = IndexImage::Formatted();
  const int32_t t = static_cast<int32_t>(UnixSeconds());
  ASSERT_TRUE(WriteFileOfSize(JoinPath(sub, "listed_a"), 100));
  image.AddEntry(JoinPath(JoinPath(JoinPath(sub, ".."), "sub"), "listed_a"), 100, t, 0);
  ASSERT_TRUE(WriteFileOfSize(JoinPath(data, "b"), 200));
  image.AddEntry(JoinPath(data, "b"), 200, t, 0);
  std::error_code ec;
  fs::create_hard_link(FsPath(JoinPath(data, "b")), FsPath(JoinPath(cache, "b_link")), ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_TRUE(image.Save(box_.index_path()));
  ASSERT_TRUE(WriteFileOfSize(JoinPath(cache, "Index.Dmp"), 10));
  ASSERT_TRUE(WriteFileOfSize(JoinPath(cache, "Stowmaster_20000101.LOG"), 5));
  ASSERT_TRUE(WriteFileOfSize(JoinPath(data, "unlisted1"), 300));
  ASSERT_TRUE(WriteFileOfSize(JoinPath(sub, "unlisted2"), 400));
#ifndef _WIN32
  // Under Wine a Unix link looks like the file or folder it leads to.
  const std::string outside = box_.root() + "/outside";
  ASSERT_TRUE(MakeDir(outside));
  ASSERT_TRUE(WriteFileOfSize(outside + "/big", 5000));
  ASSERT_TRUE(MakeSymlink(cache, JoinPath(sub, "loop")));
  ASSERT_TRUE(MakeSymlink(outside, JoinPath(cache, "out")));
  ASSERT_TRUE(MakeSymlink(outside + "/big", JoinPath(data, "out_file")));
#endif

  ClientRun run = box_.RunClient({"usage"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  // The index and the head of its lookup table file that the image left.
  const int64_t table =
      static_cast<int64_t>(ReadWholeFile(IndexImage::LookupPathBeside(box_.index_path())).size());
  const int64_t bytes =
      static_cast<int64_t>(kIndexFileSize) + table + 10 + 5 + 100 + 200 + 300 + 400;
  EXPECT_EQ((Lines{"usage 0 2 8 " + N(bytes) + " 2 700"}), run.results);
}

// Anyone who may write in a cache folder can make it deep: the walk stops at
// its bound of levels, and says so once.
TEST_F(DiskWitnessTest, UsageWalkIsBoundedInDepth) {
  std::string deep = box_.data_dir();
  for (int level = 1; level <= 70; ++level) {
    deep = JoinPath(deep, "d");
    ASSERT_TRUE(MakeDir(deep));
    if (level == 10 || level == 70) {
      ASSERT_TRUE(WriteFileOfSize(JoinPath(deep, "f"), level));
    }
  }
  ClientRun run = box_.RunClient({"usage"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  // No cache folder yet: only the data folder, and only what lies above the
  // bound.
  EXPECT_EQ((Lines{"usage 0 1 1 10 1 10"}), run.results);
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), "Disk usage: the walk stopped at 64 folder levels"));
}

TEST_F(DiskWitnessTest, AdoptRegistersUnlistedFilesOldestFirst) {
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const std::string data = box_.data_dir();
  const int64_t now = UnixSeconds();
  IndexImage image = IndexImage::Formatted();
  // Listed by another spelling: found, not adopted.
  ASSERT_TRUE(WriteFileOfSize(JoinPath(data, "listed"), 1));
  const std::string listed = JoinPath(JoinPath(JoinPath(data, "sub"), ".."), "listed");
  image.AddEntry(listed, 1, static_cast<int32_t>(now - 60), 0);
  ASSERT_TRUE(image.Save(box_.index_path()));
  ASSERT_TRUE(MakeDir(JoinPath(data, "sub")));
  struct Aged {
    std::string path;
    int64_t size;
    int age;
  };
  const std::vector<Aged> files = {
      {JoinPath(data, "new"), 30, 1000},
      {JoinPath(JoinPath(data, "sub"), "mid"), 20, 2000},
      {JoinPath(data, "newest"), 40, 10},
      {JoinPath(data, "old"), 10, 3000},
  };
  for (const Aged& f : files) {
    ASSERT_TRUE(WriteFileOfSize(f.path, f.size));
    fs::last_write_time(FsPath(f.path),
                        fs::last_write_time(FsPath(f.path)) - std::chrono::seconds(f.age));
  }
  const std::string log = box_.log_dir();
  ClientRun run = box_.RunClient({"adopt", data, "60", "adopt", box_.cache_dir(), "0", "adopt",
                                  log, "0", "adopt", JoinPath(JoinPath(data, ".."), "log"), "0"},
                                 kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"adopt 0 5 1 4 0 100 0", "adopt 0 0 0 0 0 0 0", "adopt 2 0 0 0 0 0 0",
                   "adopt 2 0 0 0 0 0 0"}),
            run.results);

  IndexImage after = LoadIndex();
  EXPECT_TRUE(ListsConsistent(after));
  // The newest registration, the newest file, at the head.
  EXPECT_EQ((std::vector<std::string>{files[2].path, files[0].path, files[1].path, files[3].path,
                                      listed}),
            after.ValidNames());
  EXPECT_EQ(101, after.header().CacheSize);
  EXPECT_EQ(60, after.block(after.ValidBlocks()[0]).Delay);
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), "New File To Cache: " + files[3].path + ".\n"));
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), log + " does not lie within the cache folders"));
}

// Files are registered in batches, with what was done so far reported
// between them.
TEST_F(DiskWitnessTest, AdoptReportsProgressBetweenBatches) {
  const std::string many = box_.Data("many");
  ASSERT_TRUE(MakeDir(many));
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(WriteFileOfSize(JoinPath(many, "f" + N(i)), 2));
  ClientRun run = box_.RunClient({"adopt", many, "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"adopt-progress 256 0", "adopt 0 300 0 300 0 600 1"}), run.results);
  EXPECT_EQ(300u, LoadIndex().ValidNames().size());
}

// A link below a cache folder leads outside it: neither the folder it names
// nor what a walk meets below is adopted. A path too long for the index
// counts as a failure.
TEST_F(DiskWitnessTest, AdoptFollowsNoLinkAndCountsPathsTooLong) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: under Wine a Unix link looks like what it leads to, and a path "
                  "of 260 bytes or more cannot be walked";
#else
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const std::string data = box_.data_dir();
  const std::string outside = box_.root() + "/outside";
  ASSERT_TRUE(MakeDir(outside));
  ASSERT_TRUE(WriteFileOfSize(outside + "/x", 5));
  ASSERT_TRUE(MakeSymlink(outside, data + "/out"));
  ASSERT_TRUE(MakeSymlink(data, data + "/loop"));
  std::string deep = data + "/deep";
  ASSERT_TRUE(MakeDir(deep));
  while (deep.size() < 260) {
    deep += "/" + std::string(40, 'd');
    ASSERT_TRUE(MakeDir(deep));
  }
  ASSERT_TRUE(WriteFileOfSize(deep + "/f", 3));
  ASSERT_TRUE(WriteFileOfSize(data + "/ok", 4));

  ClientRun run =
      box_.RunClient({"adopt", data + "/out", "0", "adopt", data, "0"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"adopt 2 0 0 0 0 0 0", "adopt 3 2 0 1 1 4 0"}), run.results);
  IndexImage after = LoadIndex();
  EXPECT_EQ((std::vector<std::string>{data + "/ok"}), after.ValidNames());
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), "Path too long to register, not adopted: "));
#endif
}

}  // namespace
}  // namespace stow::testing_support
