// The lookup table against a model of the list, with a second holder that
// keeps no table (as a process of another version) and with each kind of
// damage another user can do to its file, and the eviction pass that lets
// go of the lock between batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "colliding_paths.h"
#include "fault_env.h"
#include "index/block_seal.h"
#include "index/hash.h"
#include "index/list_check.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::IndexNow;
using testing_support::kMiB;
using testing_support::MakeRecord;
using testing_support::ValidPaths;

// What any local user (or a power cut) can do to the lookup table file
// between two registrations. Each kind is seen: the table is rebuilt before
// it answers, and no path is ever listed twice.
enum class Damage {
  kNone,
  kCutAtOpen,          // cut short while no holder runs; grown back by the next open
  kCutAndRegrown,      // cut short and grown back with zeros while no holder runs
  kClearedSlots,       // slots around a listed path's home set to zero
  kRandomSlots,        // the same slots set to random bytes
  kZeroedPage,         // the 4 KiB slot page of a listed path's home zeroed
  kClearedEntryLine,   // the slots of the line that holds a path's entry cleared
  kForgedFreeBlock,    // a path's entry names a free block that still holds it
  kForgedListedBlock,  // a listed path's entry names another listed block
};

struct DamageCase {
  const char* what;
  Damage damage;
};

class LookupTableTest : public testing_support::IndexTest {
 protected:
  std::string TablePath() const { return cache_dir_ + platform::kSeparator + kLookupFileName; }

