// The Win32 layer's refusals and its service-account test, with inputs that
// Wine cannot make from real files and accounts.
#include <gtest/gtest.h>

#include "../support/windows_headers.h"

#include <string>

#include "platform/win32/checks.h"

#ifdef _WIN32
#include "platform/platform.h"
#include "temp_dir.h"
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
  auto view = platform::DefaultEnv().OpenSharedFile(path, "", kSize, "");
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

}  // namespace
}  // namespace stow
