// The Win32 layer's refusals and its service-account test, with inputs that
// Wine cannot make from real files and accounts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/checks.h"
#include "temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#endif

namespace stow {
namespace {

TEST(Win32ChecksTest, IndexFileThatIsAReparsePointFolderOrForeignLinkIsRefused) {
#ifndef _WIN32
  GTEST_SKIP() << "Windows only";
#else
  using platform::win32::IndexFileRefusal;
  EXPECT_EQ(IndexFileRefusal(FILE_ATTRIBUTE_NORMAL, 1, false), 0u);
  EXPECT_EQ(IndexFileRefusal(FILE_ATTRIBUTE_ARCHIVE, 3, true), 0u);  // an index in use
  EXPECT_EQ(IndexFileRefusal(FILE_ATTRIBUTE_ARCHIVE, 2, false),
            static_cast<uint32_t>(ERROR_TOO_MANY_LINKS));
  EXPECT_EQ(IndexFileRefusal(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, 1, true),
            static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(IndexFileRefusal(FILE_ATTRIBUTE_DIRECTORY, 1, false),
            static_cast<uint32_t>(ERROR_ACCESS_DENIED));
#endif
}

// An opened file is taken as the one asked for only when its final path
// names it: the long-path prefixes and the case of ASCII letters do not
// count, anything else (a link elsewhere, another name) does.
TEST(Win32ChecksTest, FinalPathMustNameTheRequestedFile) {
  using platform::win32::SameFinalPath;
  const struct {
    const wchar_t* expected;
    const wchar_t* final_path;
    bool same;
  } cases[] = {
      {L"C:\\TEMP\\Index.Dat", L"C:\\TEMP\\Index.Dat", true},
      {L"C:\\TEMP\\Index.Dat", L"\\\\?\\C:\\TEMP\\Index.Dat", true},
      {L"\\\\?\\c:\\temp\\index.dat", L"\\\\?\\C:\\TEMP\\Index.Dat", true},
      {L"C:/TEMP/Index.Dat", L"\\\\?\\C:\\TEMP\\Index.Dat", true},
      {L"\\\\server\\share\\Index.Dat", L"\\\\?\\UNC\\server\\share\\Index.Dat", true},
      {L"\\\\server\\share\\Index.Dat", L"\\\\?\\unc\\SERVER\\share\\index.DAT", true},
      // A link: the file lies elsewhere, or under another name.
      {L"C:\\TEMP\\Index.Dat", L"\\\\?\\Z:\\home\\victim\\notes.txt", false},
      {L"C:\\TEMP\\Index.Dat", L"\\\\?\\C:\\TEMP\\Index.Lkp", false},
      {L"C:\\TEMP\\Index.Dat", L"\\\\?\\C:\\TEMP\\Index.Dat.old", false},
      {L"C:\\TEMP\\Index.Dat", L"\\\\?\\UNC\\C:\\TEMP\\Index.Dat", false},
      // A short (8.3) name is not resolved here: the caller compares the
      // folder through its own final path.
      {L"C:\\PROGRA~1\\Index.Dat", L"\\\\?\\C:\\Program Files\\Index.Dat", false},
      // Case outside ASCII is not folded.
      {L"C:\\\u00c9T\u00c9\\Index.Dat", L"\\\\?\\C:\\\u00e9t\u00e9\\Index.Dat", false},
      {L"", L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameFinalPath(c.expected, c.final_path), c.same) << "case " << (&c - cases);
  }
}

TEST(Win32ChecksTest, OnlyServiceAccountsCountAsPrivileged) {
#ifndef _WIN32
  GTEST_SKIP() << "Windows only";
#else
  const auto is_service = [](WELL_KNOWN_SID_TYPE type) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    EXPECT_TRUE(CreateWellKnownSid(type, NULL, sid, &size)) << type;
    return platform::win32::IsServiceAccountSid(sid);
  };
  EXPECT_TRUE(is_service(WinLocalSystemSid));
  EXPECT_TRUE(is_service(WinLocalServiceSid));
  EXPECT_TRUE(is_service(WinNetworkServiceSid));
  EXPECT_FALSE(is_service(WinBuiltinAdministratorsSid));
  EXPECT_FALSE(is_service(WinBuiltinUsersSid));
  EXPECT_FALSE(is_service(WinWorldSid));
#endif
}

// Opening the index gives every page of a sparse file (Wine grows files
// that way) its block on disk, so that a full disk fails the open instead of
// a later access, and keeps what the file held.
TEST(Win32ChecksTest, OpeningASparseIndexGivesEveryPageItsBlock) {
#ifndef _WIN32
  GTEST_SKIP() << "Windows only";
#else
  testing_support::TempDir dir;
  const std::string path = dir.Sub("Index.Dat");
  constexpr size_t kSize = 1 << 20;
  {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at;
    at.QuadPart = 700000;
    DWORD written = 0;
    ASSERT_TRUE(SetFilePointerEx(file, at, NULL, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(file, "kept", 4, &written, NULL));
    at.QuadPart = kSize;
    ASSERT_TRUE(SetFilePointerEx(file, at, NULL, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
  }
  std::unique_ptr<platform::SharedFile> view;
  platform::DefaultEnv().OpenSharedFile(path, "", kSize, "", &view).ThrowIfFailed();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view->data()) + 700000, 4), "kept");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILE_STANDARD_INFO standard;
  ASSERT_TRUE(GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)));
  CloseHandle(file);
  EXPECT_GE(standard.AllocationSize.QuadPart, static_cast<LONGLONG>(kSize));
#endif
}

