// The files the program writes on Windows: the result file through
// WritePrivateProfileStringW, the run report and new files written whole,
// each only in a folder the program may write through.
#include <windows.h>

#include <sddl.h>
#include <winternl.h>

// winbase.h maps the name to WriteProfileStringW; the layer's own function
// of that name is meant here.
#undef WriteProfileString

#include <string>

#include "Platform/files/files.h"
#include "Platform/win32_support.h"
#include "Rules/folder_trust.h"

namespace platform {
namespace {

// The folder part of a path: everything before its last separator.
std::wstring FolderOf(const std::wstring& path) {
  size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring(L".") : path.substr(0, separator);
}

// The last part of a path: everything after its last separator.
std::wstring NameOf(const std::wstring& path) {
  size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// Refuses a folder that exists but may not be written through. A folder that
// is not there is left to the call that needs it, which fails with its own
// error.
bool FolderMayBeWritten(const std::wstring& folder, DWORD* error) {
  FolderFacts facts;
  uint32_t open_error = 0;
  if (!win32::ReadFolderFacts(folder, &facts, &open_error)) {
    if (open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND) return true;
    *error = open_error;
    return false;
  }
  if (MayWriteThroughFolder(facts)) return true;
  *error = ERROR_ACCESS_DENIED;
  return false;
}

}  // namespace

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path, uint32_t* error) {
  DWORD refused = 0;
  if (!FolderMayBeWritten(FolderOf(path), &refused)) {
    *error = refused;
    return false;
  }
  if (WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str())) {
    return true;
  }
  *error = GetLastError();
  return false;
}

bool DeleteProfileKey(const std::wstring& section, const std::wstring& key,
                      const std::wstring& path, uint32_t* error) {
  // Asked first, so that a file without the key is not touched at all.
  wchar_t value[2] = {};
  const wchar_t kAbsent[] = L"\x01";
  GetPrivateProfileStringW(section.c_str(), key.c_str(), kAbsent, value, 2, path.c_str());
  if (value[0] == kAbsent[0]) return true;
  DWORD refused = 0;
  if (!FolderMayBeWritten(FolderOf(path), &refused)) {
    *error = refused;
    return false;
  }
  if (WritePrivateProfileStringW(section.c_str(), key.c_str(), nullptr, path.c_str())) return true;
  *error = GetLastError();
  return false;
}

namespace {

// Makes a file at path as disposition says (CREATE_ALWAYS, CREATE_NEW) and
// writes content into it, flushed to disk with flush. A file made but not
// written whole is deleted again; one that could not be made is left alone.
// False with the system error number.
bool WriteWholeFile(const std::wstring& path, DWORD disposition, const std::string& content,
                    bool flush, DWORD* error, SECURITY_ATTRIBUTES* security = nullptr) {
  HANDLE file = CreateFileW(
      path.c_str(), GENERIC_WRITE, 0, security, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  DWORD written = 0;
  const bool ok =
      content.size() <= 0xFFFFFFFFu &&
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      written == content.size() && (!flush || FlushFileBuffers(file));
  const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(file);
  if (!ok) {
    DeleteFileW(path.c_str());
    *error = code != ERROR_SUCCESS ? code : ERROR_WRITE_FAULT;
  }
  return ok;
}

// Renames source over target. A reader that has the target open without
// FILE_SHARE_DELETE (an installer polling the run report, for one) makes the
// rename fail for as long as it holds the file, so the rename is tried again
// for a while before it counts as failed. GetLastError() tells why.
bool MoveOverFile(const std::wstring& source, const std::wstring& target, bool flush) {
  constexpr int kAttempts = 20;
  constexpr DWORD kPauseMs = 25;
  const DWORD move = MOVEFILE_REPLACE_EXISTING | (flush ? MOVEFILE_WRITE_THROUGH : 0);
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(source.c_str(), target.c_str(), move)) return true;
    const DWORD code = GetLastError();
    // A folder in the target's place gives ERROR_ACCESS_DENIED too, for good.
    const DWORD target_attributes = GetFileAttributesW(target.c_str());
    const bool folder = target_attributes != INVALID_FILE_ATTRIBUTES &&
                        (target_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool held = !folder && (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
                                  code == ERROR_LOCK_VIOLATION);
    if (!held || attempt == kAttempts) {
      SetLastError(code);
      return false;
    }
    Sleep(kPauseMs);
  }
}

// Owner only: a protected DACL for the creating account alone, from the
// moment the file exists, whatever the folder passes down. LocalFree frees it.
bool OwnerOnlyDescriptor(PSECURITY_DESCRIPTOR* descriptor, uint32_t* error) {
  const std::string account = win32::AccountSidText();
  if (account.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(
          win32::OwnerOnlySddl(account).c_str(), SDDL_REVISION_1, descriptor, nullptr)) {
    *error = account.empty() ? ERROR_NO_TOKEN : GetLastError();
    return false;
  }
  return true;
}

}  // namespace