  struct Slot {
    uint32_t hash;
    uint32_t entry;  // block + 1, 0: empty
  };
  static uint32_t Home(const std::string& path) {
    return LookupTable::HomeOf(Fnv1a(path.data(), path.size()));
  }
  // Reads or writes `count` slots from slot `first` through the file, as
  // another user would (the lines' checks left alone).
  std::vector<Slot> ReadSlots(uint32_t first, uint32_t count) {
    std::vector<Slot> slots(count);
    std::FILE* f = std::fopen(TablePath().c_str(), "rb");
    EXPECT_NE(nullptr, f);
    if (f == nullptr) return slots;
    for (uint32_t k = 0; k < count; ++k) {
      std::fseek(f, static_cast<long>(LookupTable::SlotOffset(first + k)), SEEK_SET);
      EXPECT_EQ(1u, std::fread(&slots[k], sizeof(Slot), 1, f));
    }
    std::fclose(f);
    return slots;
  }
  void WriteSlots(uint32_t first, const std::vector<Slot>& slots) {
    std::FILE* f = std::fopen(TablePath().c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    for (uint32_t k = 0; k < slots.size(); ++k) {
      std::fseek(f, static_cast<long>(LookupTable::SlotOffset(first + k)), SEEK_SET);
      ASSERT_EQ(1u, std::fwrite(&slots[k], sizeof(Slot), 1, f));
    }
    std::fclose(f);
  }
  // Writes `bytes` over the file from `offset`, as another user would.
  void WriteTable(size_t offset, const std::vector<char>& bytes) {
    std::FILE* f = std::fopen(TablePath().c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
  }
  static constexpr size_t kSlotRegionSize = size_t{64} * LookupTable::kLineCount;
  int32_t ListedBlock(const std::string& path) {
    for (int32_t i = H().FirstValidBlock; i != kNoBlock; i = B(i).RightNode) {
      if (path == B(i).ImageFileName) return i;
    }
    return kNoBlock;
  }

  // Random registrations, refreshes, size changes and removals, made in
  // turn by a holder that keeps the table and one that does not (as a
  // process of another version); every tenth step, with `c.damage`, the
  // table file is damaged and a path it concerns registered again. After
  // every step the list is exactly what the model says: each path listed
  // once, totals the sums over the list.
  void RunModel(const DamageCase& c, int steps, uint32_t seed) {
    testing_support::FaultEnv env;  // outlives both holders, whose locks it made
    const auto open_other = [&] {
      env.open_shared_file_error = platform::kErrorAccessDenied;
      env.open_shared_file_suffix = kLookupFileName;
      std::unique_ptr<IndexFile> index = Open();  // no table
      env.open_shared_file_error = 0;
      return index;
    };
    std::unique_ptr<IndexFile> other = open_other();
    std::mt19937 random(seed);
    std::list<std::pair<std::string, uint32_t>> model;  // head first
    int64_t bytes = 0;
    // What the holder that keeps the table counted (the other counts
    // nothing, as a process of another release): rebuilds keep it, a cut
    // through the table's header loses it.
    uint64_t counted_new = 0, counted_refreshed = 0, counted_emptied = 0;
    CounterValues base = LookupTable(TablePath()).Counters();  // of the steps before
    const auto listed = [&](const std::string& path) {
      return std::find_if(model.begin(), model.end(),
                          [&](const auto& e) { return e.first == path; });
    };
    const auto add = [&](IndexFile& by, const std::string& path, uint32_t size) {
      ASSERT_TRUE(by.AddFile(MakeRecord(path, size), 0));
      const auto it = listed(path);
      if (&by == index_.get()) ++(it != model.end() ? counted_refreshed : counted_new);
      if (it != model.end()) {
        bytes -= it->second;
        model.erase(it);
      }
      model.emplace_front(path, size);
      bytes += size;
    };
    const auto reopen = [&](size_t cut, bool regrow) {
      index_.reset();
      other.reset();
      std::filesystem::resize_file(TablePath(), cut);
      if (regrow) std::filesystem::resize_file(TablePath(), LookupTable::kFileSize);
      if (cut < LookupTable::kSlotsOffset) {
        counted_new = counted_refreshed = counted_emptied = 0;
        base = CounterValues();
      }
      index_ = Open();
      other = open_other();
    };
    int damaged = 0;
    for (int step = 0; step < steps; ++step) {
      IndexFile& by = random() % 3 == 0 ? *other : *index_;
      std::string path =
          names_.empty() ? "p" + std::to_string(random() % 300) : names_[random() % names_.size()];
      const uint32_t size = 1 + random() % 5;
      if (c.damage != Damage::kNone && step % 10 == 9 && !model.empty()) {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        path = it->first;
        const uint32_t around = std::min(Home(path), LookupTable::kSlotCount - 64);
        switch (c.damage) {
          case Damage::kNone:
            break;
          case Damage::kCutAtOpen:
          case Damage::kCutAndRegrown: {
            // Within the path's slots, at the end of the header, or in it.
            const size_t cuts[] = {LookupTable::kSlotsOffset + 8 * size_t{around},
                                   LookupTable::kSlotsOffset, 100};
            reopen(cuts[random() % 3], c.damage == Damage::kCutAndRegrown);
            break;
          }
          case Damage::kClearedSlots:
            ASSERT_NO_FATAL_FAILURE(WriteSlots(around, std::vector<Slot>(64, Slot{0, 0})));
            break;
          case Damage::kZeroedPage: {
            const size_t page = LookupTable::SlotOffset(Home(path)) / 4096 * 4096;
            ASSERT_NO_FATAL_FAILURE(WriteTable(page, std::vector<char>(4096)));
            break;
          }
          case Damage::kClearedEntryLine: {
            // Among crowded paths the entry often lies lines past its home:
            // the probe reads through the home's line, which is intact.
            const uint32_t entry = static_cast<uint32_t>(ListedBlock(path)) + 1;
            const std::vector<Slot> run = ReadSlots(Home(path), 64);
            for (uint32_t k = 0; k < run.size(); ++k) {
              if ((run[k].entry & 0x7FFFFFFFu) != entry) continue;
              const uint32_t line = (Home(path) + k) % LookupTable::kSlotCount / 7;
              ASSERT_NO_FATAL_FAILURE(WriteSlots(line * 7, std::vector<Slot>(7, Slot{0, 0})));
              break;
            }
            break;
          }
          case Damage::kRandomSlots: {
            std::vector<Slot> slots(64);
            for (Slot& slot : slots) {
              slot = Slot{static_cast<uint32_t>(random()), static_cast<uint32_t>(random())};
            }
            ASSERT_NO_FATAL_FAILURE(WriteSlots(around, slots));
            break;
          }
          case Damage::kForgedFreeBlock: {
            // The path is freed, then another after it, so that its block
            // lies inside the free list still holding the path; its entry
            // is put back where a lookup of the path ends.
            const std::string then =
                std::next(it) != model.end() ? std::next(it)->first : model.front().first;
            if (then == path) break;
            ASSERT_NO_FATAL_FAILURE(add(*index_, path, size));  // the table in sync
            for (const std::string& gone : {path, then}) {
              index_->RemoveAll([&](const char* p) { return gone == p; });
              ++counted_emptied;
              bytes -= listed(gone)->second;
              model.erase(listed(gone));
            }
            const int32_t free_block = B(H().LastInvalidBlock).LeftNode;
            ASSERT_EQ(path, B(free_block).ImageFileName);
            const uint32_t hash = Fnv1a(path.data(), path.size());
            for (uint32_t at = Home(path);; at = (at + 1) % LookupTable::kSlotCount) {
              if (ReadSlots(at, 1)[0].entry == 0) {
                ASSERT_NO_FATAL_FAILURE(
                    WriteSlots(at, {Slot{hash, static_cast<uint32_t>(free_block) + 1}}));
                break;
              }
            }
            break;
          }
          case Damage::kForgedListedBlock: {
            const int32_t block = ListedBlock(path);
            const int32_t another =
                block == H().FirstValidBlock ? H().LastValidBlock : H().FirstValidBlock;
            if (another == block) break;
            std::vector<Slot> slots = ReadSlots(around, 64);
            for (Slot& slot : slots) {
              if (slot.entry == static_cast<uint32_t>(block) + 1) {
                slot.entry = static_cast<uint32_t>(another) + 1;
              }
            }
            ASSERT_NO_FATAL_FAILURE(WriteSlots(around, slots));
            break;
          }
        }
        ++damaged;
        ASSERT_NO_FATAL_FAILURE(add(*index_, path, size));
      } else if (random() % 4 == 0) {
        by.RemoveAll([&](const char* p) { return path == p; });
        const auto it = listed(path);
        if (it != model.end() && &by == index_.get()) ++counted_emptied;
        if (it != model.end()) {
          bytes -= it->second;
          model.erase(it);
        }
      } else {
        ASSERT_NO_FATAL_FAILURE(add(by, path, size));
      }
      std::vector<std::string> expected;
      for (const auto& e : model) expected.push_back(e.first);
      ASSERT_EQ(ValidPaths(*index_), expected) << c.what << ", step " << step;
      ASSERT_EQ(H().TotalFileCount, static_cast<int32_t>(model.size())) << c.what;
      ASSERT_EQ(H().CacheSize, bytes) << c.what;
    }
    EXPECT_TRUE(CheckLists(H(), index_->blocks(), nullptr)) << c.what;
    const CounterValues counted = LookupTable(TablePath()).Counters();
    const auto since_start = [&](Counter k) { return counted[k] - base[k]; };
    EXPECT_EQ(counted_new, since_start(Counter::kRegisteredNew)) << c.what;
    EXPECT_EQ(counted_refreshed, since_start(Counter::kRefreshed)) << c.what;
    EXPECT_EQ(counted_emptied, since_start(Counter::kEmptiedFiles)) << c.what;
    EXPECT_EQ(0u, since_start(Counter::kRepairDropped)) << c.what;
    EXPECT_NE(0, counted.counting_since) << c.what;
    if (c.damage != Damage::kNone) {
      EXPECT_GE(damaged, steps / 20) << c.what;
    }
  }

  // The paths RunModel registers; empty: "p0" to "p299".
  std::vector<std::string> names_;
};

// No damage: no lookup ever answered "absent" for a listed path (that would
// list it twice) or "listed" for a path that is not.
TEST_F(LookupTableTest, AgreesWithAModelWhileAnotherHolderLeavesItStale) {
  RunModel({"no damage", Damage::kNone}, 3000, 12345);
  EXPECT_TRUE(LogHas("Lookup table rebuilt: "));
  EXPECT_FALSE(LogHas("Lookup table named a block"));
}

TEST_F(LookupTableTest, DamagedTableNeverLeavesAPathListedTwicePastTheRepair) {
  const DamageCase cases[] = {
      {"cut short, grown back at open", Damage::kCutAtOpen},
      {"cut short and grown back with zeros", Damage::kCutAndRegrown},
      {"cleared slots", Damage::kClearedSlots},
      {"random slots", Damage::kRandomSlots},
      {"zeroed slot page", Damage::kZeroedPage},
      {"cleared line of an entry", Damage::kClearedEntryLine},
      {"forged answer: a free block", Damage::kForgedFreeBlock},
      {"forged answer: another listed block", Damage::kForgedListedBlock},
  };
  uint32_t seed = 777;
  for (const DamageCase& c : cases) {
    index_->RemoveAll([](const char*) { return true; });
    ASSERT_NO_FATAL_FAILURE(RunModel(c, 400, ++seed));
  }
  EXPECT_TRUE(LogHas("Lookup table slots do not match their checks"));
}

// Paths crafted to share one hash, more of them than a probe may pass: the
// table holds the first, marks their home crowded and leaves the others to
// the walk, and agrees with the model through every change and damage.
TEST_F(LookupTableTest, CollidingPathsAgreeWithAModel) {
  names_ = bench_support::CollidingPaths("c/", 300);
  for (const Damage damage : {Damage::kNone, Damage::kZeroedPage, Damage::kClearedSlots,
                              Damage::kClearedEntryLine, Damage::kForgedListedBlock}) {
    index_->RemoveAll([](const char*) { return true; });
    ASSERT_NO_FATAL_FAILURE(RunModel({"colliding paths", damage}, 1200, 99));
  }
  EXPECT_GT(LookupTable(TablePath()).CrowdedHomes(), 0u);
}

// A path listed twice among crowded paths, its twin in the table (listed
// before the home was marked) or left out too: the rebuild meets it, and
// the repair frees the second entry.
TEST_F(LookupTableTest, RebuildMeetsCrowdedPathsListedTwice) {
  const std::vector<std::string> paths = bench_support::CollidingPaths("c/", 200);
  for (const bool twin_in_table : {true, false}) {
    index_->RemoveAll([](const char*) { return true; });
    for (const std::string& path : paths) ASSERT_TRUE(Add(path, 1));
    ASSERT_TRUE(LookupTable(TablePath()).ProvesEachPathOnce(H()));
    // The rebuild walks from the head: the newest paths go in the table,
    // the oldest are left out. The block before the tail takes the name of
    // the head or of the tail.
    const int32_t twin = twin_in_table ? H().FirstValidBlock : H().LastValidBlock;
    const int32_t copy = B(H().LastValidBlock).LeftNode;
    std::memcpy(B(copy).ImageFileName, B(twin).ImageFileName, kFileNameSize);
    LookupTable(TablePath()).Begin();  // stale: rebuilt at the next lookup
    ASSERT_TRUE(Add("other", 1));
    EXPECT_TRUE(CheckLists(H(), index_->blocks(), nullptr)) << twin_in_table;
    EXPECT_EQ(H().TotalFileCount, 200) << twin_in_table;
  }
  EXPECT_TRUE(LogHas("listed a path a second time were freed"));
}

// 50 files of 1 MiB under a limit of 50 MiB (high mark 60 MiB), old
// enough; then the slots are replaced by those of an empty table, checks
// and all, so that every lookup answers "absent" unseen and registering the 50 files again lists
// each twice (100 MiB counted). A pass for size proves first that no path
// is listed twice: the counts do not add up, the rebuild meets the
// duplicates, the repair frees them, and the pass decides again: nothing to
// delete. By age, the pass is not held up by the proof.
TEST_F(LookupTableTest, PassProvesEachPathListedOnceBeforeDeletingForSize) {
  index_ = Open({50 * kMiB, 20, 900});
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(Add("f" + std::to_string(i), kMiB));
  IndexNow() += 3600;
  ASSERT_TRUE(LookupTable(TablePath()).ProvesEachPathOnce(H()));
  {
    // The slot lines of another cache's table, which lists nothing.
    const std::string elsewhere = dir_.Sub("empty");
    ASSERT_TRUE(EnsureDirectory(elsewhere.c_str()));
    IndexFile empty(elsewhere + platform::kSeparator + kIndexFileName, {200 * kMiB, 20, 900});
    ASSERT_TRUE(empty.AddFile(MakeRecord("x", 1), 0));
    empty.RemoveAll([](const char*) { return true; });
    std::vector<char> lines(kSlotRegionSize);
    std::FILE* f = std::fopen((elsewhere + platform::kSeparator + kLookupFileName).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::fseek(f, static_cast<long>(LookupTable::kSlotsOffset), SEEK_SET);
    ASSERT_EQ(lines.size(), std::fread(lines.data(), 1, lines.size(), f));
    std::fclose(f);
    ASSERT_NO_FATAL_FAILURE(WriteTable(LookupTable::kSlotsOffset, lines));
  }
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(Add("f" + std::to_string(i), kMiB));
  ASSERT_EQ(H().TotalFileCount, 100);  // the damage unseen so far
  int deleted = 0;
  index_->ShrinkCache([&](const char*) { return ++deleted, true; });
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(H().TotalFileCount, 50);
  EXPECT_EQ(H().CacheSize, 50 * kMiB);
  EXPECT_TRUE(CheckLists(H(), index_->blocks(), nullptr));
  EXPECT_TRUE(LogHas("Lookup table does not match its checks before a pass deletes for size"));
  EXPECT_TRUE(LogHas("listed a path a second time were freed"));
}

// A table whose slots were all zeroed (cut and grown back, or lost in a
// power cut) with its header left alone: zeros are empty slots, not entries
// naming block 0, and the lines' checks do not let them prove "absent".
TEST_F(LookupTableTest, ZeroedSlotsProveNothing) {
  ASSERT_TRUE(Add("a", 1));
  ASSERT_TRUE(Add("b", 1));
  ASSERT_TRUE(Add("a", 1));  // answered by the table
  LookupTable table(TablePath());
  ASSERT_TRUE(table.ProvesEachPathOnce(H()));
  int32_t block = kNoBlock;
  EXPECT_EQ(LookupTable::Answer::kAbsent, table.Find(H(), index_->blocks(), "c", &block));
  WriteTable(LookupTable::kSlotsOffset, std::vector<char>(kSlotRegionSize));
  ASSERT_TRUE(table.InSync(H()));
  EXPECT_EQ(LookupTable::Answer::kUnproven, table.Find(H(), index_->blocks(), "a", &block));
  EXPECT_FALSE(table.ProvesEachPathOnce(H()));
  ASSERT_TRUE(Add("a", 1));
  EXPECT_EQ(ValidPaths(*index_), (std::vector<std::string>{"a", "b"}));
}

// Two indexes with the same history of lists but other paths: the table of
// one, copied beside the other, matches its list ends and totals, but not
// its mark, and is rebuilt before it answers.
// An index formatted anew (its header overwritten) starts its counters
// again; the lookup file it keeps is no reason to keep the old index's.
TEST_F(LookupTableTest, CountersStartAgainWithANewIndex) {
  for (const char* path : {"a1", "a2"}) ASSERT_TRUE(Add(path, 1));
  ASSERT_TRUE(Add("a1", 1));
  ASSERT_TRUE(index_->ZeroCounters());
  ASSERT_TRUE(Add("a2", 1));
  CounterValues counted = LookupTable(TablePath()).Counters();
  EXPECT_EQ(0u, counted[Counter::kRegisteredNew]);
  EXPECT_EQ(1u, counted[Counter::kRefreshed]);
  EXPECT_NE(0, counted.last_reset);
  index_.reset();
  testing_support::WriteWholeFile(index_path_, "not an index");
  index_ = Open();
  ASSERT_TRUE(Add("b1", 1));
  counted = LookupTable(TablePath()).Counters();
  EXPECT_EQ(1u, counted[Counter::kRegisteredNew]);
  EXPECT_EQ(0u, counted[Counter::kRefreshed]);
  EXPECT_EQ(0, counted.last_reset);
  EXPECT_NE(0, counted.counting_since);
}

TEST_F(LookupTableTest, TableOfAnotherIndexIsNotTrusted) {
  const std::string elsewhere = dir_.Sub("elsewhere");
  ASSERT_TRUE(EnsureDirectory(elsewhere.c_str()));
  {
    IndexFile twin(elsewhere + platform::kSeparator + kIndexFileName, {200 * kMiB, 20, 900});
    for (const char* path : {"x1", "x2", "x3"}) ASSERT_TRUE(twin.AddFile(MakeRecord(path, 1), 0));
  }
  for (const char* path : {"a1", "a2", "a3"}) ASSERT_TRUE(Add(path, 1));
  index_.reset();
  testing_support::WriteWholeFile(
      TablePath(),
      testing_support::ReadWholeFile(elsewhere + platform::kSeparator + kLookupFileName));
  index_ = Open();
  ASSERT_TRUE(Add("a2", 1));
  EXPECT_EQ(ValidPaths(*index_), (std::vector<std::string>{"a2", "a3", "a1"}));
  EXPECT_EQ(H().TotalFileCount, 3);
}

// A stale table of this file is rebuilt under the same mark (a proof read
// before fails on the new epoch): the words that already carry the mark's
// seal are left alone, and one a writer that keeps no seals left unsealed
// is sealed.
TEST_F(LookupTableTest, StaleTableIsRebuiltUnderTheSameMark) {
  for (const char* path : {"a1", "a2", "a3"}) ASSERT_TRUE(Add(path, 1));
  const uint32_t mark = H().ListedMark;
  const uint32_t epoch = LookupTable(TablePath()).Epoch();
  const int32_t a2 = ListedBlock("a2");
  B(a2).Reserved = 0;
  LookupTable(TablePath()).Begin();
  ASSERT_TRUE(Add("a1", 1));
  EXPECT_TRUE(LogHas("Lookup table rebuilt: 3 entries"));
  EXPECT_EQ(mark, H().ListedMark);
  EXPECT_EQ(epoch + 1, LookupTable(TablePath()).Epoch());
  for (const char* path : {"a1", "a2", "a3"}) {
    EXPECT_TRUE(CarriesListedMark(H(), B(ListedBlock(path)))) << path;
  }
}

// A block renamed behind the table's back, with the header untouched: the
// table still names the block for the old path, but the block no longer
// holds it, so the lookup does not report the old path listed.
TEST_F(LookupTableTest, AnswerIsCheckedAgainstTheBlock) {
  ASSERT_TRUE(Add("a", 1));
  ASSERT_TRUE(Add("b", 1));
  std::snprintf(B(0).ImageFileName, kFileNameSize, "%s", "renamed");
  ASSERT_TRUE(Add("a", 1));
  EXPECT_EQ(ValidPaths(*index_), (std::vector<std::string>{"a", "b", "renamed"}));
  EXPECT_EQ(H().TotalFileCount, 3);
}

// Two holders run passes at once over 300 files of 1 MiB (marks at 240 and
// 160 MiB), each letting go of the lock between batches: together they
// delete exactly the 141 oldest, as one pass alone would, and the cache
// ends just under the low mark.
TEST_F(LookupTableTest, TwoYieldingPassesKeepTheOrderAndDoNotOverTrim) {
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(Add("f" + std::to_string(1000 + i), kMiB));
    IndexNow() += 1;
  }
  IndexNow() += 100000;
  std::unique_ptr<IndexFile> second = Open();
  struct Pass {
    IndexFile* index;
    std::atomic<int>* deleted;
    std::vector<std::string> paths;
    // Each pass waits, in its first deletion and so holding the lock, for
    // the other to have started and to be waiting for the lock: on a busy
    // machine one thread may otherwise start only once the other's pass is
    // over.
    std::atomic<int>* started;
  };
  std::atomic<int> deleted{0};
  std::atomic<int> started{0};
  Pass a{index_.get(), &deleted, {}, &started};
  Pass b{second.get(), &deleted, {}, &started};
  auto run = [](void* arg) {
    auto* pass = static_cast<Pass*>(arg);
    pass->started->fetch_add(1);
    pass->index->ShrinkCache([pass](const char* path) {
      if (pass->paths.empty()) {
        for (int waited = 0; pass->started->load() < 2 && waited < 5000; ++waited) {
          platform::env().SleepMs(1);
        }
        platform::env().SleepMs(50);
      }
      pass->paths.push_back(path);
      pass->deleted->fetch_add(1);
      platform::env().SleepMs(1);
      return true;
    });
  };
  std::unique_ptr<platform::Thread> thread_a, thread_b;
  platform::env().StartThread(run, &a, &thread_a).ThrowIfFailed();
  platform::env().StartThread(run, &b, &thread_b).ThrowIfFailed();
  thread_a->Join();
  thread_b->Join();
  EXPECT_GT(a.paths.size(), 0u);
  EXPECT_GT(b.paths.size(), 0u);  // both took part
  EXPECT_EQ(deleted.load(), 141);
  EXPECT_EQ(H().CacheSize, 159 * kMiB);
  std::vector<std::string> all = a.paths;
  all.insert(all.end(), b.paths.begin(), b.paths.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 141u);
  for (int i = 0; i < 141; ++i) EXPECT_EQ(all[i], "f" + std::to_string(1000 + i));
}

// ---- Power cuts: the shared rhythm of syncs, the clean stop, and the
// start after a restart. Each test installs an Env that counts the syncs and
// tells which start of the machine this is, and opens the index under it.
class StopTest : public LookupTableTest {
 protected:
  void SetUp() override {
    LookupTableTest::SetUp();
    env_ = std::make_unique<testing_support::FaultEnv>();
    env_->pretend_boot = true;
    env_->boot = Start(1);
    env_->now = platform::DefaultEnv().NowSeconds() + 100;
    Reopen();
  }
  void TearDown() override {
    other_.reset();
    index_.reset();
    env_.reset();
    LookupTableTest::TearDown();
  }
  static platform::BootId Start(uint8_t n) {
    platform::BootId id;
    id.bytes[0] = n;
    id.known = true;
    return id;
  }
  // This process stops (cleanly or not: its objects are simply gone) and
  // starts again, in the start of the machine `env_->boot` says.
  void Reopen() {
    index_.reset();
    index_ = Open();
  }
  // Writes `seal` as block `block`'s reserved word through the file, as a
  // page of another age (or another release) leaves it.
  void WriteSeal(int32_t block, uint32_t seal) {
    std::FILE* f = std::fopen(index_path_.c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    std::fseek(f,
               static_cast<long>(kHeaderRegionSize + size_t{kBlockSize} * block +
                                 offsetof(ImageFileBlock, Reserved)),
               SEEK_SET);
    ASSERT_EQ(1u, std::fwrite(&seal, sizeof(seal), 1, f));
    std::fclose(f);
  }
  std::unique_ptr<testing_support::FaultEnv> env_;
  std::unique_ptr<IndexFile> other_;  // a second process
};

// A start is told that the index was stopped uncleanly only after a restart
// that no clean mark, confirmed by the table synced with it, covers; the
// first process of the start rebuilds the table, and the next is not told.
TEST_F(StopTest, UncleanStopIsToldOnlyAfterARestartWithoutAConfirmedCleanMark) {
  struct Case {
    const char* what;
    bool clean_stop;
    bool changed_without_table;  // after the stop, by a process that keeps no table or mark
    bool restart;
    bool unclean;
  };
  const Case cases[] = {
      {"stopped cleanly, same start", true, false, false, false},
      {"stopped cleanly, restarted", true, false, true, false},
      {"not stopped cleanly, same start", false, false, false, false},
      {"not stopped cleanly, restarted", false, false, true, true},
      {"stopped cleanly, changed by a release that keeps no mark, restarted", true, true, true,
       true},
  };
  // Where the system does not tell the start, a restart cannot be ruled
  // out: only a confirmed clean mark spares the start.
  const Case unknown_start[] = {
      {"start unknown, stopped cleanly", true, false, false, false},
      {"start unknown, not stopped cleanly", false, false, false, true},
  };
  uint8_t start = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Add("a", 1));
    ASSERT_TRUE(Add(std::string("b") + c.what, 1));
    if (c.clean_stop) {
      EXPECT_TRUE(index_->MarkCleanStop());
      EXPECT_TRUE(MarkedClean(H().StopGeneration));
    }
    // The newest entry's block as an older page has it: still free. The
    // links, from a newer page, list it; only after an unclean stop are
    // they not trusted for it.
    const int32_t head = H().FirstValidBlock;
    const uint32_t free_seal = FreeSeal(H().ListedMark, B(head));
    index_.reset();
    WriteSeal(head, free_seal);
    if (c.changed_without_table) {
      env_->open_shared_file_error = platform::kErrorAccessDenied;
      env_->open_shared_file_suffix = kLookupFileName;
      {
        std::unique_ptr<IndexFile> old = Open();
        ASSERT_TRUE(old->AddFile(MakeRecord("c", 1), 0));
        // Such a release leaves the word as it found it: marked clean.
        old->header()->StopGeneration -= 1;
        ASSERT_TRUE(MarkedClean(old->header()->StopGeneration));
      }
      env_->open_shared_file_error = 0;
    }
    if (c.restart) env_->boot = Start(++start);
    Reopen();
    EXPECT_EQ(c.unclean, index_->OpenedAfterUncleanStop());
    EXPECT_FALSE(MarkedClean(H().StopGeneration));
    const std::vector<std::string> listed = ValidPaths(*index_);
    EXPECT_EQ(!c.unclean, std::count(listed.begin(), listed.end(), std::string("b") + c.what));
    Reopen();
    EXPECT_FALSE(index_->OpenedAfterUncleanStop());
  }
  EXPECT_TRUE(LogHas("The index was not stopped cleanly before the machine last started"));
  env_->boot = platform::BootId();
  Reopen();
  for (const Case& c : unknown_start) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Add("a", 1));
    if (c.clean_stop) {
      EXPECT_TRUE(index_->MarkCleanStop());
    }
    Reopen();
    EXPECT_EQ(c.unclean, index_->OpenedAfterUncleanStop());
  }
}

