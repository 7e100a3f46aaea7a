// Start-up: single instance, command line, log set-up, refusals.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;

namespace e2e {
namespace {

class StartupTest : public TaverlyTest {
 protected:
  struct TwoCopies {
    RunResult first;
    RunResult second;
  };
  // Runs a second copy while the first holds the guard, its first item
  // waiting for a file.
  TwoCopies RunTwoCopiesAtOnce() {
    std::string probe = target().Program("bin/probe");
    product_.AddProbe(probe);
    product_.SetInstalledModules({"core"});
    std::string release = tmp_.Join("release");
    auto item = [&](const std::string& param) {
      return Item({{"type", "Exe"},
                   {"file", target().Relative(probe)},
                   {"wait_for_exit", "1"},
                   {"param", param}});
    };
    product_.AddModuleFile("mod_core.xml",
                           item("--record=calls.txt --wait-for=" + target().Spell(release)),
                           item(""),
                           item(""));
    RunOptions options;
    options.arguments = {"--installpath=" + product_.TargetFolder()};
    Process first = Start(options);
    EXPECT_TRUE(WaitForText(product_.Path("calls.txt"), "[end]\n"))
        << "the first copy never got going";
    TwoCopies runs;
    runs.second = Run(options);
    WriteTextFile(release, "");
    runs.first = Wait(first);
    return runs;
  }
};

// What Wine cannot show; the native suite covers the shared logic.
constexpr char kWineElevates[] =
    "Wine gives every process an elevated token; the refusal is covered natively";
constexpr char kPosixOnly[] = "POSIX behaviour of the native program";

TEST_F(StartupTest, NoArgumentEndsWith202AndNoResultFile) {
  RunResult run = Run({});
  EXPECT_EQ(run.exit_code, 202);
  EXPECT_THAT(Messages(),
              ElementsAre("I:The incoming installation path does not exist, path:, just exit..."));
  EXPECT_FALSE(fs::exists(ResultFile()));
}

TEST_F(StartupTest, EmptyValueIsLoggedThenRefused) {
  RunResult run = RunWithInstallPath("");
  EXPECT_EQ(run.exit_code, 202);
  EXPECT_THAT(Messages(),
              ElementsAre("I:commindline --installpath= : ",
                          "I:The incoming installation path does not exist, path:, just exit..."));
}

TEST_F(StartupTest, MissingFolderEndsWith202) {
  std::string missing = target().Spell(tmp_.Join("no such folder"));
  RunResult run = RunWithInstallPath(tmp_.Join("no such folder"));
  EXPECT_EQ(run.exit_code, 202);
  EXPECT_THAT(Messages(),
              ElementsAre("I:commindline --installpath= : " + missing,
                          "I:The incoming installation path does not exist, path:" + missing +
                              ", just exit..."));
  EXPECT_FALSE(fs::exists(ResultFile()));
}

TEST_F(StartupTest, RefusalLinesCarryTheirSourceLocation) {
  Run({});
  std::vector<LogLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, 'I');
  EXPECT_TRUE(std::regex_match(lines[0].location, std::regex(R"(app\.cpp:\d+)")))
      << lines[0].location;
}

TEST_F(StartupTest, FileInsteadOfFolderPassesStartUp) {
  WriteTextFile(tmp_.Join("plain-file"), "x");
  RunResult run = RunWithInstallPath(tmp_.Join("plain-file"));
  // Start-up succeeds; the finishing work then fails on the missing catalogue.
  EXPECT_EQ(run.exit_code, 210);
  EXPECT_TRUE(fs::exists(ResultFile()));
}

TEST_F(StartupTest, LastInstallPathWinsAndOthersAreIgnored) {
  RunOptions options;
  std::string a = target().Spell(tmp_.Join("A")), b = target().Spell(tmp_.Join("B"));
  options.arguments = {"--installpath=" + a,
                       "",
                       "x--installpath=" + a,
                       "--INSTALLPATH=" + a,
                       "stray",
                       "--installpath=" + b + "=C"};
  RunResult run = Run(options);
  EXPECT_EQ(run.exit_code, 202);
  EXPECT_THAT(Messages(),
              ElementsAre("I:commindline --installpath= : " + a,
                          "I:commindline --installpath= : " + b + "=C",
                          "I:The incoming installation path does not exist, path:" + b +
                              "=C, just exit..."));
}

TEST_F(StartupTest, UnprivilegedRunEndsWith200BeforeThePathCheck) {
  if (target().windows) GTEST_SKIP() << kWineElevates;
  RunOptions options;
  options.as_nobody = true;
  options.arguments = {"--installpath=" + tmp_.Join("missing")};
  RunResult run = Run(options);
  EXPECT_EQ(run.exit_code, 200);
  EXPECT_THAT(Messages(),
              ElementsAre("I:commindline --installpath= : " + tmp_.Join("missing"),
                          "I:No administrator privileges, just exit..."));
  EXPECT_FALSE(fs::exists(ResultFile()));
}

TEST_F(StartupTest, SecondCopyExitsAtOnceWithoutTrace) {
  if (target().windows) GTEST_SKIP() << kPosixOnly << ": the guard is a lock file";
  int fd = open("/run/VXTaverly_Mutex.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  RunResult run = RunWithInstallPath(product_.folder());
  RunOptions undo;  // an uninstaller must not read "done"
  undo.arguments = {"--installpath=" + product_.folder(), "--undo"};
  const RunResult refused = Run(undo);
  close(fd);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(fs::exists(LogDir()));
  EXPECT_EQ(refused.exit_code, 210);
  EXPECT_EQ(refused.err, "undo not run, another run holds the single instance guard\n");
}

TEST_F(StartupTest, SecondCopyExitsAtOnceWhileTheFirstRuns) {
  const TwoCopies runs = RunTwoCopiesAtOnce();
  const RunResult& second = runs.second;
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(runs.first.exit_code, 0);
  // One log, the first copy's, to its end; one run of the waiting item.
  EXPECT_EQ(LogFileNames().size(), 1u);
  std::vector<std::string> messages = Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "E:call plugins success.");
  EXPECT_EQ(ReadProbeRecords(product_.Path("calls.txt")).size(), 1u);
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
}

// Any account may take the mutex's name first with an object of another kind
// (more kinds in SecurityWin32Test), and only root could put a link in place
// of the lock file. Neither switches the guard off unseen: the run says so,
// and a second copy still keeps out.
TEST_F(StartupTest, GuardSomeoneElseTookStillKeepsASecondCopyOut) {
  const std::string lock = "/run/VXTaverly_Mutex.lock", victim = tmp_.Join("victim");
  WriteTextFile(victim, "kept\n");
  RunOptions hold;
  hold.program = target().probe;
  hold.arguments = {"--hold-event=Global\\VXTaverly_Mutex",
                    "--record=" + target().Spell(tmp_.Join("held.txt")),
                    "--wait-for=" + target().Spell(tmp_.Join("let-go"))};
  const Process squatter = target().windows ? Start(hold) : Process();
  if (target().windows) {
    ASSERT_TRUE(WaitForText(tmp_.Join("held.txt"), "[end]\n")) << "the name was never taken";
  } else {
    fs::remove(lock);
    fs::create_symlink(victim, lock);
  }
  const TwoCopies runs = RunTwoCopiesAtOnce();
  WriteTextFile(tmp_.Join("let-go"), "");
  EXPECT_EQ(Wait(squatter).exit_code, target().windows ? 0 : -1);
  EXPECT_EQ(runs.second.exit_code, 0);
  EXPECT_EQ(runs.second.err, "");
  EXPECT_EQ(runs.first.exit_code, 0);
  const std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[1],
            target().windows ? "E:single instance mutex cannot be opened, GLE: 6, going on"
                             : "E:single instance lock file was a link or not a regular file, "
                               "made anew");
  EXPECT_EQ(ReadTextFile(victim), "kept\n");
  if (!target().windows) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lock)));
  }
}

