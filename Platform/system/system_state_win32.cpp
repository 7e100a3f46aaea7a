// The system state an item's conditions read, on Windows.
#include <windows.h>

#include <string>
#include <vector>

#include "Platform/system/registry_win32.h"
#include "Platform/system/system.h"
#include "Platform/system/system_state.h"

namespace platform {

const wchar_t kInstallerBusySignal[] = L"Global\\_MSIExecute";

namespace {

using win32::RegistryKey;

// The keys whose presence says a restart is pending, under HKLM.
const wchar_t* const kRestartKeys[] = {
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired",
};

struct RegistryRoot {
  const wchar_t* short_name;
  const wchar_t* long_name;
  HKEY key;
};
const RegistryRoot kRoots[] = {
    {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKU", L"HKEY_USERS", HKEY_USERS},
};

bool IsNotThere(LONG code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Opens root\path for reading in the 64-bit view: yes, no (not there) or
// unknown with the error.
Answer OpenKey(HKEY root, const std::wstring& path, RegistryKey* key, uint32_t* error) {
  const LONG code =
      RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key->out());
  if (code == ERROR_SUCCESS) return Answer::kYes;
  if (IsNotThere(code)) return Answer::kNo;
  *error = static_cast<uint32_t>(code);
  return Answer::kUnknown;
}

// A value's data as text: a string as it is, a number in decimal; false for
// other types.
bool ValueText(DWORD type, const std::vector<BYTE>& data, std::wstring* text) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    text->assign(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    while (!text->empty() && text->back() == L'\0') text->pop_back();
    return true;
  }
  if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
    *text = std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()));
    return true;
  }
  if (type == REG_QWORD && data.size() == sizeof(ULONGLONG)) {
    *text = std::to_wstring(*reinterpret_cast<const ULONGLONG*>(data.data()));
    return true;
  }
  return false;
}

// Reads the value name of key; no when it is not there.
Answer ReadValue(HKEY key, const std::wstring& name, DWORD* type, std::vector<BYTE>* data,
                 uint32_t* error) {
  for (int round = 0; round < 4; ++round) {
    DWORD size = static_cast<DWORD>(data->size());
    const LONG code = RegQueryValueExW(
        key, name.c_str(), nullptr, type, data->empty() ? nullptr : data->data(), &size);
    if (code == ERROR_SUCCESS && !data->empty()) {
      data->resize(size);
      return Answer::kYes;
    }
    if (IsNotThere(code)) return Answer::kNo;
    if (code != ERROR_SUCCESS && code != ERROR_MORE_DATA) {
      *error = static_cast<uint32_t>(code);
      return Answer::kUnknown;
    }
    data->resize(size > 0 ? size : 1);  // the value grew, or was measured
  }
  *error = ERROR_MORE_DATA;
  return Answer::kUnknown;
}

// Splits "ROOT\rest" into the root's key and the rest.
bool SplitRoot(const std::wstring& text, HKEY* root, std::wstring* rest) {
  const size_t separator = text.find(L'\\');
  const std::wstring name = text.substr(0, separator);
  for (const RegistryRoot& known : kRoots) {
    if (_wcsicmp(name.c_str(), known.short_name) == 0 ||
        _wcsicmp(name.c_str(), known.long_name) == 0) {
      *root = known.key;
      *rest = separator == std::wstring::npos ? std::wstring() : text.substr(separator + 1);
      return true;
    }
  }
  return false;
}

// Whether the value at the end of path is there and, when data is given,
// reads as it.
Answer ValueHolds(HKEY root, const std::wstring& path, const std::wstring* data, uint32_t* error) {
  const size_t last = path.rfind(L'\\');
  if (last == std::wstring::npos) return Answer::kNo;
  RegistryKey key;
  const Answer opened = OpenKey(root, path.substr(0, last), &key, error);
  if (opened != Answer::kYes) return opened;
  DWORD type = 0;
  std::vector<BYTE> bytes;
  const Answer read = ReadValue(key.get(), path.substr(last + 1), &type, &bytes, error);
  if (read != Answer::kYes || data == nullptr) return read;
  std::wstring text;
  return ValueText(type, bytes, &text) && text == *data ? Answer::kYes : Answer::kNo;
}

}  // namespace

Answer PathIsThere(const std::wstring& path, uint32_t* error) {
  *error = 0;
  if (!path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return Answer::kYes;
  }
  const DWORD code = path.empty() ? ERROR_FILE_NOT_FOUND : GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME ||
      code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME) {
    return Answer::kNo;
  }
  *error = code;
  return Answer::kUnknown;
}

bool IsAbsolutePath(const std::wstring& path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
  return path.size() >= 3 && path[1] == L':' && separator(path[2]);
}

bool InstallerBusy() {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kInstallerBusySignal);
  if (mutex != nullptr) {
    CloseHandle(mutex);
    return true;
  }
  // There, but not for this account to open: busy all the same.
  return GetLastError() == ERROR_ACCESS_DENIED;
}

Answer RestartPending(std::wstring* signal, uint32_t* error) {
  for (const wchar_t* path : kRestartKeys) {
    RegistryKey key;
    const Answer there = OpenKey(HKEY_LOCAL_MACHINE, path, &key, error);
    if (there == Answer::kNo) continue;
    if (there == Answer::kYes) *signal = std::wstring(L"HKLM\\") + path;
    return there;
  }
  return Answer::kNo;
}

Answer RegistryHolds(const std::wstring& text, uint32_t* error) {
  *error = 0;
  HKEY root = nullptr;
  std::wstring path;
  const size_t equals = text.find(L'=');
  const std::wstring name = text.substr(0, equals);
  if (!SplitRoot(name, &root, &path) || path.empty() || path.back() == L'\\') {
    *error = ERROR_INVALID_PARAMETER;
    return Answer::kUnknown;
  }
  if (equals != std::wstring::npos) {
    const std::wstring data = text.substr(equals + 1);
    return ValueHolds(root, path, &data, error);
  }
  RegistryKey key;
  const Answer is_key = OpenKey(root, path, &key, error);
  if (is_key != Answer::kNo) return is_key;
  return ValueHolds(root, path, nullptr, error);
}

bool HasRegistry() { return true; }

}  // namespace platform
