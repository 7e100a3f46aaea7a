// The Windows folders the program writes through: the log folder's own DACL,
// and what is known of a folder before the program trusts it; who other than
// this account may write a folder, or change what a path leads to (the
// plan's writable-by-others, and the restart record's owner check).
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "Platform/files/files.h"
#include "Platform/win32_support.h"
#include "Rules/folder_trust.h"

namespace platform {

namespace win32 {

std::string AccountSidText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
  DWORD length = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &length);
  std::string text;
  if (length > 0) {
    std::vector<unsigned char> buffer(length);
    if (GetTokenInformation(token, TokenUser, buffer.data(), length, &length)) {
      text = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    }
  }
  CloseHandle(token);
  return text;
}

std::string LogFolderSddl(const std::string& account_sid) {
  // P: protected, nothing inherited from the parent; each ACE is inherited by
  // what is created inside (OICI) and grants full control (FA).
  return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account_sid + ")";
}

namespace {

// The log folder's security descriptor (LogFolderSddl for the running
// account), to be freed with LocalFree; null with the system error number.
PSECURITY_DESCRIPTOR LogFolderDescriptor(uint32_t* error) {
  const std::string account = AccountSidText();
  if (account.empty()) {
    *error = ERROR_NO_TOKEN;
    return nullptr;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          LogFolderSddl(account).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    *error = GetLastError();
    return nullptr;
  }
  return descriptor;
}

}  // namespace

bool CreateFolderWithOwnDacl(const std::wstring& folder, uint32_t* error) {
  PSECURITY_DESCRIPTOR descriptor = LogFolderDescriptor(error);
  if (descriptor == nullptr) return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  BOOL created = CreateDirectoryW(folder.c_str(), &attributes);
  *error = created ? ERROR_SUCCESS : GetLastError();
  LocalFree(descriptor);
  return created != FALSE;
}

bool ProtectFolder(const std::wstring& folder, uint32_t* error) {
  PSECURITY_DESCRIPTOR descriptor = LogFolderDescriptor(error);
  if (descriptor == nullptr) return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  DWORD code = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ? ERROR_SUCCESS
                                                                                  : GetLastError();
  // The entry itself, not what a junction or link in its place points at.
  HANDLE handle = code != ERROR_SUCCESS
                      ? INVALID_HANDLE_VALUE
                      : CreateFileW(folder.c_str(),
                                    READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  if (code == ERROR_SUCCESS && handle == INVALID_HANDLE_VALUE) code = GetLastError();
  if (handle != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
      code = GetLastError();
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
               (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      code = ERROR_ACCESS_DENIED;
    } else {
      code = SetSecurityInfo(handle,
                             SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr,
                             nullptr,
                             dacl,
                             nullptr);
    }
    CloseHandle(handle);
  }
  LocalFree(descriptor);
  *error = code;
  return code == ERROR_SUCCESS;
}

bool ReadAllAt(void* handle, uint64_t offset, void* buffer, size_t count) {
  char* out = static_cast<char*>(buffer);
  while (count > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD read = 0;
    if (!ReadFile(static_cast<HANDLE>(handle), out, chunk, &read, &at) || read == 0) return false;
    out += read;
    offset += read;
    count -= read;
  }
  return true;
}

bool ReadFolderFacts(const std::wstring& folder, FolderFacts* facts, uint32_t* error) {
  // The entry itself, not what a junction or link in its place points at.
  HANDLE handle = CreateFileW(folder.c_str(),
                              READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  *facts = FolderFacts();
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information)) {
    facts->is_folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts->is_link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }
  // The name's own attributes as well: Wine follows a symbolic link when it
  // opens it, and tells it apart only here.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    facts->is_link = true;
  }
  facts->owner = OwnerOfHandle(handle);
  CloseHandle(handle);
  return true;
}

FolderOwner OwnerOfHandle(void* handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(static_cast<HANDLE>(handle),
                      SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION,
                      &owner,
                      nullptr,
                      nullptr,
                      nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return FolderOwner::kOther;
  }
  const FolderOwner result = ClassifyOwnerSid(SidText(owner), AccountSidText());
  LocalFree(descriptor);
  return result;
}

}  // namespace win32

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

}  // namespace platform