bool ReplaceFileContent(const std::wstring& path, const std::string& content, bool flush,
                        uint32_t* error, bool owner_only) {
  DWORD refused = 0;
  if (!FolderMayBeWritten(FolderOf(path), &refused)) {
    *error = refused;
    return false;
  }
  const std::wstring temp = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  DWORD code = ERROR_SUCCESS;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (owner_only) {
    if (!OwnerOnlyDescriptor(&descriptor, error)) return false;
    DeleteFileW(temp.c_str());  // a file that is there keeps its own DACL
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  const bool written = WriteWholeFile(
      temp, CREATE_ALWAYS, content, flush, &code, owner_only ? &attributes : nullptr);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (!written) {
    *error = code;
    return false;
  }
  if (!MoveOverFile(temp, path, flush)) {
    *error = GetLastError();
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

std::string win32::OwnerOnlySddl(const std::string& account_sid) {
  return "D:P(A;;FA;;;" + account_sid + ")";
}

bool CreateNewFile(const std::wstring& path, const std::string& content, bool owner_only,
                   uint32_t* error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (owner_only && !OwnerOnlyDescriptor(&descriptor, error)) return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  DWORD code = ERROR_SUCCESS;
  const bool written =
      WriteWholeFile(path, CREATE_NEW, content, true, &code, owner_only ? &attributes : nullptr);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (!written) *error = code;
  return written;
}

bool CreateSecretFile(const std::wstring& path, const std::string& content, uint32_t* error) {
  // SYSTEM and Administrators alone, nothing inherited, from the moment each
  // exists: the folder passes its entries down, the file needs none.
  PSECURITY_DESCRIPTOR folder_descriptor = nullptr, file_descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &folder_descriptor, nullptr) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &file_descriptor, nullptr)) {
    *error = GetLastError();
    LocalFree(folder_descriptor);
    return false;
  }
  SECURITY_ATTRIBUTES folder_security = {sizeof folder_security, folder_descriptor, FALSE};
  SECURITY_ATTRIBUTES file_security = {sizeof file_security, file_descriptor, FALSE};
  const std::wstring folder = FolderOf(path);
  DWORD code = CreateDirectoryW(folder.c_str(), &folder_security) ? ERROR_SUCCESS : GetLastError();
  if (code == ERROR_ALREADY_EXISTS) code = ERROR_SUCCESS;
  FolderFacts facts;
  uint32_t facts_error = ERROR_SUCCESS;
  if (code == ERROR_SUCCESS &&
      (!win32::ReadFolderFacts(folder, &facts, &facts_error) || !facts.is_folder || facts.is_link ||
       facts.owner == FolderOwner::kOther || OthersMayWriteFolder(folder))) {
    code = facts_error != ERROR_SUCCESS ? facts_error : ERROR_ACCESS_DENIED;
  }
  // A new name: an existing file would keep its own DACL. The move keeps a
  // file that is at path already (ERROR_ALREADY_EXISTS), which is the one.
  const std::wstring temp = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  if (code == ERROR_SUCCESS) DeleteFileW(temp.c_str());
  if (code == ERROR_SUCCESS &&
      WriteWholeFile(temp, CREATE_NEW, content, true, &code, &file_security) &&
      !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    code = GetLastError();
    DeleteFileW(temp.c_str());
    if (code == ERROR_ALREADY_EXISTS) code = ERROR_SUCCESS;
  }
  LocalFree(folder_descriptor);
  LocalFree(file_descriptor);
  *error = code;
  return code == ERROR_SUCCESS;
}

