// The one start of a program: inside a control group (joining it before it
// runs), as the leader of a process group, or plain; and the errors of each,
// all through one report.
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

#include "Platform/process/process_posix.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::posix::ChildSetup;

class SpawnPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string parent = platform::posix::OwnGroupFolder();
    group_ = parent + "/taverly-spawn-test-" + std::to_string(getpid());
    if (parent.empty() || mkdir(group_.c_str(), 0700) != 0) {
      group_.clear();
      return;
    }
    procs_ = open((group_ + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  }
  void TearDown() override {
    if (procs_ >= 0) close(procs_);
    if (!group_.empty()) {
      EXPECT_EQ(rmdir(group_.c_str()), 0) << "the group is not empty";
    }
  }
  // An executable script in the test's folder.
  std::string Script(const std::string& name, const std::string& text) {
    const std::string script = tmp_.Join(name);
    WriteTextFile(script, text);
    chmod(script.c_str(), 0755);
    return script;
  }
  std::string group_;
  int procs_ = -1;
  TempFolder tmp_;
};

// What the caller blocks or ignores while a test starts programs.
class SignalsSetAside {
 public:
  SignalsSetAside() {
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    sigprocmask(SIG_BLOCK, &usr2, &before_);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &ignore, &kept_);
  }
  ~SignalsSetAside() {
    sigprocmask(SIG_SETMASK, &before_, nullptr);
    sigaction(SIGUSR1, &kept_, nullptr);
  }

 private:
  sigset_t before_;
  struct sigaction kept_;
};

TEST_F(SpawnPosixTest, InTheGroupTheProgramRunsWithItsFilesAndNoSignalSetAside) {
  if (group_.empty()) GTEST_SKIP() << "no control group can be made here";
  // Builtins only: the shell clears its signal mask once it has forked.
  const std::string script = Script(
      "where",
      "#!/bin/sh\n"
      "while read -r l; do case $l in 0::*) echo \"$l\";; esac; done </proc/self/cgroup\n"
      "while read -r l; do case $l in Sig[BI]*) echo \"$l\";; esac; done </proc/self/status\n"
      "echo \"$1\" >&2\n"
      "exec sleep 0.2\n");
  const SignalsSetAside set_aside;
  const std::string written = tmp_.Join("joining");
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
  setup.group_procs = procs_;
  pid_t pid = 0;
  bool inside = false;
  ASSERT_EQ(platform::posix::StartChild(setup, &pid, &inside), 0);
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

// Without a group: the caller's own namespace, the process group asked for,
// no descriptor beyond the standard ones, no signal set aside.
TEST_F(SpawnPosixTest, WithoutAGroupTheProgramGetsTheSameStartAndAProcessGroupWhenAsked) {
  const std::string script = Script(
      "plain",
      "#!/bin/sh\n"
      "read -r a b c d e f </proc/self/stat; [ \"$e\" = \"$$\" ] && echo leader || echo member\n"
      "[ -e /proc/$$/fd/$1 ] && echo leaked || echo closed\n"
      "while read -r l; do case $l in Sig[BI]*) echo \"$l\";; esac; done </proc/self/status\n");
  const SignalsSetAside set_aside;
  for (const bool own_group : {false, true}) {
    SCOPED_TRACE(own_group);
    const std::string written = tmp_.Join(own_group ? "leader" : "member");
    const int output = open(written.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    // Open without close-on-exec, as a library might leave one.
    const int stray = open("/dev/null", O_RDONLY);
    std::string stray_text = std::to_string(stray), path = script;
    char* argv[] = {&path[0], &stray_text[0], nullptr};
    ChildSetup setup;
    setup.path = path.c_str();
    setup.argv = argv;
    setup.output_fd = output;
    setup.own_process_group = own_group;
    pid_t pid = 0;
    bool inside = true;
    ASSERT_EQ(platform::posix::StartChild(setup, &pid, &inside), 0);
    EXPECT_FALSE(inside);
    close(output);
    close(stray);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(ReadTextFile(written),
              std::string(own_group ? "leader" : "member") +
                  "\nclosed\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  }
}

// Starts setup and ends this process: 0 when the answer is as expected
// (inside or not, the error expected) and no child is left to reap, 1 or 2
// otherwise.
[[noreturn]] void StartAndExit(const ChildSetup& setup, bool expect_inside, int expected) {
  pid_t pid = 0;
  bool inside = !expect_inside;
  const int error = platform::posix::StartChild(setup, &pid, &inside);
  if (inside != expect_inside || error != expected || pid != 0) {
    std::fprintf(stderr, "inside %d, error %d, pid %d\n", inside, error, static_cast<int>(pid));
    std::_Exit(1);
  }
  std::_Exit(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? 0 : 2);
}

// Whatever fails (the group, a descriptor, the process group, the program
// itself), the start says so with the step's own error, nothing of the
// program runs, and the child is reaped.
TEST_F(SpawnPosixTest, AFailedStartIsReapedAndSaysWhetherTheChildWasInside) {
  const int read_only = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int closed = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(closed);
  const std::string no_format = Script("no-format", "echo but no interpreter line\n");
  const std::string not_executable = Script("plain", "#!/bin/sh\n");
  chmod(not_executable.c_str(), 0644);
  const std::string ran = tmp_.Join("ran");
  const std::string runs = Script("runs", "#!/bin/sh\ntouch " + ran + "\n");
  const bool grouped = !group_.empty();
  const struct {
    const char* name;
    std::string file;
    int group_procs, bad_output, bad_program;
    bool inside;
    int error;
  } cases[] = {
      {"in the group", "/nonexistent/program", grouped ? procs_ : -1, -1, -1, grouped, ENOENT},
      {"not a group", runs, read_only, -1, -1, false, EBADF},
      {"bad output", runs, grouped ? procs_ : -1, closed, -1, grouped, EBADF},
      {"bad program", runs, grouped ? procs_ : -1, -1, closed, grouped, EBADF},
      {"plain", "/nonexistent/program", -1, -1, -1, false, ENOENT},
      {"no format", no_format, -1, -1, -1, false, ENOEXEC},
      {"not executable", not_executable, -1, -1, -1, false, EACCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = c.file;
    char* argv[] = {&path[0], nullptr};
    ChildSetup setup;
    setup.path = path.c_str();
    setup.argv = argv;
    setup.group_procs = c.group_procs;
    setup.output_fd = c.bad_output;
    setup.program_fd = c.bad_program;
    // In a process of its own, where no other child can be waiting.
    EXPECT_EXIT(StartAndExit(setup, c.inside, c.error), ::testing::ExitedWithCode(0), "");
    setup.own_process_group = true;
    EXPECT_EXIT(StartAndExit(setup, c.inside, c.error), ::testing::ExitedWithCode(0), "");
  }
  EXPECT_NE(access(ran.c_str(), F_OK), 0) << "a program ran after a failed set-up";
  close(read_only);
}

}  // namespace
