// The single-instance guard on Windows: the mutex, owned by Administrators,
// and the lock file in the system's Windows folder that no other account
// can make first.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "Platform/files/files.h"
#include "Platform/win32_support.h"
#include "Rules/folder_trust.h"
#include "Rules/instance_guard.h"

namespace platform {

InstanceClaim ClaimSingleInstance(uint32_t* error) {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring lock_file = length > 0 && length < MAX_PATH
                                     ? std::wstring(windows) + L"\\VXTaverly_Mutex.lock"
                                     : std::wstring();
  return win32::ClaimGuard(L"Global\\VXTaverly_Mutex", lock_file, error);
}

namespace win32 {

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

FolderOwner OwnerOfGuard(HANDLE mutex) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR found = nullptr;
  if (GetSecurityInfo(mutex,
                      SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION,
                      &owner,
                      nullptr,
                      nullptr,
                      nullptr,
                      &found) != ERROR_SUCCESS) {
    return FolderOwner::kOther;
  }
  // No account SID: the running account counts for nothing of its own.
  const FolderOwner result = ClassifyOwnerSid(SidText(owner), std::string());
  LocalFree(found);
  return result;
}

// Takes the lock file: opened with no sharing, so that no other process can
// open it while this one lives, and removed when the system closes the
// handle at exit. The handle is deliberately never closed.
SecondGuard TakeLockFile(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (path.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                          "D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return SecondGuard::kNone;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE file = CreateFileW(path.c_str(),
                            GENERIC_READ | GENERIC_WRITE | DELETE,
                            0,
                            &attributes,
                            OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                            nullptr);
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (file != INVALID_HANDLE_VALUE) return SecondGuard::kHeld;
  // Anything else (a file an administrator made and shut this account out
  // of, one another copy is just closing) leaves the mutex to decide.
  return error == ERROR_SHARING_VIOLATION ? SecondGuard::kTaken : SecondGuard::kNone;
}

}  // namespace

InstanceClaim ClaimGuard(const std::wstring& name, const std::wstring& lock_file, uint32_t* error) {
  // The handle is deliberately never closed; the system closes it at exit.
  DWORD code = ERROR_SUCCESS;
  HANDLE mutex = CreateGuard(name, GuardSddl(), &code);
  if (mutex == nullptr && code == ERROR_INVALID_OWNER) {
    // A token that may not name Administrators owner gives its default owner.
    mutex = CreateGuard(name, GuardSddl().substr(4), &code);
  }
  GuardFacts facts;
  facts.opened = mutex != nullptr;
  facts.taken = facts.opened && code == ERROR_ALREADY_EXISTS;
  if (facts.taken) facts.owner = OwnerOfGuard(mutex);
  facts.error = facts.opened ? ERROR_SUCCESS : code;
  // Every copy, whatever the mutex said: one that found the name taken and
  // one that came after the taker let it go must still see each other.
  facts.second = TakeLockFile(lock_file);
  *error = facts.error;
  return DecideInstanceClaim(facts);
}

}  // namespace win32
}  // namespace platform
