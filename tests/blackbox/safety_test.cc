// What another user of the machine, a full disk or the host itself can do to
// a client, and what the library refuses to do for them.
#include <string>
#include <vector>

#include "blackbox_fixture.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#endif

namespace stow::testing_support {
namespace {

using SafetyTest = BlackBoxTest;

const char kNotRegular[] = "Msg:  Not a regular file, not registered: ";

// A folder (and on Linux a FIFO, a socket and a device) is refused at
// registration, and a FIFO does not block the call.
TEST_F(SafetyTest, OnlyRegularFilesAreRegistered) {
  std::vector<std::string> refused = {box_.Data("folder")};
  ASSERT_TRUE(MakeDir(refused[0]));
#ifndef _WIN32
  const std::string fifo = box_.Data("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0666));
  const std::string socket_path = box_.Data("socket");
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof(address.sun_path));
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  refused.insert(refused.end(), {fifo, socket_path, "/dev/null"});
#endif
  const std::string plain = box_.Data("plain");
  ASSERT_TRUE(WriteWholeFile(plain, "x"));
  std::vector<std::string> commands = {"init", "0"};
  Lines expected = {"init 1"};
  for (const std::string& path : refused) {
    commands.insert(commands.end(), {"add", path, "0"});
    expected.push_back("add 0");
  }
  commands.insert(commands.end(), {"add", plain, "0", "uninit"});
  expected.insert(expected.end(), {"add 1", "uninit"});
  ClientRun run = box_.RunClient(commands, kClientTimeoutMs);
#ifndef _WIN32
  ::close(s);
#endif
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ(expected, run.results);
  const std::string log = box_.ReadLogs();
  for (const std::string& path : refused) {
    EXPECT_EQ(1, CountOf(log, kNotRegular + path + ".\n")) << log;
  }
  EXPECT_EQ((std::vector<std::string>{plain}), LoadIndex().ValidNames());
}

// A wide path with a character the narrow code page lacks is not turned into
// a look-alike: a fullwidth reverse solidus must not become a separator and
// name another file, which the next emptying would delete.
TEST_F(SafetyTest, WidePathIsConvertedExactlyOrNotAtAll) {
  const std::string sub = box_.Data("sub");
  const std::string victim = JoinPath(sub, "victim");
  ASSERT_TRUE(MakeDir(sub) && WriteWholeFile(victim, "v"));
  const std::string lookalike = sub + "\xEF\xBC\xBC" + "victim";  // U+FF3C in UTF-8
  ClientRun run =
      box_.RunClient({"init", "0", "addw", lookalike, "deleteall", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "addw 0", "deleteall", "uninit"}), run.results);
  EXPECT_TRUE(PathExists(victim));
#ifdef _WIN32
  EXPECT_EQ(1, CountOf(box_.ReadLogs(),
                       "Msg:  A wide path has no exact form in the system code "
                       "page or is too long.\n"))
      << box_.ReadLogs();
#endif
}

// An Index.Dat that does not carry the magic text is formatted, and the log
// says so first.
TEST_F(SafetyTest, FormattedForeignIndexIsLogged) {
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  ASSERT_TRUE(WriteWholeFile(box_.index_path(), "some other program's data"));
  ClientRun run = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "uninit"}), run.results);
  const std::string log = box_.ReadLogs();
  EXPECT_EQ(1, CountOf(log, "Msg:  Index file does not carry the index header and is formatted: " +
                                box_.index_path() + ".\n"))
      << log;
  EXPECT_TRUE(ListsConsistent(LoadIndex()));
}

