// The Windows log folder: its own DACL, made, given and read back, and the
// folders it refuses. CI runs these under Wine, which keeps no DACL.
#include "Platform/files/files.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
// winbase.h maps the name to WriteProfileStringW; the layer's function is meant.
#undef WriteProfileString

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Platform/files/dacl_win32_test.h"
#include "Platform/win32_support.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

std::string DaclText(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(),
                            SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return "<unreadable>";
  }
  LPSTR text = nullptr;
  std::string sddl = "<no text>";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    sddl = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return sddl;
}

namespace {

// Wine maps a file's DACL onto Unix permission bits and does not keep it:
// what it reads back is made from the bits.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether the folder's DACL lets Everyone, Users or Authenticated Users add,
// change or remove anything, or change the folder's own security.
bool OthersMayWrite(const std::wstring& folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(),
                            SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION,
                            nullptr,
                            nullptr,
                            &dacl,
                            nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  const DWORD writing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                        FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                        GENERIC_ALL;
  bool may = dacl == nullptr;  // no DACL at all: everyone may do everything
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
        ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Mask & writing) == 0) {
      continue;
    }
    LPSTR text = nullptr;
    if (ConvertSidToStringSidA(&ace->SidStart, &text)) {
      const std::string sid = text;
      LocalFree(text);
      if (sid == "S-1-1-0" || sid == "S-1-5-32-545" || sid == "S-1-5-11") may = true;
    }
  }
  LocalFree(descriptor);
  return may;
}

TEST(PlatformWin32Test, LogFolderDaclIsProtectedAndGrantsThreeAccountsAlone) {
  const std::string account = platform::win32::AccountSidText();
  ASSERT_EQ(account.rfind("S-1-5-", 0), 0u) << account;
  const std::string sddl = platform::win32::LogFolderSddl(account);
  EXPECT_EQ(sddl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account + ")");

  // The system reads the text as meant: protected, three full-control ACEs
  // inherited by files and folders, for exactly these three SIDs.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_EQ(dacl->AceCount, 3);
  std::vector<std::string> sids;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
    LPSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(&ace->SidStart, &text));
    sids.push_back(text);
    LocalFree(text);
  }
  LocalFree(descriptor);
  EXPECT_EQ(sids, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544", account}));
}

TEST(PlatformWin32Test, LogFolderIsMadeWithItsOwnDaclAndReused) {
  TempFolder tmp;
  const std::wstring folder = tmp.wpath() + L"\\a\\hoxinst_log";
  ASSERT_TRUE(platform::PrepareLogFolder(folder));
  const std::string account = platform::win32::AccountSidText();
  const std::string dacl = DaclText(folder);
  if (UnderWine()) {
    // What the permission bits can say: the account may, nobody else may.
    EXPECT_NE(dacl.find(";FA;;;" + account + ")"), std::string::npos) << dacl;
    for (const char* other : {";;;WD)", ";;;BU)", ";;;AU)"}) {
      EXPECT_EQ(dacl.find(other), std::string::npos) << dacl;
    }
  } else {
    EXPECT_EQ(dacl, platform::win32::LogFolderSddl(account));
  }
  platform::FolderFacts facts;
  uint32_t error = 0;
  ASSERT_TRUE(platform::win32::ReadFolderFacts(folder, &facts, &error));
  EXPECT_TRUE(facts.is_folder);
  EXPECT_FALSE(facts.is_link);
  EXPECT_EQ(facts.owner, platform::FolderOwner::kRunningAccount);
  // An existing folder is reused as it is; a file in its place is refused.
  EXPECT_TRUE(platform::PrepareLogFolder(folder));
  WriteTextFile(tmp.Join("file_log"), "x");
  EXPECT_FALSE(platform::PrepareLogFolder(tmp.wpath() + L"\\file_log"));
  EXPECT_FALSE(platform::PrepareLogFolder(L""));
}

// A log folder left by an earlier version, which took what its parent passed
// on, is used and given the folder's own DACL.
TEST(PlatformWin32Test, LogFolderThatWasThereIsGivenItsOwnDacl) {
  TempFolder tmp;
  const std::wstring folder = tmp.wpath() + L"\\hoxinst_log";
  // Made, then opened to everyone (Wine applies its umask to what a folder
  // is made with, but not to what it is given later).
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  PSECURITY_DESCRIPTOR open_to_all = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open_to_all, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL everyone = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(open_to_all, &present, &everyone, &defaulted));
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()),
                                  SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION,
                                  nullptr,
                                  nullptr,
                                  everyone,
                                  nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(open_to_all);
  ASSERT_TRUE(OthersMayWrite(folder)) << DaclText(folder);

  ASSERT_TRUE(platform::PrepareLogFolder(folder));
  const std::string account = platform::win32::AccountSidText();
  const std::string dacl = DaclText(folder);
  if (UnderWine()) {
    // Wine keeps the bits that let others read; what it can say is that
    // they may no longer write.
    EXPECT_NE(dacl.find(";FA;;;" + account + ")"), std::string::npos) << dacl;
    EXPECT_FALSE(OthersMayWrite(folder)) << dacl;
  } else {
    EXPECT_EQ(dacl, platform::win32::LogFolderSddl(account));
  }
  // A file in a folder's place is not touched.
  WriteTextFile(tmp.Join("file_log"), "x");
  uint32_t error = 0;
  EXPECT_FALSE(platform::win32::ProtectFolder(tmp.wpath() + L"\\file_log", &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

TEST(PlatformWin32Test, LogFolderThatIsASymbolicLinkIsRefused) {
  TempFolder tmp;
  const std::wstring target = tmp.wpath() + L"\\elsewhere";
  const std::wstring link = tmp.wpath() + L"\\hoxinst_log";
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "this system makes no symbolic link here (Wine's CreateSymbolicLinkW makes "
                    "nothing); the end-to-end suite plants one from outside";
  }
  platform::FolderFacts facts;
  uint32_t error = 0;
  ASSERT_TRUE(platform::win32::ReadFolderFacts(link, &facts, &error));
  EXPECT_TRUE(facts.is_link);
  EXPECT_FALSE(platform::PrepareLogFolder(link));
  EXPECT_FALSE(platform::WriteProfileString(L"s", L"k", L"v", link + L"\\r.dat", &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

}  // namespace
