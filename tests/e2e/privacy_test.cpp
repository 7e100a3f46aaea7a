// What other accounts of the machine can see of a run, or do to it: the
// modes of what it writes, the files its items hold open, the names of its
// files, the single-instance guard.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace e2e {
namespace {

using PrivacyTest = ProductTest;

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
}

// The "open=" lines a probe recorded; fails the test when it recorded nothing.
std::vector<std::string> OpenFiles(const std::string& record) {
  const std::string text = ReadTextFile(record);
  EXPECT_THAT(text, HasSubstr("[end]")) << "the probe did not record its open files";
  std::vector<std::string> paths;
  size_t start = 0;
  while ((start = text.find("open=", start)) != std::string::npos) {
    const size_t end = text.find('\n', start);
    paths.push_back(text.substr(start + 5, end - start - 5));
    start = end;
  }
  return paths;
}

// A log folder of the account's own that was open to reading is closed, what
// the run writes is the owner's alone, and no started program holds the log
// open, whether the shell starts it or its output is captured.
TEST_F(PrivacyTest, RunWritesForItsOwnerAloneAndLendsNoProgramTheLog) {
  const std::string sep(1, target().separator);
  fs::create_directories(LogDir());
  chmod(LogDir().c_str(), 0755);
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"param", "--open-files=%productpath%" + sep + "plain.txt"}}),
      Probe("b",
            {{"param", "--open-files=%productpath%" + sep + "captured.txt"}, {"log_output", "1"}}),
      Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 0);
  const std::vector<std::string> logs = LogFileNames();
  ASSERT_EQ(logs.size(), 1u);
  for (const char* record : {"plain.txt", "captured.txt"}) {
    const std::vector<std::string> open = OpenFiles(product_.Path(record));
    EXPECT_THAT(open, Not(IsEmpty())) << record;
    EXPECT_THAT(open, Not(Contains(HasSubstr(logs[0])))) << record;
  }
  if (target().windows) return;  // Wine keeps no POSIX modes of its own
  EXPECT_EQ(ModeOf(LogDir()), 0700u);
  EXPECT_EQ(ModeOf(LogDir() + "/" + logs[0]), 0600u);
  EXPECT_EQ(ModeOf(ResultFile()), 0600u);
  EXPECT_EQ(ModeOf(ReportFile()), 0600u);
}

// The caller's user name variable cannot lead the log file out of the log
// folder: Windows takes the name from the token, POSIX keeps what the
// variable says but no path character of it. (Wine names the token's account
// after USER, and may set USERNAME itself: security_win32_test sets it inside
// the process too.)
TEST_F(PrivacyTest, UserNameWithPathCharactersStaysInTheLogFolder) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  RunOptions options;
  options.env["USERNAME"] = "x\\..\\..\\..\\escaped";
  options.env["USER"] = target().windows ? "tester" : "x/../../../escaped";
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  ASSERT_EQ(Run(options).exit_code, 0);
  const std::vector<std::string> logs = LogFileNames();
  ASSERT_EQ(logs.size(), 1u);
  const std::string user = target().windows ? "tester" : "x_.._.._.._escaped";
  EXPECT_THAT(logs[0], HasSubstr("." + user + ".log.INFO.log_"));
  EXPECT_EQ(Messages().back(), "E:call plugins success.");
}

// A lock file that root does not own was not made by a copy of the program
// (only root can write /run): its holder cannot silence the run.
TEST_F(PrivacyTest, GuardHeldByAnotherAccountIsNoRunningCopy) {
  if (target().windows) GTEST_SKIP() << "the guard is a lock file; platform_test claims mutexes";
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
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "E:single instance mutex held by another account, going on");
  EXPECT_EQ(std::count(messages.begin(), messages.end(), messages.front()), 1);
  EXPECT_EQ(messages.back(), "E:call plugins success.");
  EXPECT_EQ(Result("result", "is_success"), "true");
}

}  // namespace
}  // namespace e2e
