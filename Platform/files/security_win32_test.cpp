// What other accounts can do to a run, as the real Win32 calls answer it.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Platform/files/dacl_win32_test.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Platform/win32_support.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::InstanceClaim;

// A guard of the test's own name and lock file; the program's are left to
// the program. The planted one is owned by another user, as a standard
// user's would be.
TEST(SecurityWin32Test, OnlyAGuardOwnedByAdministratorsIsARunningCopy) {
  TempFolder tmp;
  const std::wstring own = L"Global\\TaverlyTestGuard" + std::to_wstring(GetCurrentProcessId());
  uint32_t error = 0;
  EXPECT_EQ(platform::win32::ClaimGuard(own, tmp.wpath() + L"\\a.lock", &error),
            InstanceClaim::kOnlyCopy);
  EXPECT_EQ(platform::win32::ClaimGuard(own, tmp.wpath() + L"\\b.lock", &error),
            InstanceClaim::kAlreadyRunning);

  PSECURITY_DESCRIPTOR planted = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)", SDDL_REVISION_1, &planted, nullptr));
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, planted, FALSE};
  HANDLE user = CreateMutexW(&attributes, FALSE, (own + L"planted").c_str());
  LocalFree(planted);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(platform::win32::ClaimGuard(own + L"planted", tmp.wpath() + L"\\c.lock", &error),
            InstanceClaim::kHeldByOtherAccount);
  CloseHandle(user);
}

// Whatever another account makes under the mutex's name (a mutex that shuts
// the program out, a semaphore, a file mapping; an event in e2e StartupTest),
// the lock file still tells a second copy.
TEST(SecurityWin32Test, NameTakenByAnotherAccountLeavesTheLockFileToKeepCopiesApart) {
  TempFolder tmp;
  const std::wstring name = L"Global\\TaverlyTestTaken" + std::to_wstring(GetCurrentProcessId());
  PSECURITY_DESCRIPTOR closed = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:(A;;GA;;;S-1-5-21-1-2-3-1001)", SDDL_REVISION_1, &closed, nullptr));
  SECURITY_ATTRIBUTES other_only = {sizeof other_only, closed, FALSE};
  const HANDLE taken[] = {
      CreateMutexW(&other_only, FALSE, (name + L"0").c_str()),
      CreateSemaphoreW(nullptr, 1, 1, (name + L"1").c_str()),
      CreateFileMappingW(
          INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, (name + L"2").c_str())};
  const uint32_t errors[] = {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE};
  for (int i = 0; i < 3; ++i) {
    const std::wstring lock = tmp.wpath() + L"\\" + std::to_wstring(i) + L".lock";
    uint32_t error = 0;
    EXPECT_EQ(platform::win32::ClaimGuard(name + std::to_wstring(i), lock, &error),
              InstanceClaim::kNoHandle)
        << i;
    EXPECT_EQ(error, errors[i]) << i;
    EXPECT_EQ(platform::win32::ClaimGuard(name + std::to_wstring(i), lock, &error),
              InstanceClaim::kAlreadyRunning)
        << i;
    CloseHandle(taken[i]);
  }
  LocalFree(closed);
}

// A name is no proof of the account: a localized system calls its own
// otherwise, and under Wine WINEUSERNAME names the account, so there an
// ordinary account called SYSTEM shows that the SID decides.
TEST(SecurityWin32Test, SystemAccountIsKnownByItsSidNotItsName) {
  wchar_t old[256] = {};
  const bool had = GetEnvironmentVariableW(L"WINEUSERNAME", old, 256) > 0;
  SetEnvironmentVariableW(L"WINEUSERNAME", L"SYSTEM");
  const std::string name = platform::AccountName();
  const bool system = platform::IsSystemAccount();
  SetEnvironmentVariableW(L"WINEUSERNAME", had ? old : nullptr);
  const std::string sid = platform::win32::AccountSidText();
  EXPECT_EQ(system, sid == "S-1-5-18");
  if (name != "SYSTEM" || sid == "S-1-5-18") GTEST_SKIP() << name << " is " << sid;
  EXPECT_FALSE(system) << "an account called SYSTEM is not SYSTEM: " << sid;
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