TEST_F(StartupTest, ProgramStartedWithoutWaitingDoesNotKeepTheGuard) {
  // The item outlives the run; a copy started right after must still run.
  std::string probe = target().Program("bin/probe");
  product_.AddProbe(probe);
  product_.SetInstalledModules({"core"});
  std::string release = tmp_.Join("release");
  auto item = [&](const std::string& wait, const std::string& param) {
    return Item({{"type", "Exe"},
                 {"file", target().Relative(probe)},
                 {"wait_for_exit", wait},
                 {"param", param}});
  };
  product_.AddModuleFile("mod_core.xml",
                         item("0", "--record=calls.txt --wait-for=" + target().Spell(release)),
                         item("1", ""),
                         item("1", ""));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  RunResult first = Run(options);
  ASSERT_TRUE(WaitForText(product_.Path("calls.txt"), "[end]\n")) << "the item never started";
  RunResult second = Run(options);
  // The second copy does not wait for its item either: wait for its record before the release.
  EXPECT_TRUE(WaitForText(product_.Path("calls.txt"), "[end]\n", 30000, 2));
  WriteTextFile(release, "");

  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(LogFileNames().size(), 2u) << "the second copy took itself for a second copy";
  EXPECT_EQ(ReadProbeRecords(product_.Path("calls.txt")).size(), 2u);
}

