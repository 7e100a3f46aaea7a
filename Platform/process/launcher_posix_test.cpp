// The launcher of a control group: what it starts is this process's child,
// born in the group with the start every program gets, and a launcher that
// is gone is said to be so, without a start made twice or a wait without end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "Platform/process/process_posix.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::posix::ChildSetup;
using platform::posix::Launcher;

// The processes whose parent is this one, ended ones not reaped among them
// (other tests may have left some).
size_t OwnChildren() {
  size_t count = 0;
  const std::string self = std::to_string(getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string stat = ReadTextFile(entry.path().string() + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    std::istringstream fields(stat.substr(end + 1));
    std::string state, parent;
    if (fields >> state >> parent && parent == self) ++count;
  }
  return count;
}

// Waits up to 5 s until the child pid has ended or stopped, as state says.
bool Reached(pid_t pid, int state) {
  siginfo_t info = {};
  for (int round = 0; round < 500 && info.si_pid == 0; ++round) {
    waitid(P_PID, static_cast<id_t>(pid), &info, state | WNOHANG | WNOWAIT);
    usleep(10 * 1000);
  }
  return info.si_pid == pid;
}

class LauncherPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string parent = platform::posix::OwnGroupFolder();
    group_ = parent + "/taverly-launcher-test-" + std::to_string(getpid());
    if (parent.empty() || mkdir(group_.c_str(), 0700) != 0) {
      group_.clear();
      return;
    }
    folder_ = open(group_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  void TearDown() override {
    if (folder_ >= 0) close(folder_);
    if (!group_.empty()) {
      EXPECT_EQ(rmdir(group_.c_str()), 0) << "the group is not empty";
    }
  }
  std::string group_;
  int folder_ = -1;
  TempFolder tmp_;
};

TEST_F(LauncherPosixTest, StartsChildrenOfThisProcessInTheGroupUntilItIsGone) {
  if (group_.empty()) GTEST_SKIP() << "no control group can be made here";
  Launcher launcher(folder_);
  if (!launcher.usable()) GTEST_SKIP() << "the system starts no process into a group here";
  EXPECT_EQ(ReadTextFile(group_ + "/cgroup.procs"), std::to_string(launcher.pid()) + "\n");
  {
    // Another thread here, and there is none.
    std::promise<void> go;
    std::thread other([&go] { go.get_future().wait(); });
    EXPECT_FALSE(Launcher(folder_).usable());
    go.set_value();
    other.join();
  }

  std::string script = tmp_.Join("where");
  WriteTextFile(script,
                "#!/bin/sh\n"
                "while read -r l; do case $l in 0::*) echo \"$l\";; esac; done </proc/self/cgroup\n"
                "echo \"$1 $PPID\"\nexit 3\n");
  chmod(script.c_str(), 0755);
  const std::string written = tmp_.Join("out");
  const int output = open(written.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  char argument[] = "argument";
  char* argv[] = {&script[0], argument, nullptr};
  ChildSetup setup;
  setup.path = script.c_str();
  setup.argv = argv;
  setup.output_fd = output;
  pid_t pid = 0;
  int error = -1;
  ASSERT_TRUE(launcher.Start(setup, &pid, &error));
  ASSERT_EQ(error, 0);
  close(output);
  // This process's child, in its own namespace rooted at the group.
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(ReadTextFile(written), "0::/\nargument " + std::to_string(getpid()) + "\n");

  // A start that fails leaves no child behind.
  const size_t children = OwnChildren();
  const std::string missing = tmp_.Join("missing");
  char* missing_argv[] = {const_cast<char*>(missing.c_str()), nullptr};
  setup.path = missing.c_str();
  setup.argv = missing_argv;
  setup.output_fd = -1;
  ASSERT_TRUE(launcher.Start(setup, &pid, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(OwnChildren(), children);

  // Gone: said so, and given up; nothing was started.
  ASSERT_EQ(kill(launcher.pid(), SIGKILL), 0);
  ASSERT_TRUE(Reached(launcher.pid(), WEXITED)) << "the launcher did not end";
  setup.path = script.c_str();
  setup.argv = argv;
  EXPECT_FALSE(launcher.Start(setup, &pid, &error));
  EXPECT_FALSE(launcher.usable());
  EXPECT_EQ(OwnChildren(), children - 1) << "the launcher is left, or a child it started";
}

// One stopped from outside is given up before it is asked, and so never
// holds the caller, however long the request.
TEST_F(LauncherPosixTest, AStoppedLauncherIsGivenUpBeforeItIsAsked) {
  if (group_.empty()) GTEST_SKIP() << "no control group can be made here";
  Launcher launcher(folder_);
  if (!launcher.usable()) GTEST_SKIP() << "the system starts no process into a group here";
  const size_t children = OwnChildren();
  ASSERT_EQ(kill(launcher.pid(), SIGSTOP), 0);
  ASSERT_TRUE(Reached(launcher.pid(), WSTOPPED)) << "the launcher did not stop";
  std::string big(1024 * 1024, 'x');
  char path[] = "/bin/true";
  char* argv[] = {path, &big[0], nullptr};
  ChildSetup setup;
  setup.path = path;
  setup.argv = argv;
  pid_t pid = 0;
  int error = -1;
  EXPECT_FALSE(launcher.Start(setup, &pid, &error));
  EXPECT_FALSE(launcher.usable());
  EXPECT_EQ(OwnChildren(), children - 1);
}

}  // namespace
