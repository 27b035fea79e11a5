// The Win32 layer's refusals and its service-account test, with inputs that
// Wine cannot make from real files and accounts.
#include <gtest/gtest.h>

#include "../support/windows_headers.h"

#ifdef _WIN32
#include <string>

#include "platform/platform.h"
#include "platform/win32/checks.h"
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