TEST_F(StartupTest, LogFileNameCarriesHostUserExtensionTimeAndPid) {
  RunOptions options;
  options.env["USER"] = "tester";
  RunResult run = Run(options);
  std::string user = target().fixed_log_user.empty() ? "tester" : target().fixed_log_user;
  std::string pid = run.pid != 0 ? std::to_string(run.pid) : R"(\d+)";
  std::vector<std::string> files = LogFileNames();
  ASSERT_EQ(files.size(), 1u);
  std::regex expected("Taverly\\." +
                      std::regex_replace(target().log_host, std::regex(R"(\.)"), "\\.") + "\\." +
                      user + R"(\.log\.INFO\.log_\d{8}-\d{6}\.)" + pid);
  EXPECT_TRUE(std::regex_match(files[0], expected)) << files[0];
}

TEST_F(StartupTest, LogFileUserFallsBackToTheAccountName) {
  if (target().windows) GTEST_SKIP() << "Wine names the token's account after the Unix user itself";
  RunOptions options;
  options.unset_env = {"USER"};
  Run(options);
  std::vector<std::string> files = LogFileNames();
  ASSERT_EQ(files.size(), 1u);
  struct passwd* account = getpwuid(geteuid());
  ASSERT_NE(account, nullptr);
  EXPECT_NE(files[0].find(std::string(".") + account->pw_name + ".log.INFO.log_"),
            std::string::npos)
      << files[0];
}

TEST_F(StartupTest, EmptyUserNameIsCalledInvalidUser) {
  if (target().windows) GTEST_SKIP() << "Wine names the token's account after the Unix user itself";
  RunOptions options;
  options.env["USER"] = "";
  Run(options);
  std::vector<std::string> files = LogFileNames();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find(".invalid-user.log.INFO.log_"), std::string::npos) << files[0];
}

TEST_F(StartupTest, EveryLineAlsoReachesStandardError) {
  RunResult run = RunWithInstallPath("");
  EXPECT_NE(run.err.find("] commindline --installpath= : " + target().line_break),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("] The incoming installation path does not exist, path:, just exit..."),
            std::string::npos)
      << run.err;
}

TEST_F(StartupTest, ExistingLogFolderIsReusedAndEarlierLogsStay) {
  Run({});
  Run({});
  EXPECT_EQ(LogFileNames().size(), 2u);
}

TEST_F(StartupTest, UnsafeLogFolderIsNeverWrittenThrough) {
  if (target().windows) GTEST_SKIP() << kPosixOnly << ": folder ownership and mode";
  // A folder that another account could have planted: writable by others.
  fs::create_directories(LogDir());
  chmod(LogDir().c_str(), 0777);
  RunResult run = RunWithInstallPath("");
  EXPECT_EQ(run.exit_code, 202);
  EXPECT_TRUE(fs::is_empty(LogDir()));
  EXPECT_NE(run.err.find("] The incoming installation path does not exist"), std::string::npos);
}

TEST_F(StartupTest, LogFolderThatIsALinkIsNotFollowed) {
  // Under Wine a symbolic link is a reparse point, as a junction is on Windows.
  std::string elsewhere = tmp_.Join("elsewhere");
  fs::create_directories(elsewhere);
  chmod(elsewhere.c_str(), 0700);
  fs::create_directory_symlink(elsewhere, LogDir());
  RunResult run = RunWithInstallPath("");
  EXPECT_EQ(run.exit_code, 202);
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_THAT(MessagesOf(ParseLogLines(run.err)),
              Contains("E:log folder cannot be used, path: " + TargetLogDir()));
}

}  // namespace
}  // namespace e2e
