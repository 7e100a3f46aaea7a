// The sessions of the people at a Windows machine, as the terminal services
// list them: every session a person is logged on to and working in (state
// active), console or remote. Session 0 is the services' own, never a
// person's. The console session alone (WTSGetActiveConsoleSessionId) is not
// asked: it may be a disconnected one while its user sits at another.
#include "Platform/process/sessions.h"

#include <windows.h>

#include <wtsapi32.h>

#include <cstring>

namespace platform {
namespace {

// One piece of a session's information as the system gives it; false when
// it gives none.
bool SessionInformation(DWORD id, WTS_INFO_CLASS what, std::wstring* text, USHORT* number) {
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, id, what, &buffer, &bytes) ||
      buffer == nullptr) {
    return false;
  }
  bool read = true;
  if (text != nullptr) *text = buffer;
  if (number != nullptr) {
    read = bytes >= sizeof *number;
    if (read) std::memcpy(number, buffer, sizeof *number);
  }
  WTSFreeMemory(buffer);
  return read;
}

// The person's session with id, shown as DOMAIN\user; false when nobody is
// logged on to it.
bool ReadSession(DWORD id, UserSession* session) {
  std::wstring name;
  std::wstring domain;
  if (!SessionInformation(id, WTSUserName, &name, nullptr) || name.empty()) return false;
  SessionInformation(id, WTSDomainName, &domain, nullptr);
  session->user = domain.empty() ? name : domain + L"\\" + name;
  session->session = std::to_wstring(id);
  session->session_id = id;
  // Protocol 0 is the console; a protocol that cannot be read is no proof
  // that the person is at the machine.
  USHORT protocol = 1;
  session->local =
      SessionInformation(id, WTSClientProtocolType, nullptr, &protocol) && protocol == 0;
  return true;
}

}  // namespace

bool FindUserSessions(SessionChoice choice, const std::wstring&, std::vector<UserSession>* sessions,
                      uint32_t* error) {
  sessions->clear();
  *error = 0;
  PWTS_SESSION_INFOW list = nullptr;
  DWORD count = 0;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
    *error = GetLastError();
    return false;
  }
  for (DWORD i = 0; i < count; ++i) {
    UserSession session;
    if (list[i].State != WTSActive || list[i].SessionId == 0 ||
        !ReadSession(list[i].SessionId, &session)) {
      continue;
    }
    if (choice == SessionChoice::kAll) {
      sessions->push_back(session);
    } else if (session.local) {
      sessions->push_back(session);
      break;
    }
  }
  if (list != nullptr) WTSFreeMemory(list);
  return true;
}

}  // namespace platform
