// Items started as the logged-on user, natively: a login manager's state and
// an account ("tester", uid 4242) that only this test's private mount
// namespace sees, and a script that says in the log whom it runs as.
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/private_mounts.h"

namespace e2e {
namespace {

using ::testing::UnorderedElementsAreArray;

class AsUserTest : public ProductTest {
 protected:
  void SetUp() override {
    if (target().windows) GTEST_SKIP() << "under Wine no session is listed (run_table_test)";
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) GTEST_SKIP() << why;
    WriteTextFile(tmp_.Join("passwd"),
                  ReadTextFile("/etc/passwd") + "tester:x:4242:4242::/run/home:\n");
    WriteTextFile(tmp_.Join("group"),
                  ReadTextFile("/etc/group") + "tester:x:4242:\nextra:x:4343:tester\n");
    ASSERT_EQ(mount(tmp_.Join("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(tmp_.Join("group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", 0, nullptr), 0);
    std::filesystem::create_directories("/run/user/4242");
    std::filesystem::create_directories("/run/home");
    WriteTextFile("/run/home/.Xauthority", "");
    sockaddr_un bus = {AF_UNIX, "/run/user/4242/bus"};
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&bus), sizeof bus), 0);
    close(fd);
    for (const char* path : {"/run/user/4242",
                             "/run/home",
                             "/run/home/.Xauthority",
                             static_cast<const char*>(bus.sun_path)}) {
      ASSERT_EQ(chown(path, 4242, 4242), 0) << path;
    }
    // The user reaches the script, which says whom it runs as.
    chmod(tmp_.path().c_str(), 0755);
    chmod(product_.folder().c_str(), 0755);
    WriteTextFile(
        product_.Path("who.sh"),
        "#!/bin/sh\nsid=$(cut -d' ' -f6 /proc/$$/stat)\n"
        "echo \"uid=$(id -u) groups=$(id -G) leads its session: $([ $sid = $$ ] && echo yes)\"\n"
        "env | sort\nexit 0\n");
    chmod(product_.Path("who.sh").c_str(), 0755);
  }
  void TearDown() override {
    for (const char* mounted : {"/run", "/etc/group", "/etc/passwd"}) umount(mounted);
  }
  std::string Who(const std::map<std::string, std::string>& extra) const {
    std::map<std::string, std::string> attributes = {
        {"type", "Exe"}, {"file", "who.sh"}, {"wait_for_exit", "1"}, {"log_output", "1"}};
    for (const auto& attribute : extra) attributes[attribute.first] = attribute.second;
    return Item(attributes);
  }
  static void Session(const std::string& id, const std::string& keys) {
    WriteTextFile("/run/systemd/sessions/" + id, "STATE=active\nCLASS=user\nUID=4242\n" + keys);
  }
};

TEST_F(AsUserTest, ProgramRunsAsTheSessionsUserWithTheSessionsEnvironmentAlone) {
  // A remote session and a login screen: nobody sits at the machine, but
  // "all" reaches the remote one (through a time-limited start).
  Session("7", "TYPE=tty\nREMOTE=1\n");
  WriteTextFile("/run/systemd/sessions/c3", "STATE=active\nCLASS=greeter\nUID=4242\n");
  product_.AddModuleFile("mod_core.xml",
                         Who({{"as_user", "active"}}),
                         Who({{"as_user", "all"}, {"timeout", "30"}}),
                         Probe("z"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  const std::string out = "I:exe output: ", folder = product_.TargetFolder();
  const std::string whom = out + "uid=4242 groups=4242 4343 leads its session: yes";
  const auto seen = [this](const std::string& kept) {
    std::vector<std::string> lines;
    for (const std::string& line : Messages()) {
      if (line.find(kept) != std::string::npos || line.rfind("I:run exe as", 0) == 0) {
        lines.push_back(line);
      }
    }
    std::filesystem::remove(LogDir() + "/" + LogFileNames()[0]);
    return lines;
  };
  EXPECT_EQ(seen("as_user: active ,no user"),
            (std::vector<std::string>{"I:item passed over, path: " + At("who.sh") +
                                          " ,as_user: active ,no user is logged on",
                                      "I:run exe as user: tester ,session: 7"}));
  // A person at seat0, whose program is signed: exactly the session's
  // environment; a link the user made in the runtime folder is not followed.
  Session("c2", "TYPE=x11\nREMOTE=0\nSEAT=seat0\nDISPLAY=:0\n");
  WriteTextFile("/run/systemd/seats/seat0", "ACTIVE=c2\nACTIVE_UID=4242\n");
  WriteTextFile("/run/home/Xauthority", "");
  ASSERT_EQ(chown("/run/home/Xauthority", 4242, 4242) | symlink("/run/home", "/run/user/4242/gdm"),
            0);
  const std::string sign = SignTool() + " sign --key " + DevKey(1) + " --index 1 " +
                           product_.Path("who.sh") + " >/dev/null";
  ASSERT_EQ(std::system(sign.c_str()), 0);
  // "all" reaches both sessions, in logind's order, which the test does not fix.
  product_.AddModuleFile("mod_core.xml",
                         Who({{"as_user", "active"}, {"signed", "1"}}),
                         Who({{"as_user", "all"}, {"log_output", "0"}}),
                         Probe("z"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_THAT(seen(out),
              UnorderedElementsAreArray(std::vector<std::string>{
                  "I:run exe as user: tester ,session: c2",
                  "I:run exe as user: tester ,session: c2",
                  "I:run exe as user: tester ,session: 7",
                  whom,
                  out + "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/4242/bus",
                  out + "DISPLAY=:0",
                  out + "HOME=/run/home",
                  out + "LOGNAME=tester",
                  out + "PATH=/usr/local/bin:/usr/bin:/bin:" + folder,
                  out + "PWD=" + folder,
                  out + "SHELL=/bin/sh",
                  out + "USER=tester",
                  out + "XAUTHORITY=/run/home/.Xauthority",
                  out + "XDG_RUNTIME_DIR=/run/user/4242",
                  out + "XDG_SEAT=seat0",
                  out + "XDG_SESSION_ID=c2",
                  out + "XDG_SESSION_TYPE=x11"}));
}

}  // namespace
}  // namespace e2e