// A held index lock makes a registration give up after the time-out, with
// its log line, instead of waiting for ever; the client then goes on.
TEST_F(SafetyTest, HeldLockMakesRegistrationFailAfterTheTimeOut) {
  const std::string file = box_.Data("f");
  ASSERT_TRUE(WriteWholeFile(file, "x"));
  ClientProcess client;
  ASSERT_TRUE(box_.StartClient(
      {"init", "0", "signal", box_.Marker("ready"), "wait-for", box_.Marker("held"), "add", file,
       "0", "signal", box_.Marker("added"), "wait-for", box_.Marker("released"), "uninit"},
      &client));
  ASSERT_TRUE(WaitForFile(box_.Marker("ready"), kClientTimeoutMs)) << client.Output();
  ClientProcess holder;
  ASSERT_TRUE(box_.StartClient({"hold-lock", box_.index_path(), box_.Marker("held")}, &holder));
  const int64_t start = NowMs();
  const bool added = WaitForFile(box_.Marker("added"), 60000);
  const int64_t waited = NowMs() - start;
  holder.Kill();
  WaitForFile(box_.Marker("released"), 0);
  ASSERT_TRUE(WriteWholeFile(box_.Marker("released"), "1"));
  ASSERT_EQ(0, client.Wait(kClientTimeoutMs)) << client.Output();
  ASSERT_TRUE(added);
  EXPECT_GE(waited, 29000);
  EXPECT_EQ(
      (Lines{"init 1", "signal 1", "wait-for 1", "add 0", "signal 1", "wait-for 1", "uninit"}),
      client.Results());
  EXPECT_EQ(1, CountOf(box_.ReadLogs(),
                       "Msg:  The index lock was not released by its holder within 30 seconds.\n"))
      << box_.ReadLogs();
}

// Another user truncates the index while a client is between calls: the
// client's next calls work on the index grown back, and it exits normally.
TEST_F(SafetyTest, IndexTruncatedUnderAClientDoesNotKillIt) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals, links, mounts";
#else
  const std::string a = box_.Data("a");
  const std::string b = box_.Data("b");
  ASSERT_TRUE(WriteWholeFile(a, "a") && WriteWholeFile(b, "b"));
  ClientProcess client;
  ASSERT_TRUE(
      box_.StartClient({"init", "1", "add", a, "0", "signal", box_.Marker("ready"), "wait-for",
                        box_.Marker("cut"), "add", b, "0", "add", a, "0", "deleteall", "uninit"},
                       &client));
  ASSERT_TRUE(WaitForFile(box_.Marker("ready"), kClientTimeoutMs)) << client.Output();
  // Any user may do this: the index is writable by everyone.
  std::filesystem::resize_file(box_.index_path(), 0);
  ASSERT_TRUE(WriteWholeFile(box_.Marker("cut"), "1"));
  ASSERT_EQ(0, client.Wait(kClientTimeoutMs)) << client.Output();
  EXPECT_EQ(
      (Lines{"init 1", "add 1", "signal 1", "wait-for 1", "add 1", "add 1", "deleteall", "uninit"}),
      client.Results());
  const std::string log = box_.ReadLogs();
  EXPECT_LE(1, CountOf(log,
                       "Msg:  Index file was truncated by another process; its length is "
                       "restored and its lists are checked.\n"))
      << log;
  EXPECT_FALSE(PathExists(b));
  IndexImage image = LoadIndex();
  EXPECT_TRUE(ListsConsistent(image));
  EXPECT_EQ(0, image.header().TotalFileCount);
#endif
}

// The library's SIGBUS handler passes faults outside the index to the one
// the host had installed before it.
TEST_F(SafetyTest, HostSigbusHandlerStillGetsFaultsOutsideTheIndex) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals, links, mounts";
#else
  ClientRun run = box_.RunClient(
      {"sigbus-handler", "init", "0", "sigbus-outside", box_.Data("mapped"), "uninit"},
      kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"sigbus-handler", "init 1", "sigbus-outside 1", "uninit"}), run.results);
#endif
}

// Without a handler of the host's, a fault outside the index still kills the
// process as it would without the library.
TEST_F(SafetyTest, FaultOutsideTheIndexStillKillsAHostWithoutAHandler) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals, links, mounts";
#else
  ClientRun run = box_.RunClient({"init", "0", "sigbus-outside", box_.Data("mapped"), "uninit"},
                                 kClientTimeoutMs);
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer's own handler was there first: it reports and exits.
  EXPECT_EQ(1, run.exit_code);
  EXPECT_NE(std::string::npos, run.output.find("AddressSanitizer: BUS")) << run.output;
