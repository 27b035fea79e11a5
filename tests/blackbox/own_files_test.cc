// The library's own files (the index, its lookup file, the dump, the settings
// file, the logs, and a hard link to the index) are never registered, and an
// entry that names one is dropped by every pass and emptying without
// deleting the file.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "blackbox_fixture.h"

namespace stow::testing_support {
namespace {

class OwnFilesThroughClientsTest : public BlackBoxTest {
 protected:
  // A first client makes the index, its lookup file, the dump and the log.
  void SetUp() override {
    BlackBoxTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(UseSmallCache());
    ClientRun first = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
    ASSERT_EQ(0, first.exit_code) << first.output;
    const std::string link = box_.Data("index-link.img");
    std::error_code ec;
    std::filesystem::create_hard_link(box_.index_path(), link, ec);
    ASSERT_FALSE(ec) << ec.message();
    own_ = {box_.index_path(), JoinPath(box_.cache_dir(), "Index.Lkp"),
            JoinPath(box_.cache_dir(), "Index.Dmp"),
            JoinPath(JoinPath(box_.root(), "lib"), "TESSARON.INI"), link};
    for (const std::string& name : ListDir(box_.log_dir())) {
      own_.push_back(JoinPath(box_.log_dir(), name));
    }
    ASSERT_EQ(6u, own_.size());
    for (const std::string& path : own_) ASSERT_TRUE(PathExists(path)) << path;
  }

  // Each own file is named in the log exactly once by `prefix`.
  void ExpectOneLineEach(const std::string& prefix) {
    const std::string log = box_.ReadLogs();
    for (const std::string& path : own_) {
      EXPECT_TRUE(PathExists(path)) << path;
      EXPECT_EQ(1, CountOf(log, "Msg:  " + prefix + path + ".\n")) << path << "\n" << log;
    }
  }

  std::vector<std::string> own_;
};

TEST_F(OwnFilesThroughClientsTest, RegistrationRefusesThem) {
  std::vector<std::string> commands = {"init", "0"};
  Lines expected = {"init 1"};
  for (const std::string& path : own_) {
    commands.insert(commands.end(), {"add", path, "0"});
    expected.push_back("add 0");
  }
  commands.push_back("uninit");
  expected.push_back("uninit");
  ClientRun run = box_.RunClient(commands, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ(expected, run.results);
  ExpectOneLineEach("One of the library's own files, not registered: ");
  EXPECT_TRUE(LoadIndex().ValidNames().empty());
}

// Listed in the index by another user, old and large enough to be evicted,
// next to an ordinary file: an emptying (the client's, or the extension's),
// or a pass (after a registration, or on request), keeps them and frees
// their blocks.
TEST_F(OwnFilesThroughClientsTest, PassesAndEmptyingsDropTheirEntriesAndKeepThem) {
  struct Way {
    Lines commands;
    int remaining;  // entries left: the fresh file of a registration
  };
  const std::string fresh = box_.Data("fresh");
  const std::string plain = box_.Data("plain");
  const std::vector<Way> ways = {
      {{"init", "0", "deleteall", "uninit"}, 0},
      {{"empty"}, 0},
      {{"init", "0", "add", fresh, "0", "uninit"}, 1},
      {{"shrink"}, 0},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.commands[way.commands.size() > 2 ? 2 : 0]);
    ASSERT_TRUE(WriteWholeFile(fresh, "x") && WriteWholeFile(plain, "x"));
    IndexImage image = IndexImage::Formatted();
    const int32_t old = static_cast<int32_t>(UnixSeconds() - 100000);
    ASSERT_NE(-1, image.AddEntry(plain, 50u << 20, old, 0));
    for (const std::string& path : own_) ASSERT_NE(-1, image.AddEntry(path, 50u << 20, old, 0));
    ASSERT_TRUE(image.Save(box_.index_path()));
    // A fresh log for each way, so that its lines are counted alone.
    ASSERT_TRUE(WriteWholeFile(own_.back(), ""));

    ClientRun run = box_.RunClient(way.commands, kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;
    ExpectOneLineEach("Delete File Skipped (one of the library's own files): ");
    EXPECT_FALSE(PathExists(plain));
    const IndexImage after = LoadIndex();
    EXPECT_TRUE(ListsConsistent(after));
    EXPECT_EQ(way.remaining, after.header().TotalFileCount);
  }
}

}  // namespace
}  // namespace stow::testing_support
