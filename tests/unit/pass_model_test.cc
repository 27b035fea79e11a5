// The eviction pass against a model of the plain walk from the tail: at
// each step the model looks at the least recently registered entry it has
// not looked at since that entry's registration, so that registrations by
// another process between two batches are met when the walk reaches them.
// The pass resumes, skips itself and remembers refusals; none of that may
// change which files go, in which order, or what stays listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "api/extension.h"
#include "index/eviction_rule.h"
#include "index/lookup_table.h"
#include "index/pass_bounds.h"
#include "index/report.h"
#include "index_test_util.h"

namespace stow {
namespace {

using testing_support::IndexClock;
using testing_support::IndexNow;
using testing_support::kMiB;
using testing_support::MakeRecord;
using testing_support::ValidPaths;

constexpr uint32_t kIdentity = 7;

struct ModelEntry {
  std::string path;
  uint32_t size;
  int32_t access;
  int64_t delay;
  int serial;  // which registration: one in the same second as another is another
};

struct ModelRefusal {
  int32_t access;
  int64_t retry;
  uint32_t backoff;
};

class Model {
 public:
  explicit Model(const CacheSettings& s) : settings_(s) {}

  // `keep_size`: a refresh that leaves the listed size as it is.
  void Register(const std::string& path, uint32_t size, uint32_t delay, int64_t now,
                bool keep_size = false) {
    auto it = Find(path);
    int64_t own = delay;
    if (it != entries_.end()) {
      used_ -= it->size;
      own = it->delay;
      if (keep_size) size = it->size;
      entries_.erase(it);
    }
    refusals_.erase(path);
    entries_.push_front({path, size, static_cast<int32_t>(now), own, ++serial_});
    used_ += size;
  }

  // A pass, run in step with the real one: `NextTry` is asked each time the
  // real pass calls its removal routine, with that routine's answer.
  void StartPass() {
    looked_.clear();
    running_ = static_cast<double>(used_) > HighMark(settings_);
  }
  // Walks on to the next entry the pass tries and returns its path, or ""
  // when the pass ends without trying another.
  std::string NextTry(int64_t now) { return Walk(now, -1); }
  // Between two batches: the real pass looked at `looked` entries so far,
  // the last of them perhaps too young or refused; the model catches up.
  void CatchUp(int looked, int64_t now) { Walk(now, looked); }

 private:
  // Looks at entries until one is to be tried (returned), the walk ends
  // (""), or, with `until` >= 0, `until` entries were looked at.
  std::string Walk(int64_t now, int until) {
    while (running_ && (until < 0 || LookedAt() < until)) {
      if (LowMark(settings_) > static_cast<double>(used_)) break;
      auto it = entries_.end();
      for (auto e = entries_.rbegin(); e != entries_.rend(); ++e) {
        if (looked_.count(Key(*e)) == 0) {
          it = std::prev(e.base());
          break;
        }
      }
      if (it == entries_.end()) break;
      if (until >= 0 && Tried(*it, now)) return "";  // the real pass did not try it: stop here
      looked_.insert(Key(*it));
      last_looked_ = it->path;
      if (!Tried(*it, now)) continue;
      trying_ = it;
      return it->path;
    }
    if (until < 0) running_ = false;
    return "";
  }

  bool Tried(const ModelEntry& e, int64_t now) const {
    ImageFileBlock b{};
    b.AccessTime = e.access;
    b.Delay = e.delay;
    if (!OldEnough(b, settings_, now)) return false;
    auto r = refusals_.find(e.path);
    // A refusal holds until its retry time; after a clock step backwards
    // that lies further ahead than the longest back-off, it no longer does.
    return !(r != refusals_.end() && r->second.access == e.access && now < r->second.retry &&
             r->second.retry - now <= kMaxBackoff);
  }

 public:
  void Answer(bool removed, int64_t now) {
    if (removed) {
      used_ -= trying_->size;
      refusals_.erase(trying_->path);
      entries_.erase(trying_);
      return;
    }
    auto r = refusals_.find(trying_->path);
    uint32_t backoff = kFirstBackoff;
    if (r != refusals_.end() && r->second.access == trying_->access) {
      backoff = std::min(r->second.backoff * 2, kMaxBackoff);
    }
    refusals_[trying_->path] = {trying_->access, now + backoff, backoff};
  }