#else
  EXPECT_EQ(128 + SIGBUS, run.exit_code);  // not a hang, not another death
#endif
  EXPECT_EQ((Lines{"init 1"}), run.results);
#endif
}

// A hard link named Index.Dat to another file is not grown or formatted.
TEST_F(SafetyTest, ForeignHardLinkedFileIsNotFormatted) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals, links, mounts";
#else
  const std::string victim = box_.Data("victim");
  ASSERT_TRUE(WriteWholeFile(victim, "precious"));
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  ASSERT_EQ(0, ::link(victim.c_str(), box_.index_path().c_str()));
  ClientRun run = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 0", "uninit"}), run.results);
  std::string content;
  ASSERT_TRUE(ReadFile(victim, &content));
  EXPECT_EQ("precious", content);
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), "An error occurs when try to initialize stowmaster. (31)"))
      << box_.ReadLogs();
#endif
}

// A symbolic link named Index.Dmp is not followed at shutdown (under Wine,
// where it looks like a plain file, too).
TEST_F(SafetyTest, DumpDoesNotFollowASymbolicLink) {
  const std::string target = box_.Data("target");
  ASSERT_TRUE(WriteWholeFile(target, "keep me"));
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const std::string dump = JoinPath(box_.cache_dir(), "Index.Dmp");
  ASSERT_TRUE(MakeSymlink(target, dump));
  ClientRun run = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 1", "uninit"}), run.results);
  std::string content;
  ASSERT_TRUE(ReadFile(target, &content));
  EXPECT_TRUE(content == "keep me") << content.size() << " bytes now";
}

// A symbolic link named Index.Dat or Index.Lkp, to someone else's file or to
// nothing, is never followed: the index is not opened (the table is only
// not used), the foreign file keeps its content, and nothing is created
// where a dangling link points. Under Wine the link looks like a plain file
// and only the final path of the opened file gives it away.
TEST_F(SafetyTest, IndexAndTableBehindASymbolicLinkAreNotUsed) {
  const struct {
    const char* name;
    bool dangling;
    const char* init;
  } cases[] = {
      {"Index.Dat", false, "init 0"},
      {"Index.Dat", true, "init 0"},
      {"Index.Lkp", false, "init 1"},
      {"Index.Lkp", true, "init 1"},
  };
  for (const auto& c : cases) {
    const std::string round = std::to_string(&c - cases);
    SCOPED_TRACE(std::string(c.name) + (c.dangling ? " to nothing" : " to a foreign file"));
    // A cache folder of its own: a dangling link cannot be deleted under Wine.
    SandboxSettings settings;
    settings.cache_dir = JoinPath(box_.root(), "cache" + round);
    ASSERT_TRUE(box_.WriteSettings(settings));
    ASSERT_TRUE(MakeDir(settings.cache_dir));
    const std::string target = box_.Data("target" + round);
    if (!c.dangling) {
      ASSERT_TRUE(WriteWholeFile(target, "precious"));
    }
    ASSERT_TRUE(MakeSymlink(target, JoinPath(settings.cache_dir, c.name)));
    ClientRun run = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
    ASSERT_EQ(0, run.exit_code) << run.output;
    EXPECT_EQ((Lines{c.init, "uninit"}), run.results);
    if (c.dangling) {
      EXPECT_FALSE(PathExists(target));
    } else {
      std::string content;
      ASSERT_TRUE(ReadFile(target, &content));
      EXPECT_TRUE(content == "precious") << content.size() << " bytes now";
    }
  }
}

