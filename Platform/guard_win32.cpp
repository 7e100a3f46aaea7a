// The Windows side of what keeps other accounts out of a run: the
// single-instance mutex and its lock file, the system-only library search, owner-only files,
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

void KeepStandardStreamsTaken() {}

void UseSystemLibrarySearch() {
  // The toolchain's linker has no flag for the loader's own search of the
  // program's imports; this covers every load after it.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

InstanceClaim ClaimSingleInstance(uint32_t* error) {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring lock_file = length > 0 && length < MAX_PATH
                                     ? std::wstring(windows) + L"\\VXTaverly_Mutex.lock"
                                     : std::wstring();
  return win32::ClaimGuard(L"Global\\VXTaverly_Mutex", lock_file, error);
}

namespace win32 {

bool OthersHoldRights(void* owner_sid, void* access_list, uint32_t mask) {
  PACL dacl = static_cast<PACL>(access_list);
  std::vector<AccessEntry> allowed;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
        ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    allowed.push_back({SidText(&ace->SidStart), (ace->Mask & mask) != 0});
  }
  return OthersMayWrite(SidText(owner_sid), AccountSidText(), dacl != nullptr, allowed);
}

}  // namespace win32

namespace {

// Answers whether the owner of path or an allow entry of its access list
// gives an account other than the running one, SYSTEM, Administrators or
// TrustedInstaller one of the rights in mask.
bool OthersHold(const std::wstring& path, DWORD mask) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(),
                            SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner,
                            nullptr,
                            &dacl,
                            nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool open = win32::OthersHoldRights(owner, dacl, mask);
  LocalFree(descriptor);
  return open;
}

}  // namespace

bool OthersMayWriteFolder(const std::wstring& folder) {
  constexpr DWORD kWrites = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_DATA |
                            FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE |
                            GENERIC_ALL;
  return OthersHold(folder, kWrites);
}

namespace {

// Answers whether others may change the file at the full path or what a
// folder above it holds (the deletion or renaming of its entries).
bool OthersMayChangeFullPath(std::wstring current) {
  constexpr DWORD kFileChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER |
                                 DELETE | GENERIC_WRITE | GENERIC_ALL;
  constexpr DWORD kFolderChanges =
      FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL;
  if (OthersHold(current, kFileChanges)) return true;
  for (size_t slash = current.find_last_of(L'\\'); slash != std::wstring::npos && slash > 2;
       slash = current.find_last_of(L'\\')) {
    current.resize(slash);
    if (OthersHold(current, kFolderChanges)) return true;
  }
  return OthersHold(current.substr(0, 2) + L"\\", kFolderChanges);
}

// The path a file finally lies at, links on the way resolved; empty when it
// cannot be told.
std::wstring FinalPathOf(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(),
                            FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  wchar_t final_path[MAX_PATH + 8] = {};
  const DWORD length = GetFinalPathNameByHandleW(file, final_path, MAX_PATH + 8, VOLUME_NAME_DOS);
  CloseHandle(file);
  if (length == 0 || length >= MAX_PATH + 8) return std::wstring();
  std::wstring text(final_path, length);
  const std::wstring prefix = L"\\\\?\\";
  return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
}

// Answers whether others may put a missing file at the full path: whoever
// may add to the nearest folder of it that is there, or change that folder.
bool OthersMayAddMissing(std::wstring folder) {
  constexpr DWORD kFolderAdds = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (size_t slash = folder.find_last_of(L'\\'); slash != std::wstring::npos && slash >= 2;
       slash = folder.find_last_of(L'\\')) {
    folder.resize(slash == 2 ? 3 : slash);  // the root keeps its separator
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (slash == 2) break;
      continue;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (OthersHold(folder, kFolderAdds) || OthersMayChangeFullPath(folder));
  }
  return false;
}

bool OthersMayChangeAt(const std::wstring& path, int links_left) {
  wchar_t full[MAX_PATH] = {};
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  if (GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES) {
    if (OthersMayAddMissing(full)) return true;
  } else {
    // The path as written, whose folders hold any link on the way, and the
    // path it finally leads to.
    if (OthersMayChangeFullPath(full)) return true;
    const std::wstring final_path = FinalPathOf(full);
    if (!final_path.empty() && final_path != full && OthersMayChangeFullPath(final_path)) {
      return true;
    }
  }
  // And every link between: each one's folder, and each folder of what it
  // holds, which may be a link again.
  std::wstring next;
  return links_left > 0 && win32::FollowFirstLink(full, &next) &&
         OthersMayChangeAt(next, links_left - 1);
}

}  // namespace

bool OthersMayChangePath(const std::wstring& path) {
  // As many links as the system follows on one path.
  return OthersMayChangeAt(path, 63);
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
