// A holder of the index lock that dies at any store of a list operation, of
// formatting or of a rebuild: the next holder leaves the lists exactly as
// they were before the operation or as they would be after it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "index/block_seal.h"
#include "index_test_util.h"
#include "stow_hooks.h"

namespace stow {
namespace {

using testing_support::IndexNow;
using testing_support::kMiB;
using testing_support::ValidPaths;
using Paths = std::vector<std::string>;

// Under Wine each death starts a process that runs the test again up to the
// death, so there one point of each operation is tried; natively all.
const bool kEveryPoint = platform::kSeparator == '/';

// Entries c (head), b, a (tail), whose files exist with their sizes.
class CrashPointTest : public testing_support::IndexTest {
 protected:
  // An operation on an index whose entries' files lie in `dir`. Under Wine
  // the child runs in a test folder of its own and must name the parent's.
  using Op = std::function<void(IndexFile&, const std::string& dir)>;

  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, kEveryPoint ? "fast" : "threadsafe");
    IndexTest::SetUp();
    for (const char* name : {"a", "b", "c"}) {
      testing_support::WriteWholeFile(P(name), std::string(Size(name), 'x'));
      ASSERT_TRUE(Add(P(name), Size(name)));
    }
    if (!::testing::internal::InDeathTestChild()) {
      testing_support::SetEnvironment("STOW_CRASH_INDEX", index_path_);
    }
  }
  std::string P(const std::string& name) const { return dir_.Sub(name); }
  static int64_t Size(const std::string& name) {
    return name == "a" ? 1 : name == "b" ? 2 : name == "c" ? 4 : 8;
  }
  // Each of `names` is an entry's name, or "name=size" for an entry whose
  // size is not the one it was created with.
  static std::string NameOf(const std::string& n) { return n.substr(0, n.find('=')); }
  static int64_t SizeOf(const std::string& n) {
    const size_t eq = n.find('=');
    return eq == std::string::npos ? Size(n) : std::stoll(n.substr(eq + 1));
  }
  Paths Full(const Paths& names) const {
    Paths out;
    for (const std::string& n : names) out.push_back(P(NameOf(n)));
    return out;
  }

  // The crash points `op` passes on an index like this one.
  int64_t CountPoints(const Op& op) {
    const int64_t before = hooks::g_crash_points_passed.load();
    op(*index_, dir_.path());
    return hooks::g_crash_points_passed.load() - before;
  }

  // In a child process: `op` on the index of the parent, dying at point k
  // of `op` (or, with `count_open`, of opening the index and then `op`).
  static void DieAt(int64_t k, const Op& op, bool count_open = false) {
    const char* path = std::getenv("STOW_CRASH_INDEX");
    if (path == nullptr) hooks::Die(1);
    if (count_open) hooks::g_crash_countdown = k;
    IndexFile holder(path, {200 * kMiB, 20, 900});
    holder.SetClockForTesting(&testing_support::IndexClock);
    if (!count_open) hooks::g_crash_countdown = k;
    op(holder, std::filesystem::path(path).parent_path().parent_path().string());
    hooks::Die(0);
  }

  // True when the lists hold exactly `names` (head first) with exact
  // totals and sizes, and the reserved area is at rest (zero but for the
  // mark of the valid list and the stop generation).
  bool Holds(const Paths& names) {
    int64_t bytes = 0;
    for (const std::string& n : names) bytes += SizeOf(n);
    static const uint8_t zeros[kHeaderRegionSize] = {};
    IndexFileHeader at_rest = H();
    at_rest.ListedMark = 0;
    at_rest.StopGeneration = 0;
    const uint8_t* reserved = reinterpret_cast<const uint8_t*>(&at_rest.LockMarker);
    for (const std::string& n : names) {
      const int32_t head = H().FirstValidBlock;
      if (head >= 0 && P(NameOf(n)) == B(head).ImageFileName && B(head).FileSize != SizeOf(n)) {
        return false;
      }
    }
    // Every entry is sealed as listed and whole: an undo restores a seal
    // that matches the content it restores.
    for (int32_t b : testing_support::IndexImage::Of(&H()).ValidBlocks()) {
      if (ReadSeal(H().ListedMark, B(b)) != SealState::kListed) return false;
    }
    return ValidPaths(*index_) == Full(names) && H().TotalFileCount == int32_t(names.size()) &&
           H().CacheSize == bytes &&
           std::memcmp(reserved, zeros,
                       kHeaderRegionSize - offsetof(IndexFileHeader, LockMarker)) == 0 &&
           testing_support::ListsConsistentInSecondMapping(index_path_);
  }