// Blocks written without a seal, as an earlier release writes them, in an
// index not stopped cleanly: where the system tells the start they are
// dropped unless the table places the stop in this start (which it does
// even after an earlier release rewrote it in its own format); where the
// system does not tell the start, the links that prove them keep them.
TEST_F(StopTest, UnsealedEntriesAreDroppedWhereARestartIsNotRuledOut) {
  enum Table { kThisRelease, kDeleted, kEarlierFormat };
  struct Case {
    const char* what;
    Table table;
    bool restart;
    bool start_unknown;
    bool unclean;
    bool kept;
  };
  const Case cases[] = {
      {"same start, table deleted", kDeleted, false, false, true, false},
      {"same start, table in an earlier release's format", kEarlierFormat, false, false, false,
       true},
      {"restarted, table deleted", kDeleted, true, false, true, false},
      {"start unknown", kThisRelease, false, true, true, true},
      {"restarted, table of this release", kThisRelease, true, false, true, false},
      {"restarted, table in an earlier release's format", kEarlierFormat, true, false, true, false},
  };
  uint8_t start = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string unsealed = std::string("u ") + c.what;
    ASSERT_TRUE(Add("a", 1));
    ASSERT_TRUE(Add(unsealed, 1));
    ASSERT_TRUE(Add("z", 1));
    const int32_t block = ListedBlock(unsealed);
    ASSERT_NE(block, kNoBlock);
    index_.reset();            // no clean stop
    WriteSeal(block, 0x1234);  // no seal of its content
    if (c.table == kDeleted) {
      ASSERT_EQ(0, std::remove(TablePath().c_str()));
    }
    if (c.table == kEarlierFormat) WriteTable(0, {'E', 'a', 'r', 'l', 'i', 'e', 'r'});
    if (c.restart) env_->boot = Start(++start);
    if (c.start_unknown) env_->boot = platform::BootId();
    Reopen();
    EXPECT_EQ(c.unclean, index_->OpenedAfterUncleanStop());
    const std::vector<std::string> listed = ValidPaths(*index_);
    EXPECT_EQ(c.kept ? 1 : 0, std::count(listed.begin(), listed.end(), unsealed));
    EXPECT_EQ(1, std::count(listed.begin(), listed.end(), std::string("z")));
    if (c.start_unknown) {
      env_->boot = Start(++start);
      Reopen();
    }
  }
  EXPECT_TRUE(LogHas("the system does not tell whether the machine restarted since"));
}

