// What other accounts can do to a run, as the real Win32 calls answer it.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Platform/dacl_win32_test.h"
#include "Platform/platform.h"
#include "Platform/win32_support.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::InstanceClaim;

// A guard of the test's own name; the program's is left to the program. The
// planted one is owned by another user, as a standard user's would be.
TEST(SecurityWin32Test, OnlyAGuardOwnedByAdministratorsIsARunningCopy) {
  const std::wstring own = L"Global\\TaverlyTestGuard" + std::to_wstring(GetCurrentProcessId());
  EXPECT_EQ(platform::win32::ClaimGuard(own), InstanceClaim::kOnlyCopy);
  EXPECT_EQ(platform::win32::ClaimGuard(own), InstanceClaim::kAlreadyRunning);

  PSECURITY_DESCRIPTOR planted = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)", SDDL_REVISION_1, &planted, nullptr));
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, planted, FALSE};
  HANDLE user = CreateMutexW(&attributes, FALSE, (own + L"planted").c_str());
  LocalFree(planted);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(platform::win32::ClaimGuard(own + L"planted"), InstanceClaim::kHeldByOtherAccount);
  CloseHandle(user);
}

// Wine sets USERNAME for every program it starts, so only here can a test
// give the program a USERNAME of its own.
TEST(SecurityWin32Test, LogUserNameIsTheTokensNotUsername) {
  _putenv("USERNAME=x\\..\\..\\escaped");
  const std::string user = platform::LogUserName();
  _putenv(("USERNAME=" + platform::AccountName()).c_str());
  EXPECT_EQ(user, platform::AccountName());
}

// Wine keeps no DACL of a file: it maps the one a file is made with onto
// permission bits and reads those back, so there only the absence of every
// other account shows; a file made without one lets everyone read it.
TEST(SecurityWin32Test, OwnerOnlyFileIsClosedToEveryOtherAccount) {
  TempFolder tmp;
  const std::wstring secret = tmp.wpath() + L"\\a.key", open = tmp.wpath() + L"\\a.pub";
  uint32_t error = 0;
  ASSERT_TRUE(platform::CreateNewFile(secret, "s", true, &error)) << error;
  ASSERT_TRUE(platform::CreateNewFile(open, "p", false, &error)) << error;
  const std::string account = platform::win32::AccountSidText();
  EXPECT_EQ(platform::win32::OwnerOnlySddl(account), "D:P(A;;FA;;;" + account + ")");
  const std::string closed = DaclText(secret);
  EXPECT_NE(closed.find(";" + account + ")"), std::string::npos) << closed;
  for (const char* other : {";WD)", ";BU)", ";AU)"}) {
    EXPECT_EQ(closed.find(other), std::string::npos) << closed;
  }
  EXPECT_NE(DaclText(open).find(";WD)"), std::string::npos) << DaclText(open);
}

}  // namespace