  std::vector<std::string> Paths() const {
    std::vector<std::string> out;
    for (const ModelEntry& e : entries_) out.push_back(e.path);
    return out;
  }
  int64_t used() const { return used_; }
  // Entries the pass has looked at, each once per registration.
  int LookedAt() const { return static_cast<int>(looked_.size()); }
  // The entry the pass looked at last, when it is still listed.
  std::string LastLooked() {
    return Find(last_looked_) != entries_.end() ? last_looked_ : std::string();
  }

 private:
  std::list<ModelEntry>::iterator Find(const std::string& path) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const ModelEntry& e) { return e.path == path; });
  }
  static int Key(const ModelEntry& e) { return e.serial; }

  CacheSettings settings_;
  std::list<ModelEntry> entries_;
  int64_t used_ = 0;
  std::map<std::string, ModelRefusal> refusals_;
  int serial_ = 0;
  std::set<int> looked_;
  std::string last_looked_;
  bool running_ = false;
  std::list<ModelEntry>::iterator trying_;
};

class PassModelTest : public testing_support::IndexTest {
 protected:
  std::string Path(int k) { return cache_dir_ + "/m" + std::to_string(k); }

  // A refresh as a process of the previous release makes it: its own table
  // magic (it rebuilt the table as it knows it), then the block moved to
  // the head with a new time, without stamps.
  void RefreshAsPreviousRelease(const std::string& path) {
    std::FILE* f = std::fopen((cache_dir_ + "/" + kLookupFileName).c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    const char v1[] = "Stowmaster lookup table v1\n";
    ASSERT_EQ(sizeof(v1), std::fwrite(v1, 1, sizeof(v1), f));
    std::fclose(f);
    IndexFileHeader& h = H();
    int32_t i = h.FirstValidBlock;
    while (i != kNoBlock && path != B(i).ImageFileName) i = B(i).RightNode;
    ASSERT_NE(kNoBlock, i);
    B(i).AccessTime = static_cast<int32_t>(IndexNow());
    if (i == h.FirstValidBlock) return;
    ImageFileBlock& b = B(i);
    B(b.LeftNode).RightNode = b.RightNode;
    if (b.RightNode == kNoBlock) {
      h.LastValidBlock = b.LeftNode;
    } else {
      B(b.RightNode).LeftNode = b.LeftNode;
    }
    b.LeftNode = kNoBlock;
    b.RightNode = h.FirstValidBlock;
    B(h.FirstValidBlock).LeftNode = i;
    h.FirstValidBlock = i;
  }
};

// A few hundred random sequences of registrations (of new files and again
// of listed ones, with delays shorter and longer than the minimum age and
// some beyond any 32-bit age), clock steps forwards and backwards, and
// passes whose removal routine refuses some files; between the batches of
// a pass another process registers files, among them the entry the pass
// looked at last; now and then a holder dies mid-change (the table is left
// stale), or a process of the previous release moves that entry without
// stamps, so that the pass cannot prove where it was.
TEST_F(PassModelTest, AgreesWithThePlainWalk) {
  // Marks at 300 and 100 MiB: a pass deletes many files, in several batches.
  const CacheSettings settings{200 * kMiB, 50, 900};
  index_ = Open(settings);
  std::unique_ptr<IndexFile> other = Open(settings);
  std::mt19937 random(20261207);
  int tried = 0;
  int skipped = 0;
  int batches = 0;
  for (int sequence = 0; sequence < 300; ++sequence) {
    index_->RemoveAll([](const char*) { return true; });
    index_->SetPassBatchForTesting(1 + static_cast<int32_t>(random() % 16),
                                   4 + static_cast<int32_t>(random() % 64));
    Model model(settings);
    std::vector<bool> stubborn(200);
    for (size_t k = 0; k < stubborn.size(); ++k) stubborn[k] = random() % 5 == 0;
    const auto register_one = [&](IndexFile& index) {
      const int k = static_cast<int>(random() % stubborn.size());
      const uint32_t size = static_cast<uint32_t>((1 + random() % 8) * kMiB);
      const uint32_t choice = random() % 10;
      const uint32_t delay = choice < 6 ? 0 : choice < 9 ? random() % 4000 : 3000000000u;
      ASSERT_TRUE(index.AddFile(MakeRecord(Path(k), size), delay));
      model.Register(Path(k), size, delay, IndexNow());
    };
    for (int step = 0; step < 60; ++step) {
      const uint32_t what = random() % 10;
      if (what < 5) {
        for (uint32_t n = 1 + random() % 8; n > 0; --n) ASSERT_NO_FATAL_FAILURE(register_one(*index_));
      } else if (what < 7) {
        IndexNow() += random() % 10 == 0 ? -static_cast<int64_t>(random() % 5000)
                                         : static_cast<int64_t>(random() % 3000);
      } else {
        model.StartPass();
        std::vector<std::string> expected;
        std::vector<std::string> asked;
        const auto remove = [&](const char* path) {
          const std::string want = model.NextTry(IndexNow());
          asked.push_back(path);
          expected.push_back(want);
          const int k = std::stoi(std::string(path).substr(Path(0).size() - 1));
          const bool removed = !stubborn[static_cast<size_t>(k)];
          if (want == path) model.Answer(removed, IndexNow());
          return removed;
        };
        const auto between = [&](const PassOutcome& so_far) {
          ++batches;
          model.CatchUp(so_far.looked_at, IndexNow());
          const uint32_t r = random() % 6;
          const std::string last = model.LastLooked();
          if (r == 0) {
            // A holder that died mid-change leaves the table stale.
            LookupTable(cache_dir_ + "/" + kLookupFileName).Begin();
            index_->header()->LockMarker = 1;
          } else if (r == 1 && !last.empty()) {
            RefreshAsPreviousRelease(last);
            model.Register(last, 0, 0, IndexNow(), true);
          } else if (r < 4 && !last.empty()) {
            const uint32_t size = static_cast<uint32_t>((1 + random() % 8) * kMiB);
            ASSERT_TRUE(other->AddFile(MakeRecord(last, size), 0));
            model.Register(last, size, 0, IndexNow());
          }
          for (uint32_t n = random() % 3; n > 0; --n) register_one(*other);
        };
        const PassOutcome out = index_->ShrinkCache(remove, between, kIdentity);
        expected.push_back(model.NextTry(IndexNow()));
        asked.push_back("");
        ASSERT_EQ(expected, asked) << "sequence " << sequence << " step " << step;
        tried += static_cast<int>(asked.size()) - 1;
        // A pass looks at each entry at most once, however often it let go
        // of the lock (once it lost track, a registration in the same second
        // as the one it looked at is not looked at again), and not at all
        // when it knew it would find nothing.
        if (out.looked_at == 0) {
          ++skipped;
        } else {
          ASSERT_LE(out.looked_at, model.LookedAt()) << "sequence " << sequence;
        }
      }
      ASSERT_EQ(model.Paths(), ValidPaths(*index_)) << "sequence " << sequence << " step " << step;
      ASSERT_EQ(model.used(), H().CacheSize);
    }
  }
  // The sequences must exercise both: passes that delete, passes skipped.
  EXPECT_GT(tried, 1000);
  EXPECT_GT(skipped, 100);
  EXPECT_GT(batches, 300);
}

// What a pass remembers between passes, step by step on one index: the
// entries' files are all old or all young, one file is refused.
TEST_F(PassModelTest, RememberedWorkIsNotRedone) {
  index_ = Open({200 * kMiB, 20, 30});  // a minimum age of 30 seconds
  const std::string again = Path(0);
  for (int k = 0; k < 300; ++k) ASSERT_TRUE(Add(Path(k), kMiB));  // 300 MiB: over 240
  int calls = 0;
  const auto remove = [&](const char*) {
    ++calls;
    return false;  // every deletion refused: the cache stays over the mark
  };
  struct Step {
    const char* what;
    int64_t advance;      // seconds before the pass
    bool again;           // the refused file registered again first
    int expected_calls;   // removal calls of the pass
    bool expected_look;   // the pass looked at entries at all
  };
  const Step steps[] = {
      {"young: one walk", 0, false, 0, true},
      {"young still: no walk", 10, false, 0, false},
      {"old enough: each tried once", 20, false, 300, true},
      {"within the back-off: nothing tried, no walk", 59, false, 0, false},
      {"back-off over", 1, false, 300, true},
      {"second step is twice as long", 119, false, 0, false},
      {"second step over", 1, false, 300, true},
      {"one registered again: young, no walk", 0, true, 0, false},
      {"registered again and old: tried at once", 30, false, 1, true},
  };
  for (const Step& s : steps) {
    IndexNow() += s.advance;
    if (s.again) {
      ASSERT_TRUE(Add(again, kMiB));
    }
    calls = 0;
    const PassOutcome out = index_->ShrinkCache(remove, nullptr, kIdentity);
    EXPECT_EQ(s.expected_calls, calls) << s.what;
    EXPECT_EQ(s.expected_look, out.looked_at > 0) << s.what;
  }
  // Another identity is not bound by these refusals.
  calls = 0;
  index_->ShrinkCache(remove, nullptr, kIdentity + 1);
  EXPECT_EQ(300, calls);
}

// Bounds as any local user may write them into the companion file. Each
// field of honest bounds in turn takes each extreme value: the arithmetic
// on them stays defined (the sanitizer build reports any overflow), a
// registration lowers them so that its entry is never passed over, and the
// tail that a walk would delete first is never skipped. Then, on an index,
// forged bounds that say nothing is old enough: the pass, the dry run and
// the status agree on what goes, and the check reports the bounds until
// they are reset.
TEST_F(PassModelTest, ForgedBoundsAreSafeAndDoNotHideOldEntries) {
  using L64 = std::numeric_limits<int64_t>;
  using L32 = std::numeric_limits<int32_t>;
  const int64_t now = IndexNow();
  ImageFileBlock tail{};
  tail.AccessTime = static_cast<int32_t>(now - 100);
  BoundsBuilder builder(0, now);
  builder.Add(tail, now, kIdentity, 0);
  const PassBounds honest = builder.Finish();
  const CacheSettings no_min_age{200 * kMiB, 20, 0};
  int64_t PassBounds::*const fields[] = {&PassBounds::Time, &PassBounds::ForDelay,
                                         &PassBounds::MinRetry, &PassBounds::MaxAgeAny};
  int64_t PassBounds::Set::*const set_fields[] = {
      &PassBounds::Set::MaxAge, &PassBounds::Set::MinDue, &PassBounds::Set::MinWait};
  const int64_t extremes[] = {L64::min(), L64::min() + 1, L32::min(), -1, 0, 1, L32::max(),
                              L64::max() - 1, L64::max()};
  std::vector<std::function<void(PassBounds*, int64_t)>> forge;
  for (auto f : fields) forge.push_back([f](PassBounds* p, int64_t v) { p->*f = v; });
  for (auto f : set_fields) {
    forge.push_back([f](PassBounds* p, int64_t v) { p->All.*f = v; });
    forge.push_back([f](PassBounds* p, int64_t v) { p->Unrefused.*f = v; });
  }
  for (size_t k = 0; k < forge.size(); ++k) {
    for (int64_t v : extremes) {
      PassBounds p = honest;
      forge[k](&p, v);
      EXPECT_FALSE(PassSkipped(p, no_min_age, kIdentity, now, &tail, nullptr)) << k << " " << v;
      const PassBounds lowered = LoweredBounds(p, now + 5, 0);
      EXPECT_FALSE(NothingToDelete(lowered, now + 5, 0, kIdentity, nullptr)) << k << " " << v;
    }
  }

  const CacheSettings settings{200 * kMiB, 20, 30};  // marks at 240 and 160 MiB
  index_ = Open(settings);
  for (int k = 0; k < 300; ++k) ASSERT_TRUE(Add(Path(k), kMiB));
  EXPECT_EQ(0, index_->ShrinkCache([](const char*) { return true; }, nullptr, kIdentity).freed);
  IndexNow() += 60;  // every entry old enough now
  LookupTable table(cache_dir_ + "/" + kLookupFileName);
  PassBounds forged = table.Bounds();
  ASSERT_EQ(kBoundsValid, forged.Valid);  // the young pass took them
  forged.Time = IndexNow();
  forged.MaxAgeAny = kAgeWrap - 1;
  forged.All = forged.Unrefused = PassBounds::Set{kNoAge, kFar, kFar};
  table.SetBounds(forged);

  IndexCheck check = CheckIndex(index_path_);
  EXPECT_TRUE(check.consistent);
  EXPECT_FALSE(check.sound()) << "the check passed bounds its walk belies";
  const StatusReport status = ReadStatus(index_path_, settings, kIdentity, IndexNow());
  PassForecastTotals dry;
  ForecastPass(index_path_, settings, kIdentity, IndexNow(), 0, 1000, nullptr, nullptr, &dry);
  EXPECT_EQ(141, status.evictable_files);
  EXPECT_EQ(status.evictable_files, dry.deleted_files);
  const PassOutcome out = index_->ShrinkCache([](const char*) { return true; }, nullptr, kIdentity);
  EXPECT_EQ(dry.deleted_files, out.freed);

  StowmasterCheckReport report{};
  report.size = sizeof(report);
  EXPECT_EQ(STOWMASTER_DAMAGED, api::Check(1, &report));
  EXPECT_EQ(1, report.repaired) << report.problem;
  EXPECT_TRUE(CheckIndex(index_path_).sound());
}

// A registration into a full index frees the least recently registered
// entries that are old enough until 1,000 blocks are free; with none old
// enough, it frees nothing and, once it has looked, stops looking.
TEST_F(PassModelTest, FullIndexMakesRoomFromTheTail) {
  for (int32_t k = 0; k < kBlockCount; ++k) {
    ASSERT_TRUE(Add("f" + std::to_string(k), 1, k < 10 ? 3000000000u : 0));
  }
  ASSERT_FALSE(Add("new", 1));
  ASSERT_TRUE(index_->Full());
  std::vector<std::string> removed;
  const auto remove = [&](const char* path) {
    removed.push_back(path);
    return true;
  };
  EXPECT_EQ(0, index_->MakeRoom(remove, kIdentity).freed) << "all young";
  EXPECT_EQ(0, index_->MakeRoom(remove, kIdentity).looked_at) << "young, and known to be";
  IndexNow() += 900;
  const PassOutcome out = index_->MakeRoom(remove, kIdentity);
  EXPECT_EQ(kRoomTarget, out.freed);
  ASSERT_EQ(static_cast<size_t>(kRoomTarget), removed.size());
  // The ten with an own minimum age past any age stay; the next oldest go.
  EXPECT_EQ("f10", removed.front());
  EXPECT_EQ("f" + std::to_string(10 + kRoomTarget - 1), removed.back());
  EXPECT_TRUE(Add("new", 1));
  EXPECT_EQ(0, index_->MakeRoom(remove, kIdentity).looked_at) << "room left: no pass";
}

// A process killed while it waited for the lock stays counted as waiting.
// A pass waits for it once, between its first two batches, and from then on
// only for the waiters above that count.
TEST_F(PassModelTest, LeakedWaiterIsWaitedForOnce) {
  struct CountingEnv : platform::EnvWrapper {
    CountingEnv() : EnvWrapper(platform::DefaultEnv()) { platform::SetEnvForTesting(this); }
    ~CountingEnv() override { platform::SetEnvForTesting(nullptr); }
    void SleepMs(int64_t ms) override {
      if (ms == 0) yields_in_gap[gap] += 1;
      target().SleepMs(ms);
    }
    std::map<int, int> yields_in_gap;
    int gap = 0;
  } env;
  for (int k = 0; k < 400; ++k) ASSERT_TRUE(Add(Path(k), kMiB));
  IndexNow() += 900;
  index_->SetPassBatchForTesting(32, 4096);
  LookupTable(cache_dir_ + "/" + kLookupFileName).AddWaiter(2);  // two died waiting
  const PassOutcome out = index_->ShrinkCache(
      [](const char*) { return true; }, [&](const PassOutcome&) { env.gap += 1; }, kIdentity);
  ASSERT_EQ(241, out.freed);  // 400 MiB down to 159: eight batches or more
  ASSERT_GE(env.gap, 7);
  ASSERT_EQ(1u, env.yields_in_gap.size());
  EXPECT_EQ(1, env.yields_in_gap.begin()->first);
}

}  // namespace
}  // namespace stow
