// The sessions of the people at the machine, as the login manager (logind)
// records them, read through sd-login, which reads its files under
// /run/systemd (sessions/, seats/) and asks nobody: a machine without
// logind lists no session. The system's libsystemd is loaded the first time
// sessions are asked for, never before: a run without an as_user item maps
// no more than it ever did. A session counts when it is a person's (class
// "user", not a greeter's or a service's) and active (in the foreground of
// its seat, or a remote one in use); who it is and what a program gets
// there come from session_environment_posix.cpp.
#include <dlfcn.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>

#include <cerrno>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"
#include "Platform/process/sessions.h"

namespace platform {
namespace {

using posix::Account;
using posix::SessionFacts;

// The sd-login calls this file makes, found in the system's libsystemd.
struct SdLogin {
  bool loaded = false;
  decltype(&sd_get_sessions) get_sessions = nullptr;
  decltype(&sd_get_seats) get_seats = nullptr;
  decltype(&sd_seat_get_active) seat_get_active = nullptr;
  decltype(&sd_session_get_class) get_class = nullptr;
  decltype(&sd_session_get_state) get_state = nullptr;
  decltype(&sd_session_get_uid) get_uid = nullptr;
  decltype(&sd_session_get_type) get_type = nullptr;
  decltype(&sd_session_get_display) get_display = nullptr;
  decltype(&sd_session_get_seat) get_seat = nullptr;
  decltype(&sd_session_is_remote) is_remote = nullptr;
};

template <typename Call>
bool Find(void* library, const char* name, Call* call) {
  *call = reinterpret_cast<Call>(dlsym(library, name));
  return *call != nullptr;
}

// Loaded once, and kept for the rest of the process; loaded false where the
// system has no libsystemd (no logind either, then).
const SdLogin& Login() {
  static const SdLogin login = [] {
    SdLogin calls;
    void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return calls;
    calls.loaded = Find(library, "sd_get_sessions", &calls.get_sessions) &&
                   Find(library, "sd_get_seats", &calls.get_seats) &&
                   Find(library, "sd_seat_get_active", &calls.seat_get_active) &&
                   Find(library, "sd_session_get_class", &calls.get_class) &&
                   Find(library, "sd_session_get_state", &calls.get_state) &&
                   Find(library, "sd_session_get_uid", &calls.get_uid) &&
                   Find(library, "sd_session_get_type", &calls.get_type) &&
                   Find(library, "sd_session_get_display", &calls.get_display) &&
                   Find(library, "sd_session_get_seat", &calls.get_seat) &&
                   Find(library, "sd_session_is_remote", &calls.is_remote);
    return calls;
  }();
  return login;
}

// A session's text property through sd-login's getter; empty when it has
// none (-ENODATA) or the session is gone (-ENXIO).
std::string Property(int (*get)(const char*, char**), const std::string& session) {
  char* text = nullptr;
  std::string value;
  if (get(session.c_str(), &text) >= 0 && text != nullptr) value = text;
  std::free(text);
  return value;
}

// Takes the list sd-login made (count names, each and the list malloc'ed).
std::vector<std::string> TakeList(char** list, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count && list != nullptr; ++i) {
    names.push_back(list[i]);
    std::free(list[i]);
  }
  std::free(list);
  return names;
}

// Whether logind's record at path is a regular file, as logind writes it:
// sd-login opens it to read it, and an open of anything else (a FIFO) could
// wait without end.
bool IsRecord(const std::string& path) {
  struct stat facts = {};
  return lstat(path.c_str(), &facts) == 0 && S_ISREG(facts.st_mode);
}

// The facts of a person's active session; false for any other session, or
// one that ended meanwhile.
bool ReadActiveUserSession(const SdLogin& login, const std::string& id, SessionFacts* facts) {
  if (!IsRecord("/run/systemd/sessions/" + id) || Property(login.get_class, id) != "user" ||
      Property(login.get_state, id) != "active") {
    return false;
  }
  uid_t uid = 0;
  if (login.get_uid(id.c_str(), &uid) < 0) return false;
  facts->id = id;
  facts->uid = uid;
  facts->type = Property(login.get_type, id);
  facts->display = Property(login.get_display, id);
  facts->seat = Property(login.get_seat, id);
  // Not said to be local (a session without REMOTE= written) counts as remote.
  facts->local = login.is_remote(id.c_str()) == 0;
  return true;
}

// Every session, in sd_get_sessions' order; a negative errno when the list
// cannot be read (none when logind keeps no list: not running here).
int AllSessions(const SdLogin& login, std::vector<std::string>* ids) {
  char** list = nullptr;
  const int count = login.get_sessions(&list);
  *ids = TakeList(list, count);
  return count < 0 ? count : 0;
}

// The active session of seat0, else of the first other seat that has one
// (sd_get_seats' order): the person in front of the machine, if any. It
// counts only as a person's local active session (FindUserSessions): a
// login screen in front of seat0 means nobody is there, whatever another
// seat shows.
int ActiveSeatSession(const SdLogin& login, std::vector<std::string>* ids) {
  char** list = nullptr;
  const int count = login.get_seats(&list);
  std::vector<std::string> seats = TakeList(list, count);
  if (count < 0) return count;
  const auto first = std::find(seats.begin(), seats.end(), "seat0");
  if (first != seats.end()) std::rotate(seats.begin(), first, first + 1);
  for (const std::string& seat : seats) {
    char* session = nullptr;
    if (!IsRecord("/run/systemd/seats/" + seat)) continue;
    const int rc = login.seat_get_active(seat.c_str(), &session, nullptr);
    if (rc >= 0 && session != nullptr) ids->push_back(session);
    std::free(session);
    if (!ids->empty()) break;
  }
  return 0;
}

}  // namespace

bool FindUserSessions(SessionChoice choice, const std::wstring& product_folder,
                      std::vector<UserSession>* sessions, uint32_t* error) {
  sessions->clear();
  *error = 0;
  const SdLogin& login = Login();
  if (!login.loaded) {
    *error = ENOENT;  // no libsystemd, or one without sd-login
    return false;
  }
  std::vector<std::string> ids;
  const int rc =
      choice == SessionChoice::kAll ? AllSessions(login, &ids) : ActiveSeatSession(login, &ids);
  if (rc < 0) {
    *error = static_cast<uint32_t>(-rc);
    return false;
  }
  for (const std::string& id : ids) {
    SessionFacts facts;
    Account account;
    if (!ReadActiveUserSession(login, id, &facts) ||
        (choice == SessionChoice::kActive && !facts.local) ||
        !posix::ReadAccount(facts.uid, &account)) {
      continue;  // not a person's active session, or an account nobody knows
    }
    UserSession session;
    session.user = NarrowToWide(account.name.data(), account.name.size());
    session.session = NarrowToWide(id.data(), id.size());
    session.local = facts.local && !facts.seat.empty();
    session.uid = facts.uid;
    session.gid = account.gid;
    session.groups = account.groups;
    session.environment = posix::SessionEnvironment(account, facts, posix::Utf8(product_folder));
    sessions->push_back(std::move(session));
  }
  return true;
}

}  // namespace platform
