// The Windows side of what keeps other accounts out of a run: the
// single-instance mutex, the system-only library search, owner-only files,
// who may write the program's folder.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "Platform/folder_trust.h"
#include "Platform/instance_guard.h"
#include "Platform/platform.h"
#include "Platform/win32_support.h"

namespace platform {

void UseSystemLibrarySearch() {
  // The toolchain's linker has no flag for the loader's own search of the
  // program's imports; this covers every load after it.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

InstanceClaim ClaimSingleInstance() { return win32::ClaimGuard(L"Global\\VXTaverly_Mutex"); }

bool OthersMayWriteFolder(const std::wstring& folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(),
                            SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner,
                            nullptr,
                            &dacl,
                            nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  constexpr DWORD kWrites = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_DATA |
                            FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE |
                            GENERIC_ALL;
  std::vector<AccessEntry> allowed;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
        ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    allowed.push_back({win32::SidText(&ace->SidStart), (ace->Mask & kWrites) != 0});
  }
  const bool open =
      OthersMayWrite(win32::SidText(owner), win32::AccountSidText(), dacl != nullptr, allowed);
  LocalFree(descriptor);
  return open;
}

namespace win32 {

std::string OwnerOnlySddl(const std::string& account_sid) {
  return "D:P(A;;FA;;;" + account_sid + ")";
}

std::string GuardSddl() {
  // Owned by Administrators, whichever of SYSTEM or an administrator makes
  // it, so that a second copy knows it; P: nothing inherited; GA: all access.
  return "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
}

namespace {

// Creates or opens the mutex name, made with the security descriptor sddl.
HANDLE CreateGuard(const std::wstring& name, const std::string& sddl, DWORD* error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    *error = GetLastError();
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
  *error = GetLastError();
  LocalFree(descriptor);
  return mutex;
}

}  // namespace

InstanceClaim ClaimGuard(const std::wstring& name) {
  // The handle is deliberately never closed; the system closes it at exit.
  DWORD error = ERROR_SUCCESS;
  HANDLE mutex = CreateGuard(name, GuardSddl(), &error);
  if (mutex == nullptr && error == ERROR_INVALID_OWNER) {
    // A token that may not name Administrators owner gives its default owner.
    mutex = CreateGuard(name, GuardSddl().substr(4), &error);
  }
  GuardFacts facts;
  facts.opened = mutex != nullptr;
  facts.taken = facts.opened && error == ERROR_ALREADY_EXISTS;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR found = nullptr;
  if (facts.taken && GetSecurityInfo(mutex,
                                     SE_KERNEL_OBJECT,
                                     OWNER_SECURITY_INFORMATION,
                                     &owner,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     &found) == ERROR_SUCCESS) {
    // No account SID: the running account counts for nothing of its own.
    facts.owner = ClassifyOwnerSid(SidText(owner), std::string());
    LocalFree(found);
  }
  return DecideInstanceClaim(facts);
}

}  // namespace win32
}  // namespace platform
