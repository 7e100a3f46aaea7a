// What other accounts of the machine can do to a run, as the real Win32
// calls answer it; CI runs these under Wine.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Platform/platform.h"
#include "Platform/win32_support.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::InstanceClaim;

// A name of this test's own: the program's guard is left to the program.
std::wstring GuardName(const wchar_t* what) {
  return L"Global\\TaverlyTestGuard_" + std::to_wstring(GetCurrentProcessId()) + L"_" + what;
}

// Makes a mutex as another account would, owned by sid.
HANDLE PlantMutex(const std::wstring& name, const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
  LocalFree(descriptor);
  return mutex;
}

std::string OwnerSddlOf(HANDLE object) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object,
                      SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return std::string();
  }
  char* text = nullptr;
  std::string sddl;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION, &text, nullptr)) {
    sddl = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return sddl;
}

// The program's own mutex is owned by Administrators, so a second copy takes
// it for a running copy; one that a user planted first is no copy.
TEST(SecurityWin32Test, OnlyTheProgramsOwnGuardIsARunningCopy) {
  const std::wstring own = GuardName(L"own");
  EXPECT_EQ(platform::win32::ClaimGuard(own), InstanceClaim::kOnlyCopy);
  EXPECT_EQ(platform::win32::ClaimGuard(own), InstanceClaim::kAlreadyRunning);
  HANDLE opened = OpenMutexW(READ_CONTROL, FALSE, own.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(OwnerSddlOf(opened), "O:BA");
  CloseHandle(opened);

  const std::wstring planted = GuardName(L"planted");
  HANDLE user = PlantMutex(planted, "O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)");
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(OwnerSddlOf(user), "O:S-1-5-21-1-2-3-1001");
  EXPECT_EQ(platform::win32::ClaimGuard(planted), InstanceClaim::kHeldByOtherAccount);
  CloseHandle(user);
}

// USERNAME is the caller's to set; the log file's name takes the token's.
TEST(SecurityWin32Test, LogUserNameComesFromTheTokenNotUsername) {
  const std::string account = platform::AccountName();
  ASSERT_FALSE(account.empty());
  const char* saved = std::getenv("USERNAME");
  const std::string before = saved != nullptr ? saved : "";
  _putenv("USERNAME=x\\..\\..\\..\\escaped");
  const std::string user = platform::LogUserName();
  _putenv(("USERNAME=" + before).c_str());
  EXPECT_EQ(user, account);
}

std::string DaclSddlOf(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(),
                            SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return std::string();
  }
  char* text = nullptr;
  std::string sddl;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    sddl = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return sddl;
}

// A secret key file is closed to every other account from its first moment,
// whatever the folder passes down; a public one keeps what it inherits. Wine
// keeps no DACL of a file: it maps the one a file is made with onto
// permission bits and reads those back, so there only the absence of every
// other account can be seen.
TEST(SecurityWin32Test, OwnerOnlyFileIsClosedToEveryOtherAccount) {
  TempFolder tmp;
  const std::wstring secret = tmp.wpath() + L"\\a.key", open = tmp.wpath() + L"\\a.pub";
  uint32_t error = 0;
  ASSERT_TRUE(platform::CreateNewFile(secret, "s", true, &error)) << error;
  ASSERT_TRUE(platform::CreateNewFile(open, "p", false, &error)) << error;
  const std::string account = platform::win32::AccountSidText();
  ASSERT_FALSE(account.empty());
  EXPECT_EQ(platform::win32::OwnerOnlySddl(account), "D:P(A;;FA;;;" + account + ")");
  const std::string closed = DaclSddlOf(secret), inherited = DaclSddlOf(open);
  EXPECT_NE(closed.find(";" + account + ")"), std::string::npos) << closed;
  for (const char* other : {";WD)", ";BU)", ";AU)"})
    EXPECT_EQ(closed.find(other), std::string::npos) << closed;
  EXPECT_NE(inherited.find(";WD)"), std::string::npos) << inherited;
}

}  // namespace
