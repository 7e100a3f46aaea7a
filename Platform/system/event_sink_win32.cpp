// The run's records in the Application log, source "Taverly" (event_sink.h).
// The program carries the message table of its event IDs itself
// (App/TaverlyEvents.mc), so the source's message file is the program.
#include <windows.h>

#include <string>
#include <vector>

#include "Platform/system/event_sink.h"
#include "Platform/system/registry_win32.h"
#include "Platform/system/system.h"
#include "Platform/win32_support.h"

namespace platform {

unsigned long win32::MessageFileType(const std::wstring& program) {
  return program.find(L'%') == std::wstring::npos ? REG_EXPAND_SZ : REG_SZ;
}

namespace {

const wchar_t kSourceName[] = L"Taverly";
const wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Taverly";
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  }
  return wide;
}

WORD EventType(EventLevel level) {
  switch (level) {
    case EventLevel::kError:
      return EVENTLOG_ERROR_TYPE;
    case EventLevel::kWarning:
      return EVENTLOG_WARNING_TYPE;
    case EventLevel::kInformation:
      break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

bool Fail(const char* call, DWORD error, EventWriteAnswer* answer) {
  answer->failed_call = call;
  answer->error = error;
  return false;
}

using win32::RegistryKey;

// Answers whether the source's key names program as its message file, in a
// type that keeps it as it is, with every type the records use.
bool NamesProgram(HKEY key, const std::wstring& program) {
  const DWORD text = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  wchar_t file[MAX_PATH * 4] = {};
  DWORD size = sizeof file, kind = REG_NONE;
  if (RegGetValueW(key, nullptr, L"EventMessageFile", text, &kind, file, &size) != ERROR_SUCCESS ||
      (kind != REG_SZ && win32::MessageFileType(program) == REG_SZ) || program != file) {
    return false;
  }
  DWORD types = 0;
  size = sizeof types;
  const DWORD number = RRF_RT_REG_DWORD;
  return RegGetValueW(key, nullptr, L"TypesSupported", number, nullptr, &types, &size) ==
             ERROR_SUCCESS &&
         types == kTypesSupported;
}

// Makes the registry name this program as the source's message file, where
// it does not already (a copy of the program elsewhere may have named its own).
bool RegisterSource(EventWriteAnswer* answer) {
  const std::wstring program = OwnExecutablePath();
  if (program.empty()) return Fail("GetModuleFileNameW", GetLastError(), answer);
  RegistryKey key;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                   kSourceKey,
                                   0,
                                   nullptr,
                                   REG_OPTION_NON_VOLATILE,
                                   KEY_QUERY_VALUE | KEY_SET_VALUE,
                                   nullptr,
                                   key.out(),
                                   nullptr);
  if (status != ERROR_SUCCESS) return Fail("RegCreateKeyExW", static_cast<DWORD>(status), answer);
  if (NamesProgram(key.get(), program)) return true;
  status = RegSetValueExW(key.get(),
                          L"EventMessageFile",
                          0,
                          win32::MessageFileType(program),
                          reinterpret_cast<const BYTE*>(program.c_str()),
                          static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) {
    return Fail("RegSetValueExW EventMessageFile", static_cast<DWORD>(status), answer);
  }
  status = RegSetValueExW(key.get(),
                          L"TypesSupported",
                          0,
                          REG_DWORD,
                          reinterpret_cast<const BYTE*>(&kTypesSupported),
                          sizeof kTypesSupported);
  if (status != ERROR_SUCCESS) {
    return Fail("RegSetValueExW TypesSupported", static_cast<DWORD>(status), answer);
  }
  answer->registered_source = true;
  return true;
}

}  // namespace

EventSinkProspect ProspectEventSink() {
  EventSinkProspect prospect;
  prospect.sink = EventSink::kEventLog;
  RegistryKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_QUERY_VALUE, key.out()) !=
      ERROR_SUCCESS) {
    return prospect;
  }
  const DWORD text = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  wchar_t file[MAX_PATH * 4] = {};
  DWORD size = sizeof file;
  if (RegGetValueW(key.get(), nullptr, L"EventMessageFile", text, nullptr, file, &size) ==
      ERROR_SUCCESS) {
    prospect.source_registered = true;
    prospect.message_file = WideToUtf8KeepingStrays(file);
  }
  return prospect;
}

EventWriteAnswer WriteEventRecord(const EventRecord& record) {
  EventWriteAnswer answer;
  if (!RegisterSource(&answer)) {
    answer.source_refused = true;
    return answer;
  }
  HANDLE source = RegisterEventSourceW(nullptr, kSourceName);
  if (source == nullptr) {
    Fail("RegisterEventSourceW", GetLastError(), &answer);
    return answer;
  }
  std::vector<std::wstring> strings;
  for (const std::string& text : EventLogStrings(record)) strings.push_back(WideFromUtf8(text));
  std::vector<LPCWSTR> pointers;
  for (const std::wstring& text : strings) pointers.push_back(text.c_str());
  if (ReportEventW(source,
                   EventType(record.level),
                   0,
                   record.event_id,
                   nullptr,
                   static_cast<WORD>(pointers.size()),
                   0,
                   pointers.data(),
                   nullptr)) {
    answer.sink = EventSink::kEventLog;
  } else {
    Fail("ReportEventW", GetLastError(), &answer);
  }
  DeregisterEventSource(source);
  return answer;
}

}  // namespace platform
