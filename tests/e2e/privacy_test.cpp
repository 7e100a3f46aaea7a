// What other accounts of the machine can see of a run, or do to it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace e2e {
namespace {

using PrivacyTest = ProductTest;

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
}

// A log folder of the account's own that was open to reading is closed and
// what the run writes is the owner's alone; the user name variables cannot
// lead the log out of its folder (Windows takes the token's account, which
// Wine names after USER; POSIX keeps USER but no path character of it).
TEST_F(PrivacyTest, RunIsClosedToOthersAndItsLogStaysInItsFolder) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  fs::create_directories(LogDir());
  chmod(LogDir().c_str(), 0755);
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  options.env = {{"USERNAME", "x\\..\\..\\..\\escaped"},
                 {"USER", target().windows ? "tester" : "x/../../../escaped"}};
  ASSERT_EQ(Run(options).exit_code, 0);
  const std::vector<std::string> logs = LogFileNames();
  ASSERT_EQ(logs.size(), 1u);
  const std::string user = target().windows ? "tester" : "x_.._.._.._escaped";
  EXPECT_THAT(logs[0], HasSubstr("." + user + ".log.INFO.log_"));
  if (target().windows) return;  // Wine keeps no POSIX modes of its own
  EXPECT_EQ(ModeOf(LogDir()), 0700u);
  for (const std::string& file : {LogDir() + "/" + logs[0], ResultFile(), ReportFile()}) {
    EXPECT_EQ(ModeOf(file), 0600u) << file;
  }
}

// A lock file that root does not own was not made by a copy of the program
// (only root can write /run): its holder cannot silence the run.
TEST_F(PrivacyTest, GuardHeldByAnotherAccountIsNoRunningCopy) {
  if (target().windows) GTEST_SKIP() << "the guard is a lock file; SecurityWin32Test: mutexes";
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  int fd = open("/run/VXTaverly_Mutex.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchown(fd, 65534, 65534), 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  RunResult run = RunProduct();
  EXPECT_EQ(fchown(fd, 0, 0), 0);
  close(fd);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  const std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0], "E:single instance mutex held by another account, going on");
  EXPECT_THAT(messages[1], HasSubstr("I:commindline --installpath= : "));
  EXPECT_EQ(Result("result", "is_success"), "true");
}

}  // namespace
}  // namespace e2e