  // Kills a holder at every point of `op` (or one, under Wine), each time on
  // a fresh copy of the three entries, and checks what the next holder of
  // this process, which kept the index open, finds.
  void Sweep(const Op& op, const Paths& before, const Paths& after) {
    const int64_t points = CountPoints(op);
    ASSERT_GT(points, 3);
    ASSERT_TRUE(Holds(after));
    for (int64_t k = kEveryPoint ? 0 : points / 2; k < points; ++k) {
      Reset();
      EXPECT_EXIT(DieAt(k, op), ::testing::ExitedWithCode(hooks::kCrashExitCode), "")
          << "point " << k;
      index_->CheckAndRepair();  // the next holder
      const bool was_before = Holds(before);
      EXPECT_TRUE(was_before || Holds(after)) << "point " << k << " of " << points << ": "
                                              << ::testing::PrintToString(ValidPaths(*index_));
      // The lookup table is not trusted after the death: registering every
      // path again refreshes each, lists none twice.
      const Paths& state = was_before ? before : after;
      for (auto it = state.rbegin(); it != state.rend(); ++it) {
        ASSERT_TRUE(Add(P(NameOf(*it)), SizeOf(*it)));
      }
      ASSERT_TRUE(Add(P("d"), Size("d")));
      EXPECT_EQ(ValidPaths(*index_).front(), P("d")) << "point " << k;
      EXPECT_EQ(H().TotalFileCount,
                static_cast<int32_t>(state.size()) + (state.front() == "d" ? 0 : 1))
          << "point " << k;
      EXPECT_TRUE(testing_support::ListsConsistentInSecondMapping(index_path_)) << "point " << k;
      if (!kEveryPoint) break;
    }
  }

  // Back to c, b, a with the blocks they had, the free list as formatted.
  void Reset() {
    index_.reset();
    std::filesystem::remove(index_path_);
    index_ = Open();
    for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(Add(P(name), Size(name)));
  }
};

// The entries' file named in the folder `dir` of whichever process runs it.
std::string In(const std::string& dir, const char* name) {
  return dir + platform::kSeparator + name;
}

TEST_F(CrashPointTest, Allocate) {
  testing_support::WriteWholeFile(P("d"), std::string(8, 'x'));
  Sweep(
      [](IndexFile& index, const std::string& dir) {
        index.AddFile(testing_support::MakeRecord(In(dir, "d"), 8), 0);
      },
      {"c", "b", "a"}, {"d", "c", "b", "a"});
}

TEST_F(CrashPointTest, RefreshOfTheTail) {
  Sweep(
      [](IndexFile& index, const std::string& dir) {
        index.AddFile(testing_support::MakeRecord(In(dir, "a"), 1), 0);
      },
      {"c", "b", "a"}, {"a", "c", "b"});
}

TEST_F(CrashPointTest, RefreshFromTheMiddle) {
  Sweep(
      [](IndexFile& index, const std::string& dir) {
        index.AddFile(testing_support::MakeRecord(In(dir, "b"), 2), 0);
      },
      {"c", "b", "a"}, {"b", "c", "a"});
}

TEST_F(CrashPointTest, SizeChange) {
  Sweep(
      [](IndexFile& index, const std::string& dir) {
        index.AddFile(testing_support::MakeRecord(In(dir, "b"), 2000), 0);
      },
      {"c", "b", "a"}, {"b=2000", "c", "a"});
}

TEST_F(CrashPointTest, FreeFromTheMiddle) {
  Sweep(
      [](IndexFile& index, const std::string& dir) {
        const std::string b = In(dir, "b");
        index.RemoveAll([&b](const char* path) { return b == path; });
      },
      {"c", "b", "a"}, {"c", "a"});
}

// A holder that dies while formatting leaves a file that the next one
// formats again, rather than one whose half-made lists need a repair.
TEST_F(CrashPointTest, Formatting) {
  index_.reset();
  std::filesystem::remove(index_path_);
  for (int64_t k : {0, 1}) {
    EXPECT_EXIT(DieAt(
                    k, [](IndexFile&, const std::string&) {}, true),
                ::testing::ExitedWithCode(hooks::kCrashExitCode), "");
    hooks::g_crash_countdown = -1;
    index_ = Open();
    EXPECT_TRUE(Holds({}));
    EXPECT_FALSE(LogHas("Index lists were rebuilt"));
    EXPECT_EQ(H().FirstInvalidBlock, 0);
    EXPECT_EQ(H().LastInvalidBlock, kBlockCount - 1);
    index_.reset();
    std::filesystem::remove(index_path_);
    if (!kEveryPoint) break;
  }
}

// A holder that dies while rebuilding damaged lists leaves a plan or links
// that the next holder finishes to the same result as an uninterrupted
// rebuild: nothing the links proved is lost.
TEST_F(CrashPointTest, Rebuild) {
  auto damage = [this] { B(1).RightNode = 777777; };  // b no longer links to a
  damage();
  const int64_t points =
      CountPoints([](IndexFile& index, const std::string&) { index.CheckAndRepair(); });
  ASSERT_GT(points, 3);
  ASSERT_TRUE(Holds({"c", "b", "a"}));
  for (int64_t k = kEveryPoint ? 0 : points / 2; k < points; ++k) {
    Reset();
    damage();
    // Opening the index finds the damage and rebuilds the lists.
    EXPECT_EXIT(DieAt(
                    k, [](IndexFile&, const std::string&) {}, true),
                ::testing::ExitedWithCode(hooks::kCrashExitCode), "")
        << "point " << k;
    index_->CheckAndRepair();
    EXPECT_TRUE(Holds({"c", "b", "a"})) << "point " << k << " of " << points;
    if (!kEveryPoint) break;
  }
}

}  // namespace
}  // namespace stow