// A privileged process's settings file: who may change it, from its owner
// and access list. Decided without the system, so tested everywhere.
TEST(Win32ChecksTest, OnlyTrustedAccountsMayChangeATrustedFileOrFolder) {
  using platform::win32::AccessEntry;
  using platform::win32::ChangeRightsOf;
  using R = platform::ChangeRights;
  constexpr uint32_t kModify = 0x1301BF;  // what "Modify" grants
  const auto grant = [](uint32_t mask) { return AccessEntry{true, false, mask, false}; };
  const AccessEntry admins = {true, false, 0x1F01FF, true};
  const AccessEntry for_children = {true, true, kModify, false};
  const AccessEntry denial = {false, false, kModify, false};
  struct Case {
    const char* name;
    bool folder;
    std::vector<AccessEntry> entries;
    R expected;
  };
  const Case cases[] = {
      {"installed file", false, {admins, grant(0x1200A9)}, R::kOwnerOnly},
      {"empty list", false, {}, R::kOwnerOnly},
      {"users write", false, {admins, grant(0x2)}, R::kOthersMayWrite},
      {"users append", false, {grant(0x4)}, R::kOthersMayWrite},
      {"users delete", false, {grant(0x10000)}, R::kOthersMayWrite},
      {"users change the list", false, {grant(0x40000)}, R::kOthersMayWrite},
      {"users take ownership", false, {grant(0x80000)}, R::kOthersMayWrite},
      {"everyone generic write", false, {grant(0x40000000)}, R::kOthersMayWrite},
      {"everyone generic all", false, {grant(0x10000000)}, R::kOthersMayWrite},
      {"users modify", false, {grant(kModify)}, R::kOthersMayWrite},
      {"attributes only", false, {grant(0x110)}, R::kOwnerOnly},
      {"only for children", false, {for_children}, R::kOwnerOnly},
      {"a denial alone", false, {denial}, R::kOwnerOnly},
      {"a grant behind a denial", false, {denial, grant(kModify)}, R::kOthersMayWrite},
      // FILE_APPEND_DATA is FILE_ADD_SUBDIRECTORY on a folder; FILE_DELETE_CHILD
      // means nothing on a file.
      {"folder: users add subfolders", true, {admins, grant(0x4)}, R::kOwnerOnly},
      {"folder: users add files", true, {grant(0x2)}, R::kOthersMayWrite},
      {"folder: users delete children", true, {grant(0x40)}, R::kOthersMayWrite},
      {"file: delete child", false, {grant(0x40)}, R::kOwnerOnly},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChangeRightsOf(c.folder, true, true, c.entries.data(), c.entries.size()), c.expected)
        << c.name;
  }
  // The owner may always rewrite the list; no list at all lets everyone do
  // anything.
  EXPECT_EQ(ChangeRightsOf(false, false, true, &admins, 1), R::kOtherOwner);
  EXPECT_EQ(ChangeRightsOf(false, true, false, nullptr, 0), R::kOthersMayWrite);
}