// A lookup table from an earlier moment of the index (a power cut kept its
// older slot pages) under header fields that agree with the index: after
// the restart it is rebuilt before any lookup, and no registration lists a
// path a second time.
TEST_F(StopTest, TableFromAnEarlierMomentListsNoPathTwiceAfterARestart) {
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Add("a" + std::to_string(i), 1));
  const std::string earlier = testing_support::ReadWholeFile(TablePath());
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(Add("b" + std::to_string(i), 1));
  index_.reset();  // the power cut: no clean stop
  // The header's fields as the last change left them (in sync with the
  // index, with this generation and start), the page checks, slots and
  // notes of the earlier moment, which agree with each other.
  const std::string now = testing_support::ReadWholeFile(TablePath());
  ASSERT_EQ(earlier.size(), now.size());
  testing_support::WriteWholeFile(TablePath(), now.substr(0, 1024) + earlier.substr(1024));
  env_->boot = Start(2);
  Reopen();
  EXPECT_TRUE(index_->OpenedAfterUncleanStop());
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(Add("b" + std::to_string(i), 1));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Add("a" + std::to_string(i), 1));
  std::vector<std::string> paths = ValidPaths(*index_);
  EXPECT_EQ(paths.size(), 30u);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(std::adjacent_find(paths.begin(), paths.end()), paths.end());
  EXPECT_EQ(H().TotalFileCount, 30);
}

