// The sessions of the people at the machine, and who they are: what an item
// started as the logged-on user runs as. sessions_posix.cpp reads the login
// manager's records (logind, through sd-login), sessions_win32.cpp the
// terminal services' list of sessions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One person's session a program may be started in.
struct UserSession {
  std::wstring user;     // the account's name
  std::wstring session;  // the session's id as the system names it (logind: "c2"; Windows: "1")
  bool local = false;    // at the machine: on a seat (Windows: not a remote connection)
  // POSIX: who the program runs as, and the whole of its environment.
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::vector<uint32_t> groups;          // supplementary groups, the primary among them
  std::vector<std::string> environment;  // "NAME=value": all the program gets
  // Windows: the session whose user's token the start takes.
  uint32_t session_id = 0;
};

enum class SessionChoice {
  kActive,  // the active local session: a person sitting at the machine
  kAll,     // every active session of a person, local or remote
};

// The sessions a program started as the user runs in, in the system's
// order; none when nobody is there. product_folder ends the PATH each
// session's environment gets (POSIX). False, with the system's error, when
// the sessions could not be read (sessions is then empty).
bool FindUserSessions(SessionChoice choice, const std::wstring& product_folder,
                      std::vector<UserSession>* sessions, uint32_t* error);

}  // namespace platform
