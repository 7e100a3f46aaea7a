// Starting a program inside a control group, both ways: born there, and
// joining it before it runs.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Platform/child_posix.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::posix::ChildSetup;
using StartWay = int (*)(int, const ChildSetup&, pid_t*, bool*);

class SpawnPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string parent = platform::posix::OwnGroupFolder();
    group_ = parent + "/taverly-spawn-test-" + std::to_string(getpid());
    if (parent.empty() || mkdir(group_.c_str(), 0700) != 0) {
      group_.clear();
      GTEST_SKIP() << "no control group can be made here";
    }
    folder_ = open(group_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    procs_ = open((group_ + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  }
  void TearDown() override {
    for (int fd : {folder_, procs_}) {
      if (fd >= 0) close(fd);
    }
    if (!group_.empty()) {
      EXPECT_EQ(rmdir(group_.c_str()), 0) << "the group is not empty";
    }
  }
  std::string group_;
  int folder_ = -1, procs_ = -1;
  TempFolder tmp_;
};

TEST_F(SpawnPosixTest, EitherWayTheProgramRunsInTheGroupWithItsFilesAndNoSignalSetAside) {
  const std::string script = tmp_.Join("where");
  // Builtins only: the shell clears its signal mask once it has forked.
  WriteTextFile(
      script,
      "#!/bin/sh\n"
      "while read -r l; do case $l in 0::*) echo \"$l\";; esac; done </proc/self/cgroup\n"
      "while read -r l; do case $l in Sig[BI]*) echo \"$l\";; esac; done </proc/self/status\n"
      "echo \"$1\" >&2\n"
      "exec sleep 0.2\n");
  chmod(script.c_str(), 0755);
  // What the caller blocks or ignores is not the program's.
  sigset_t usr2, before;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  sigprocmask(SIG_BLOCK, &usr2, &before);
  struct sigaction ignore = {}, kept;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &ignore, &kept);
  const struct {
    const char* name;
    StartWay start;
  } ways[] = {{"born", platform::posix::StartBornInGroup},
              {"joining", platform::posix::StartJoining}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    const std::string written = tmp_.Join(way.name);
    const int output = open(written.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    // Executed through its descriptor, which is never kOpenedProgramFd itself.
    const int opened = open(script.c_str(), O_RDONLY | O_CLOEXEC);
    const int program = fcntl(opened, F_DUPFD_CLOEXEC, 10);
    close(opened);
    char path[] = "/proc/self/fd/3", argument[] = "argument";
    char* argv[] = {path, argument, nullptr};
    ChildSetup setup;
    setup.path = path;
    setup.argv = argv;
    setup.output_fd = output;
    setup.program_fd = program;
    pid_t pid = 0;
    bool inside = false;
    const int group = way.start == platform::posix::StartBornInGroup ? folder_ : procs_;
    ASSERT_EQ(way.start(group, setup, &pid, &inside), 0);
    EXPECT_TRUE(inside);
    // Seen from here, it is in the group.
    EXPECT_THAT(ReadTextFile("/proc/" + std::to_string(pid) + "/cgroup"),
                ::testing::HasSubstr(group_.substr(group_.rfind('/')) + "\n"));
    close(output);
    close(program);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    // Its own control-group namespace is rooted at the group.
    EXPECT_EQ(ReadTextFile(written),
              "0::/\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\nargument\n");
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  sigaction(SIGUSR1, &kept, nullptr);
}

// Starts a program that is not there and ends this process: 0 when the
// answer is as expected (inside, the error expected: a descriptor that
// cannot be set up fails the start before the program is looked for) and no
// child is left to reap, 1 or 2 otherwise.
[[noreturn]] void StartMissingAndExit(StartWay start, int group, bool expect_inside, int bad_output,
                                      int bad_program, int expected) {
  char missing[] = "/nonexistent/program";
  char* argv[] = {missing, nullptr};
  ChildSetup setup;
  setup.path = missing;
  setup.argv = argv;
  setup.output_fd = bad_output;
  setup.program_fd = bad_program;
  pid_t pid = 0;
  bool inside = !expect_inside;
  const int error = start(group, setup, &pid, &inside);
  if (inside != expect_inside || (error == expected) != expect_inside || error == 0 || pid != 0) {
    std::fprintf(stderr, "inside %d, error %d, pid %d\n", inside, error, static_cast<int>(pid));
    std::_Exit(1);
  }
  std::_Exit(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? 0 : 2);
}

TEST_F(SpawnPosixTest, AFailedStartIsReapedAndSaysWhetherTheChildWasInside) {
  const int not_a_group = open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int read_only = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int closed = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(closed);
  const struct {
    StartWay start;
    int group;
    bool inside;
    int bad_output, bad_program, error;
  } cases[] = {
      {platform::posix::StartBornInGroup, folder_, true, -1, -1, ENOENT},
      {platform::posix::StartJoining, procs_, true, -1, -1, ENOENT},
      {platform::posix::StartBornInGroup, not_a_group, false, -1, -1, 0},
      {platform::posix::StartJoining, read_only, false, -1, -1, 0},
      {platform::posix::StartBornInGroup, folder_, true, closed, -1, EBADF},
      {platform::posix::StartJoining, procs_, true, -1, closed, EBADF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    // In a process of its own, where no other child can be waiting.
    EXPECT_EXIT(
        StartMissingAndExit(c.start, c.group, c.inside, c.bad_output, c.bad_program, c.error),
        ::testing::ExitedWithCode(0),
        "");
  }
  close(not_a_group);
  close(read_only);
}

}  // namespace
