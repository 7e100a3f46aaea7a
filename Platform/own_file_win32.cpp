// The Windows reading of a file only the running account could have written.
#include <windows.h>

#include <aclapi.h>

#include "Platform/folder_trust.h"
#include "Platform/platform.h"
#include "Platform/win32_support.h"

namespace platform {
namespace {

OwnFileRead Judge(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK) return OwnFileRead::kNotRegular;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return OwnFileRead::kUnreadable;
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return OwnFileRead::kLink;
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return OwnFileRead::kNotRegular;
  }
  if (win32::OwnerOfHandle(file) == FolderOwner::kOther) return OwnFileRead::kForeign;
  return OwnFileRead::kRead;
}

}  // namespace

OwnFileRead ReadOwnFile(const std::wstring& path, std::string* content) {
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
  OwnFileRead outcome = Judge(file);
  char buffer[8192];
  DWORD count = 0;
  while (outcome == OwnFileRead::kRead) {
    if (!ReadFile(file, buffer, sizeof buffer, &count, nullptr)) {
      outcome = OwnFileRead::kUnreadable;
    } else if (count == 0) {
      break;
    } else {
      content->append(buffer, count);
    }
  }
  CloseHandle(file);
  if (outcome != OwnFileRead::kRead) content->clear();
  return outcome;
}

}  // namespace platform