// After a restart, the header may come from a moment within a change (a
// holder at work: the lock marker or an intent record set) and the blocks
// from other moments, where the lists do not hold together. Recovering
// that change is part of the recovery from the unclean stop: a block whose
// seal does not prove its content (a page of its name from another moment)
// is not kept for its links, nor sealed as listed for the rebuild after.
TEST_F(StopTest, HolderCutMidChangeBeforeARestartKeepsNoUnsealedBlock) {
  struct Case {
    const char* what;
    bool holder_died;  // the lock marker set
    bool intent;       // an intent record that names another block
    bool damaged;      // totals that the lists do not bear out
    bool sealless;     // last kept by a release that seals nothing: links are all there is
  };
  const Case cases[] = {
      {"holder died, lists damaged", true, false, true, false},
      {"change recorded, lists damaged", false, true, true, false},
      {"holder died, lists whole", true, false, false, false},
      {"holder died, lists damaged, no seals", true, false, true, true},
  };
  uint8_t start = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    index_.reset();
    testing_support::RemoveTree(cache_dir_);
    ASSERT_TRUE(EnsureDirectory(cache_dir_.c_str()));
    env_->boot = Start(++start);
    Reopen();
    ASSERT_TRUE(Add("a", 1));
    ASSERT_TRUE(Add("b", 1));
    ASSERT_TRUE(Add("the/whole/name", 1));
    const int32_t torn = H().FirstValidBlock;
    // The name's second half from a moment when the block was free.
    std::memset(B(torn).ImageFileName + 5, 0, 9);
    if (c.holder_died) H().LockMarker = 1;
    if (c.intent) {
      H().IntentKind = kIntentRefresh;
      H().IntentBlock = H().LastValidBlock;
    }
    if (c.damaged) H().TotalFileCount += 1;
    if (c.sealless) {
      H().StopGeneration = 0;
      for (int32_t b = 0; b < kBlockCount; ++b) B(b).Reserved = 0;
    }
    env_->boot = Start(++start);
    Reopen();
    EXPECT_TRUE(index_->OpenedAfterUncleanStop());
    EXPECT_EQ(ValidPaths(*index_), c.sealless ? (std::vector<std::string>{"the/w", "b", "a"})
                                              : (std::vector<std::string>{"b", "a"}));
  }
}

