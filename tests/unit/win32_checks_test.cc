// The Win32 layer's refusals and its service-account test, with inputs that
// Wine cannot make from real files and accounts.
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/win32/checks.h"
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

}  // namespace
}  // namespace stow
