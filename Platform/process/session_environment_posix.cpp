// Who a person is and what a program started in their session gets
// (process_posix.h): the account from the user database, the environment
// from the account, the session and what lies in the person's runtime
// folder and home. Those two folders are the person's to change: this
// process (root) only ever lstat()s a path there, which neither opens the
// file nor follows a link, so nothing placed there can have it read, write
// or wait on anything; a path is named in the environment only when it is,
// itself, of the kind meant and owned by the person.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Platform/process/process_posix.h"

namespace platform {
namespace posix {
namespace {

// The most a user database entry or a group list may take: past it the
// account counts as unreadable.
constexpr size_t kMostEntryBytes = 1u << 20;
constexpr int kMostGroups = 65536;

// Whether path itself (lstat: not through a link, and never opened) is of
// kind (S_IFDIR, S_IFSOCK, S_IFREG) and owned by uid.
bool OwnedAs(const std::string& path, mode_t kind, uint32_t uid) {
  struct stat facts;
  return lstat(path.c_str(), &facts) == 0 && (facts.st_mode & S_IFMT) == kind &&
         facts.st_uid == uid;
}

// The supplementary groups of the account, its primary group among them
// (getgrouplist: the groups that name it in the group database).
bool ReadGroups(Account* account) {
  int count = 32;
  std::vector<gid_t> groups;
  do {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(account->name.c_str(), account->gid, groups.data(), &count) >= 0) {
      account->groups.assign(groups.begin(), groups.begin() + count);
      return true;
    }
    // count now says how many there are; it never shrinks below what was tried.
    count = std::max(count, static_cast<int>(groups.size()) * 2);
  } while (count <= kMostGroups);
  return false;
}

// The X authority file of a session with a display: the display manager's
// copy in the runtime folder (a folder itself, not a link), else the one in
// the home folder; a regular file owned by the person, or none.
std::string XAuthority(const std::string& runtime, const Account& account, uint32_t uid) {
  if (!runtime.empty() && OwnedAs(runtime + "/gdm", S_IFDIR, uid) &&
      OwnedAs(runtime + "/gdm/Xauthority", S_IFREG, uid)) {
    return runtime + "/gdm/Xauthority";
  }
  const std::string home = account.home + "/.Xauthority";
  return !account.home.empty() && OwnedAs(home, S_IFREG, uid) ? home : std::string();
}

}  // namespace

bool ReadAccount(uint32_t uid, Account* account) {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  struct passwd entry = {};
  struct passwd* found = nullptr;
  int rc = 0;
  while ((rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < kMostEntryBytes) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || found == nullptr || entry.pw_name == nullptr || *entry.pw_name == '\0') {
    return false;
  }
  account->name = entry.pw_name;
  account->home = entry.pw_dir != nullptr ? entry.pw_dir : "";
  account->shell =
      entry.pw_shell != nullptr && *entry.pw_shell != '\0' ? entry.pw_shell : "/bin/sh";
  account->gid = entry.pw_gid;
  return ReadGroups(account);
}

std::vector<std::string> SessionEnvironment(const Account& account, const SessionFacts& session,
                                            const std::string& product_folder) {
  std::vector<std::string> environment = {
      "HOME=" + account.home,
      "USER=" + account.name,
      "LOGNAME=" + account.name,
      "SHELL=" + account.shell,
      "PATH=/usr/local/bin:/usr/bin:/bin:" + product_folder,
  };
  const uint32_t uid = session.uid;
  std::string runtime = "/run/user/" + std::to_string(uid);
  if (!OwnedAs(runtime, S_IFDIR, uid)) runtime.clear();
  if (!runtime.empty()) {
    environment.push_back("XDG_RUNTIME_DIR=" + runtime);
    if (OwnedAs(runtime + "/bus", S_IFSOCK, uid)) {
      environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    }
  }
  if (!session.display.empty()) {
    environment.push_back("DISPLAY=" + session.display);
    const std::string authority = XAuthority(runtime, account, uid);
    if (!authority.empty()) environment.push_back("XAUTHORITY=" + authority);
  }
  if (session.type == "wayland" && !runtime.empty() &&
      OwnedAs(runtime + "/wayland-0", S_IFSOCK, uid)) {
    environment.push_back("WAYLAND_DISPLAY=wayland-0");
  }
  environment.push_back("XDG_SESSION_ID=" + session.id);
  if (!session.type.empty()) environment.push_back("XDG_SESSION_TYPE=" + session.type);
  if (!session.seat.empty()) environment.push_back("XDG_SEAT=" + session.seat);
  return environment;
}

}  // namespace posix
}  // namespace platform