namespace {

// Opens the entry name of the folder handle, relative to that handle, with
// access: a link there is opened itself, not what it leads to. Null with the
// system error number.
HANDLE OpenEntryIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access, DWORD* error) {
  using OpenFile =
      NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
  using ToDosError = ULONG(NTAPI*)(NTSTATUS);
  // The system's own library, there in every process; the kernel32 calls
  // open by path only.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto open_file =
      reinterpret_cast<OpenFile>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtOpenFile")));
  const auto to_dos_error = reinterpret_cast<ToDosError>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (open_file == nullptr || to_dos_error == nullptr || name.empty() || name.size() > 32000) {
    *error = open_file == nullptr ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_NAME;
    return nullptr;
  }
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status_block;
  HANDLE entry = nullptr;
  const NTSTATUS status = open_file(
      &entry,
      access | SYNCHRONIZE,
      &attributes,
      &status_block,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT);
  if (status < 0) {
    *error = to_dos_error(status);
    return nullptr;
  }
  return entry;
}

DWORD AttributesOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(handle, &information) ? information.dwFileAttributes
                                                          : INVALID_FILE_ATTRIBUTES;
}

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Removes the entry name of the folder handle: a file, or a link itself; a
// folder there is left alone.
RemoveOutcome RemoveEntryIn(HANDLE folder, const std::wstring& name, uint32_t* error) {
  DWORD code = ERROR_SUCCESS;
  HANDLE entry = OpenEntryIn(folder, name, DELETE | FILE_READ_ATTRIBUTES, &code);
  if (entry == nullptr) {
    if (IsMissing(code)) return RemoveOutcome::kNothing;
    *error = code;
    return RemoveOutcome::kFailed;
  }
  const DWORD attributes = AttributesOf(entry);
  RemoveOutcome outcome = RemoveOutcome::kNothing;
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    outcome =
        SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition)
            ? RemoveOutcome::kRemoved
            : RemoveOutcome::kFailed;
    if (outcome == RemoveOutcome::kFailed) *error = GetLastError();
  }
  CloseHandle(entry);  // the entry goes now
  return outcome;
}

// A link in the log folder's place (entry, opened in above): a file a
// reader finds through it is another account's, so the link goes.
RemoveOutcome RemoveLinkedFolder(HANDLE above, HANDLE entry, const std::wstring& folder,
                                 const std::wstring& path, uint32_t* error) {
  // Only a look through the link, which changes nothing.
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return RemoveOutcome::kNothing;
  // Windows opens the link itself; Wine opens what it leads to, which shows
  // as a plain folder, and must not be removed.
  if ((AttributesOf(entry) & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    *error = ERROR_NOT_SUPPORTED;
    return RemoveOutcome::kFailed;
  }
  return RemoveEntryIn(above, NameOf(folder), error);
}

}  // namespace

RemoveOutcome RemoveProfileFile(const std::wstring& path, uint32_t* error) {
  // Every step from the folder above down is relative to a handle, so no
  // link put anywhere on the way meanwhile can lead the removal elsewhere.
  const std::wstring folder = FolderOf(path);
  HANDLE above = CreateFileW(FolderOf(folder).c_str(),
                             FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS,
                             nullptr);
  if (above == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (IsMissing(code)) return RemoveOutcome::kNothing;
    *error = code;
    return RemoveOutcome::kFailed;
  }
  DWORD code = ERROR_SUCCESS;
  HANDLE entry = OpenEntryIn(above, NameOf(folder), FILE_TRAVERSE | FILE_READ_ATTRIBUTES, &code);
  RemoveOutcome outcome = RemoveOutcome::kNothing;
  if (entry == nullptr) {
    if (!IsMissing(code)) {
      *error = code;
      outcome = RemoveOutcome::kFailed;
    }
  } else {
    const DWORD attributes = AttributesOf(entry);
    const DWORD named = GetFileAttributesW(folder.c_str());
    if (((attributes | (named != INVALID_FILE_ATTRIBUTES ? named : 0)) &
         FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      outcome = RemoveLinkedFolder(above, entry, folder, path, error);
    } else if (attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      outcome = RemoveEntryIn(entry, NameOf(path), error);
    }
    CloseHandle(entry);
  }
  CloseHandle(above);
  return outcome;
}

}  // namespace platform
