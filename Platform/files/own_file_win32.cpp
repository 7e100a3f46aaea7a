// The Windows reading of a file only the running account could have written,
// of the machine's secret, and of a folder's one name.
#include <windows.h>

#include <aclapi.h>
#include <shlobj.h>

#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Platform/win32_support.h"

namespace platform {
namespace {

// The final path of an open file or folder; empty when the system cannot tell.
std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        handle, &path[0], static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // too small: the length asked for counts the terminator
  }
}

HANDLE OpenFolder(const std::wstring& folder) {
  return CreateFileW(folder.c_str(),
                     FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr,
                     OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

// Answers whether the open file is the one its name stands for in its
// folder: Wine follows a symbolic link even when asked to open the link, and
// shows it by no attribute; only where the handle leads tells.
bool OpenedByItsOwnName(HANDLE file, const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return false;
  // The separator stays, so that "C:\" names the root, not C:'s current folder.
  HANDLE folder = OpenFolder(path.substr(0, cut + 1));
  if (folder == INVALID_HANDLE_VALUE) return false;
  std::wstring expected = FinalPath(folder);
  CloseHandle(folder);
  if (expected.empty()) return false;
  if (expected.back() != L'\\') expected += L'\\';
  expected += path.substr(cut + 1);
  const std::wstring opened = FinalPath(file);
  return !opened.empty() && CompareStringOrdinal(expected.c_str(),
                                                 static_cast<int>(expected.size()),
                                                 opened.c_str(),
                                                 static_cast<int>(opened.size()),
                                                 TRUE) == CSTR_EQUAL;
}

// Answers whether an account other than the running one, SYSTEM and
// Administrators owns the file or may change it (with secret: or read it).
bool OthersMayReach(HANDLE file, bool secret) {
  constexpr DWORD kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE |
                            GENERIC_WRITE | GENERIC_ALL;
  constexpr DWORD kReads = FILE_READ_DATA | GENERIC_READ;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file,
                      SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner,
                      nullptr,
                      &dacl,
                      nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  const bool open = win32::OthersHoldRights(owner, dacl, secret ? kWrites | kReads : kWrites);
  LocalFree(descriptor);
  return open;
}

OwnFileRead Judge(HANDLE file, const std::wstring& path, bool secret, uint64_t limit) {
  if (GetFileType(file) != FILE_TYPE_DISK) return OwnFileRead::kNotRegular;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return OwnFileRead::kUnreadable;
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return OwnFileRead::kLink;
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return OwnFileRead::kNotRegular;
  }
  if (!OpenedByItsOwnName(file, path)) return OwnFileRead::kLink;
  if (limit != UINT64_MAX && information.nNumberOfLinks > 1) return OwnFileRead::kLink;
  const uint64_t size = (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  if (size > limit) return OwnFileRead::kTooLarge;
  if (OthersMayReach(file, secret)) return OwnFileRead::kForeign;
  return OwnFileRead::kRead;
}

}  // namespace

OwnFileRead ReadOwnFile(const std::wstring& path, std::string* content, bool secret,
                        uint64_t limit) {
  content->clear();
  // The name's own attributes: Wine follows a symbolic link when it opens it.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? OwnFileRead::kMissing
               : OwnFileRead::kUnreadable;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return OwnFileRead::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return OwnFileRead::kNotRegular;
  HANDLE file = CreateFileW(path.c_str(),
                            GENERIC_READ | READ_CONTROL,
                            FILE_SHARE_READ,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return OwnFileRead::kUnreadable;
  OwnFileRead outcome = Judge(file, path, secret, limit);
  char buffer[8192];
  DWORD count = 0;
  while (outcome == OwnFileRead::kRead) {
    if (!ReadFile(file, buffer, sizeof buffer, &count, nullptr)) {
      outcome = OwnFileRead::kUnreadable;
    } else if (count == 0) {
      break;
    } else {
      content->append(buffer, count);
      if (content->size() > limit) outcome = OwnFileRead::kTooLarge;  // it grew
    }
  }
  CloseHandle(file);
  if (outcome != OwnFileRead::kRead) content->clear();
  return outcome;
}

bool FolderIdentity(const std::wstring& folder, std::string* identity, uint32_t* error) {
  // A link on the way is followed: the folder it leads to is the one named.
  HANDLE handle = OpenFolder(folder);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  const std::wstring path = FinalPath(handle);
  const DWORD code = GetLastError();
  CloseHandle(handle);
  if (path.empty()) {
    *error = code;
    return false;
  }
  // File systems fold letter case character by character, as the invariant
  // upper-case mapping does.
  const int size = static_cast<int>(path.size());
  std::wstring upper(path.size(), L'\0');
  if (LCMapStringEx(LOCALE_NAME_INVARIANT,
                    LCMAP_UPPERCASE,
                    path.c_str(),
                    size,
                    &upper[0],
                    size,
                    nullptr,
                    nullptr,
                    0) != size) {
    *error = GetLastError();
    return false;
  }
  *identity = WideToUtf8(upper);
  return true;
}

std::wstring MachineSecretPath() {
  wchar_t folder[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) !=
      S_OK) {
    return std::wstring();
  }
  return CombinePath(folder, L"Taverly\\machine.key");
}

bool SecretFolderClosed(const std::wstring& path) {
  const std::wstring folder = path.substr(0, path.find_last_of(L"\\/"));
  FolderFacts facts;
  uint32_t error = ERROR_SUCCESS;
  if (!win32::ReadFolderFacts(folder, &facts, &error)) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  // As the folder is judged when the secret is made in it.
  return facts.is_folder && !facts.is_link && facts.owner != FolderOwner::kOther &&
         !OthersMayWriteFolder(folder);
}

}  // namespace platform
