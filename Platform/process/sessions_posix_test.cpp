// The sessions reader against a login manager's state and a test account the
// test writes in a child's private mount namespace: the machine never changes.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Platform/process/sessions.h"
#include "tests/e2e/private_mounts.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::SessionChoice;

std::vector<platform::UserSession> Find(SessionChoice choice) {
  std::vector<platform::UserSession> sessions;
  uint32_t error = 1;
  EXPECT_TRUE(platform::FindUserSessions(choice, L"/opt/product", &sessions, &error));
  EXPECT_EQ(error, 0u);
  return sessions;
}

// The file at path with content, owned by the test account.
void Owned(const std::string& path, const std::string& content) {
  WriteTextFile(path, content);
  EXPECT_EQ(chown(path.c_str(), 4242, 4242), 0) << path;
}

// The test account, a session bus, a link where the display manager's X
// authority would be and the state logind would write; then the rows.
void FakeLogin(const TempFolder& tmp) {
  WriteTextFile(tmp.Join("passwd"),
                ReadTextFile("/etc/passwd") + "tester:x:4242:4242::/run/home:\n");
  WriteTextFile(tmp.Join("group"),
                ReadTextFile("/etc/group") + "tester:x:4242:\nextra:x:4343:tester\n");
  ASSERT_EQ(mount(tmp.Join("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(tmp.Join("group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", 0, nullptr), 0);
  EXPECT_TRUE(Find(SessionChoice::kAll).empty());
  EXPECT_TRUE(Find(SessionChoice::kActive).empty());
  Owned("/run/home/.Xauthority", "");
  Owned("/run/elsewhere/Xauthority", "");
  EXPECT_EQ(chown("/run/elsewhere", 4242, 4242), 0);
  std::filesystem::create_directories("/run/user/4242");
  EXPECT_EQ(chown("/run/user/4242", 4242, 4242), 0);
  symlink("/run/elsewhere", "/run/user/4242/gdm");
  sockaddr_un bus = {AF_UNIX, "/run/user/4242/bus"};
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&bus), sizeof bus), 0);
  EXPECT_EQ(chown(bus.sun_path, 4242, 4242), 0);
  const std::string user = "STATE=active\nCLASS=user\nUID=4242\nTYPE=";
  WriteTextFile("/run/systemd/sessions/7", user + "tty\nREMOTE=1\n");
  EXPECT_EQ(Find(SessionChoice::kAll).size(), 1u);
  EXPECT_TRUE(Find(SessionChoice::kActive).empty());
  WriteTextFile("/run/systemd/sessions/c2", user + "x11\nREMOTE=0\nSEAT=seat0\nDISPLAY=:0\n");
  WriteTextFile("/run/systemd/sessions/c3", "STATE=active\nCLASS=greeter\nUID=4242\n");
  WriteTextFile("/run/systemd/seats/seat0", "ACTIVE=c2\nACTIVE_UID=4242\n");
  const auto active = Find(SessionChoice::kActive);
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].user + L" " + active[0].session + (active[0].local ? L" local" : L""),
            L"tester c2 local");
  EXPECT_EQ(active[0].uid + active[0].gid, 2 * 4242u);
  EXPECT_EQ(active[0].groups, (std::vector<uint32_t>{4242, 4343}));
  std::string environment;
  for (const std::string& entry : active[0].environment) environment += entry + "\n";
  EXPECT_EQ(environment,
            "HOME=/run/home\nUSER=tester\nLOGNAME=tester\nSHELL=/bin/sh\n"
            "PATH=/usr/local/bin:/usr/bin:/bin:/opt/product\nXDG_RUNTIME_DIR=/run/user/4242\n"
            "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/4242/bus\nDISPLAY=:0\n"
            "XAUTHORITY=/run/home/.Xauthority\nXDG_SESSION_ID=c2\nXDG_SESSION_TYPE=x11\n"
            "XDG_SEAT=seat0\n");
  std::set<std::wstring> listed;  // in the system's order, which the test does not fix
  for (const auto& session : Find(SessionChoice::kAll)) {
    listed.insert(session.session + (session.local ? L" local" : L""));
  }
  EXPECT_EQ(listed, (std::set<std::wstring>{L"7", L"c2 local"}));
}

TEST(SessionsPosixTest, ThePeoplesActiveSessionsAsLoginManagerRecordsThem) {
  if (geteuid() != 0) GTEST_SKIP() << "mount namespaces need root";
  TempFolder tmp;
  const pid_t child = fork();
  if (child == 0) {
    const std::string why = e2e::EnterPrivateMountNamespace();
    if (!why.empty()) _exit(2);
    FakeLogin(tmp);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(status, 0) << "the child's failures are above";
}

}  // namespace