// Two processes registering in one second sync once between them, never
// with the lock held; the next second's first registration syncs again, a
// look with nothing changed does not, and the worker's look does after a
// change.
TEST_F(StopTest, SyncsAtMostOnceASecondPerCacheAndNeverUnderTheLock) {
  other_ = Open();
  env_->now += 10;
  const int before = env_->syncs;
  for (int i = 0; i < 40; ++i) {
    IndexFile& holder = i % 2 == 0 ? *index_ : *other_;
    ASSERT_TRUE(holder.AddFile(MakeRecord("p" + std::to_string(i), 1), 0));
  }
  EXPECT_EQ(env_->syncs - before, 2);  // the index and its table, once
  env_->now += 1;
  ASSERT_TRUE(Add("q", 1));
  EXPECT_EQ(env_->syncs - before, 4);
  env_->now += 1;
  // Nothing changed since; then a refresh, in the same second.
  EXPECT_FALSE(other_->SyncIfDue());
  ASSERT_TRUE(other_->AddFile(MakeRecord("p0", 1), 0));
  EXPECT_EQ(env_->syncs - before, 6);
  ASSERT_TRUE(Add("r", 1));
  EXPECT_FALSE(index_->SyncIfDue());
  env_->now += 1;
  EXPECT_TRUE(index_->SyncIfDue());
  EXPECT_EQ(env_->syncs - before, 8);
  // A time of the last sync that anyone may have written in the file, far
  // in the past or the future, makes the next sync due: it never stops
  // them.
  int expected = 8;
  for (const int64_t forged : {INT64_MIN, INT64_MAX}) {
    std::FILE* f = std::fopen(TablePath().c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    std::fseek(f, 352, SEEK_SET);  // the table header's SyncTime
    ASSERT_EQ(1u, std::fwrite(&forged, sizeof(forged), 1, f));
    std::fclose(f);
    ASSERT_TRUE(Add("s", 1));
    expected += 2;
    EXPECT_EQ(env_->syncs - before, expected) << forged;
  }
  EXPECT_EQ(env_->syncs_under_lock, 0);
}

// The clean mark: not set when another process came in after the stop's
// sync began; set otherwise; and undone, with that synced, before another
// process still running changes anything.
TEST_F(StopTest, CleanMarkFollowsASyncAndIsUndoneBeforeAnyChange) {
  other_ = Open();
  ASSERT_TRUE(Add("x", 1));
  env_->before_sync = [this] {
    env_->before_sync = nullptr;
    ASSERT_TRUE(other_->AddFile(MakeRecord("late", 1), 0));
  };
  EXPECT_FALSE(index_->MarkCleanStop());
  EXPECT_FALSE(MarkedClean(H().StopGeneration));
  EXPECT_EQ(ValidPaths(*index_), (std::vector<std::string>{"late", "x"}));

  EXPECT_TRUE(index_->MarkCleanStop());
  const uint32_t clean = H().StopGeneration;
  EXPECT_TRUE(MarkedClean(clean));
  index_.reset();
  env_->index_at_sync.clear();
  ASSERT_TRUE(other_->AddFile(MakeRecord("after", 1), 0));
  ASSERT_FALSE(env_->index_at_sync.empty());
  EXPECT_EQ(env_->index_at_sync.front(), std::make_pair(InUseAfter(clean), int32_t{2}));
  EXPECT_EQ(other_->header()->StopGeneration, InUseAfter(clean));
  EXPECT_EQ(other_->header()->TotalFileCount, 3);
  EXPECT_EQ(env_->syncs_under_lock, 0);
}

}  // namespace
}  // namespace stow