// A root client deletes listed files below the cache folder and the
// FileFolders folders, and keeps a root-only file elsewhere and a file that
// is reached through a symbolic link below the cache folder.
TEST_F(SafetyTest, RootClientDeletesOnlyInsideItsFolders) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals, links, mounts";
#else
  if (!IsSuperUser()) GTEST_SKIP() << "needs root: the confinement applies to root clients";
  const std::string secret_dir = JoinPath(box_.root(), "secret");
  const std::string secret = JoinPath(secret_dir, "key");
  ASSERT_TRUE(MakeDir(secret_dir) && WriteWholeFile(secret, "s"));
  ASSERT_EQ(0, ::chmod(secret_dir.c_str(), 0700));
  ASSERT_EQ(0, ::chmod(secret.c_str(), 0600));
  const std::string elsewhere = JoinPath(box_.root(), "elsewhere");
  const std::string through_link_target = JoinPath(elsewhere, "f");
  ASSERT_TRUE(MakeDir(elsewhere) && WriteWholeFile(through_link_target, "l"));
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  const std::string link = JoinPath(box_.cache_dir(), "link");
  ASSERT_EQ(0, ::symlink(elsewhere.c_str(), link.c_str()));
  const std::string through_link = JoinPath(link, "f");
  const std::string in_cache_dir = JoinPath(box_.cache_dir(), "sub");
  const std::string in_cache = JoinPath(in_cache_dir, "f");
  ASSERT_TRUE(MakeDir(in_cache_dir) && WriteWholeFile(in_cache, "c"));
  const std::string in_data = box_.Data("d");
  ASSERT_TRUE(WriteWholeFile(in_data, "d"));

  ClientRun run = box_.RunClient({"init", "0", "add", secret, "0", "add", through_link, "0", "add",
                                  in_cache, "0", "add", in_data, "0", "deleteall", "uninit"},
                                 kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  const std::string log = box_.ReadLogs();
  EXPECT_TRUE(PathExists(secret));
  EXPECT_TRUE(IsDir(secret_dir));
  EXPECT_EQ(1, CountOf(log, RefusedOutsideLine(secret))) << log;
  EXPECT_TRUE(PathExists(through_link_target));
  EXPECT_EQ(1, CountOf(log, RefusedOutsideLine(through_link))) << log;
  EXPECT_FALSE(PathExists(in_cache));
  EXPECT_FALSE(IsDir(in_cache_dir));
  EXPECT_FALSE(PathExists(in_data));
  EXPECT_TRUE(IsDir(box_.data_dir())) << "a FileFolders folder itself is never removed";
  IndexImage image = LoadIndex();
  EXPECT_EQ((std::vector<std::string>{through_link, secret}), image.ValidNames());
#endif
}

// A sparse index of the right length on a full file system fails the
// initialisation with the system's code instead of killing the client.
TEST_F(SafetyTest, SparseIndexOnAFullFileSystemFailsInitialisation) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals, links, mounts";
#else
  const std::string mount_point = JoinPath(box_.root(), "small");
  ASSERT_TRUE(MakeDir(mount_point));
  if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=20m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point};
  SandboxSettings settings;
  settings.cache_dir = JoinPath(mount_point, "cache");
  ASSERT_TRUE(box_.WriteSettings(settings));
  ASSERT_TRUE(MakeDir(box_.cache_dir()));
  ASSERT_TRUE(WriteWholeFile(box_.index_path(), ""));
  std::filesystem::resize_file(box_.index_path(), 28801000);  // sparse: no blocks yet
  // Fill the file system with what is left.
  std::FILE* filler = std::fopen(JoinPath(mount_point, "filler").c_str(), "wb");
  ASSERT_NE(nullptr, filler);
  const std::string chunk(65536, 'x');
  while (std::fwrite(chunk.data(), 1, chunk.size(), filler) == chunk.size()) {
  }
  std::fclose(filler);
  ClientRun run = box_.RunClient({"init", "0", "uninit"}, kClientTimeoutMs);
  ASSERT_EQ(0, run.exit_code) << run.output;
  EXPECT_EQ((Lines{"init 0", "uninit"}), run.results);
  EXPECT_EQ(1, CountOf(box_.ReadLogs(), "An error occurs when try to initialize stowmaster. (28)"))
      << box_.ReadLogs();
#endif
}

}  // namespace
}  // namespace stow::testing_support