#ifdef _WIN32
// Gives `path` a protected access list of its own: full control to this
// process's user and to Administrators, and `everyone` ("" for nothing, or
// SDDL rights such as "FW") to Everyone. False when the system refuses.
bool SetAccess(const std::string& path, const std::string& everyone) {
  HANDLE token = NULL;
  alignas(8) unsigned char user[256];
  DWORD length = 0;
  char* me = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const bool known = GetTokenInformation(token, TokenUser, user, sizeof(user), &length) &&
                     ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &me);
  CloseHandle(token);
  if (!known) return false;
  std::string sddl = "D:P(A;;FA;;;BA)(A;;FA;;;" + std::string(me) + ")";
  LocalFree(me);
  if (!everyone.empty()) sddl += "(A;;" + everyone + ";;;WD)";
  PSECURITY_DESCRIPTOR sd = NULL;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                            NULL)) {
    return false;
  }
  const bool set = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, sd) != 0;
  LocalFree(sd);
  return set;
}
#endif

// The same rule read from real files: the file's access list, then its
// folder's.
TEST(Win32ChecksTest, WhoMayChangeReadsTheFileAndItsFolder) {
#ifndef _WIN32
  GTEST_SKIP() << "Windows only";
#else
  testing_support::TempDir dir;
  const std::string folder = dir.Sub("conf");
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
  const std::string file = folder + "\\TESSARON.INI";
  testing_support::WriteWholeFile(file, "[Cache]\n");
  ASSERT_TRUE(SetAccess(folder, ""));
  ASSERT_TRUE(SetAccess(file, ""));
  std::string culprit;
  platform::ChangeRights rights;
  platform::Env& env = platform::DefaultEnv();
  const OsStatus looked = env.WhoMayChange(file.c_str(), &rights, &culprit);
  EXPECT_EQ(rights, platform::ChangeRights::kOwnerOnly) << culprit << " " << looked.code();
  ASSERT_TRUE(SetAccess(file, "FW"));
  EXPECT_TRUE(env.WhoMayChange(file.c_str(), &rights, &culprit).ok());
  EXPECT_EQ(rights, platform::ChangeRights::kOthersMayWrite);
  EXPECT_EQ(culprit, file);
  ASSERT_TRUE(SetAccess(file, "FR"));
  ASSERT_TRUE(SetAccess(folder, "0x2"));  // FILE_ADD_FILE
  EXPECT_TRUE(env.WhoMayChange(file.c_str(), &rights, &culprit).ok());
  EXPECT_EQ(rights, platform::ChangeRights::kOthersMayWrite);
  EXPECT_EQ(culprit, folder);
  const std::string missing = folder + "\\missing.ini";
  EXPECT_TRUE(env.WhoMayChange(missing.c_str(), &rights, &culprit).ok());
  EXPECT_EQ(rights, platform::ChangeRights::kMissing);
#endif
}

// The day's log is made open to every user, as the index is, whatever the
// folder would have it inherit.
TEST(Win32ChecksTest, LogFileIsMadeOpenToEveryUser) {
#ifndef _WIN32
  GTEST_SKIP() << "Windows only";
#else
  testing_support::TempDir dir;
  const std::string folder = dir.Sub("log");
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
  const std::string log = folder + "\\Stowmaster_20240305.LOG";
  ASSERT_TRUE(platform::DefaultEnv().AppendToFile(log.c_str(), "line\r\n", 6).ok());
  // No access list at all (Windows), or one that lets Everyone write (Wine,
  // which keeps the access in the Unix mode).
  std::string culprit;
  platform::ChangeRights rights;
  EXPECT_TRUE(platform::DefaultEnv().WhoMayChange(log.c_str(), &rights, &culprit).ok());
  EXPECT_EQ(rights, platform::ChangeRights::kOthersMayWrite);
  EXPECT_EQ(culprit, log);
#endif
}

}  // namespace
}  // namespace stow
