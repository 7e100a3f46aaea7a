// Items with a time limit ("timeout") and with their output in the log
// ("log_output"): both opt-in, both for Exe items that are waited for.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>

#include "tests/e2e/private_mounts.h"
#include "tests/e2e/supervision_fixture.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;

namespace e2e {
namespace {

TEST_F(SupervisionTest, ProgramPastItsLimitIsEndedWithEverythingItStarted) {
  const std::string pids = Named("pids.txt"), ticks = Named("ticks.txt");
  const std::string param = "--pid-file=" + pids + " --child=--pid-file=" + pids +
                            " --child=--tick=" + ticks + " --child=--sleep-ms=30000" +
                            " --sleep-ms=30000";
  product_.AddModuleFile("mod_core.xml", Probe("a"), Exe(param, {{"timeout", "1"}}), Probe("c"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 210);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a"}));
  EXPECT_THAT(
      LinesAfterStart("--pid-file="),
      ElementsAre("I:exe timed out, ended its processes, path: " + At(probe_) + " ,timeout: 1"));
  EXPECT_THAT(Messages(), Contains("E:CallOpenSelfProtectPlugins() failed"));
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:51");
  EXPECT_EQ(Result("error_info", "error_detail"),
            "exe timed out, exe file:" + At(probe_) + " ,param:" + param + " ,timeout:1");
  EXPECT_FALSE(StillTicking(product_.Path("ticks.txt"))) << "the grandchild still runs";
  if (!target().windows) {
    EXPECT_TRUE(AllGone(product_.Path("pids.txt")));
  }
}

TEST_F(SupervisionTest, NoSessionOrGroupTheProgramMakesGetsAnythingOut) {
  const std::string pids = Named("pids.txt"), ticks = Named("ticks.txt");
  // A session of its own works under a limit as without one (Windows: a job
  // of its own); a grandchild that makes one is ended with the rest.
  const std::string escaping =
      "--pid-file=" + pids + " --child=--new-session --child=--pid-file=" + pids +
      " --child=--tick=" + ticks + " --child=--sleep-ms=30000 --sleep-ms=30000";
  product_.AddModuleFile("mod_core.xml",
                         Exe("--new-session --exit=0", {{"timeout", "30"}, {"exitcode", "0"}}) +
                             Exe(escaping, {{"timeout", "1"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(LinesAfterStart("--new-session"),
              ElementsAre("I:exitCode match the expectations , exitCode: 0. expected result: -1"));
  EXPECT_THAT(
      LinesAfterStart("--pid-file="),
      ElementsAre("I:exe timed out, ended its processes, path: " + At(probe_) + " ,timeout: 1"));
  EXPECT_FALSE(StillTicking(product_.Path("ticks.txt"))) << "the grandchild still runs";
  if (!target().windows) {
    EXPECT_TRUE(AllGone(product_.Path("pids.txt")));
  }
}

TEST_F(SupervisionTest, ProgramThatJoinsTheCallersProcessGroupIsEnded) {
  if (target().windows) GTEST_SKIP() << "process groups are POSIX";
  const std::string param =
      "--join-parent-group --pid-file=" + Named("pids.txt") + " --sleep-ms=30000";
  product_.AddModuleFile("mod_core.xml", Exe(param, {{"timeout", "2"}}), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(
      LinesAfterStart("--join-parent-group"),
      ElementsAre("I:exe timed out, ended its processes, path: " + At(probe_) + " ,timeout: 2"));
  EXPECT_TRUE(AllGone(product_.Path("pids.txt")));
}

// Where no control group can be made (here: the hierarchy hidden in a
// private mount namespace), the program leads a process group of its own;
// one that leaves it is still ended, by its own handle, and the line says
// what could not be reached.
class WithoutControlGroupsTest : public SupervisionTest {
 protected:
  void SetUp() override {
    if (target().windows) GTEST_SKIP() << "control groups are Linux's";
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(mount("tmpfs", "/sys/fs/cgroup", "tmpfs", 0, "size=4k"), 0);
  }
};

TEST_F(WithoutControlGroupsTest, ProgramThatLeavesItsGroupIsEndedByItsHandle) {
  const std::string param =
      "--join-parent-group --pid-file=" + Named("pids.txt") + " --sleep-ms=30000";
  product_.AddModuleFile("mod_core.xml", Exe(param, {{"timeout", "1"}}), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(LinesAfterStart("--join-parent-group"),
              ElementsAre("I:exe timed out, ended its processes, path: " + At(probe_) +
                          " ,timeout: 1, only the program"));
  EXPECT_TRUE(AllGone(product_.Path("pids.txt")));
}

// A child that makes a session of its own leaves the process group; it is
// found as the program's descendant and ended, and the line says that one
// whose parent had ended could not have been seen.
TEST_F(WithoutControlGroupsTest, ChildInASessionOfItsOwnIsEndedToo) {
  const std::string pids = "--pid-file=" + Named("pids.txt");
  const std::string param = pids + " --child=--new-session --child=" + pids +
                            " --child=--sleep-ms=30000 --sleep-ms=30000";
  product_.AddModuleFile("mod_core.xml", Exe(param, {{"timeout", "1"}}), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(LinesAfterStart(pids),
              ElementsAre("I:exe timed out, ended its processes, path: " + At(probe_) +
                          " ,timeout: 1, 1 of them had left its group, some may have escaped"));
  const std::string started = ReadTextFile(product_.Path("pids.txt"));
  EXPECT_EQ(std::count(started.begin(), started.end(), '\n'), 2) << started;
  EXPECT_TRUE(AllGone(product_.Path("pids.txt")));
}

TEST_F(SupervisionTest, ProgramThatIgnoresTheRequestIsForcedAfterTheGrace) {
  if (target().windows) {
    GTEST_SKIP() << "Windows asks a program without windows nothing; the job is ended after "
                    "the grace, as the test above shows";
  }
  const std::string param = "--ignore-term --touch=" + Named("done.txt") + " --sleep-ms=60000";
  product_.AddModuleFile(
      "mod_core.xml", Exe(param, {{"timeout", "1"}, {"log_output", "1"}}), Probe("b"), Probe("c"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 210);
  // It heard the request, carried on, and was ended without reaching its end.
  EXPECT_THAT(
      LinesAfterStart("--ignore-term"),
      ElementsAre("I:exe output: end request ignored",
                  "I:exe timed out, ended its processes, path: " + At(probe_) + " ,timeout: 1"));
  EXPECT_EQ(ReadTextFile(product_.Path("done.txt")), "");
}

TEST_F(SupervisionTest, ProgramEndingInTimeIsJudgedAsAlwaysAndWhatItLeftRuns) {
  const std::string done = Named("child-done.txt");
  const std::string param = "--child=--sleep-ms=1500 --child=--touch=" + done + " --exit=7";
  product_.AddModuleFile("mod_core.xml",
                         Exe("--exit=0", {{"timeout", "30"}, {"exitcode", "0"}}) +
                             Exe(param, {{"timeout", "30"}, {"exitcode", "0"}}),
                         Probe("b"),
                         Probe("c"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 210);
  const std::string message = "exitCode do not match expectations, exe file:" + At(probe_) +
                              " ,param:" + param + " ,exe exit code:7 ,expected exit code:-1";
  EXPECT_THAT(LinesAfterStart("--exit=0"),
              ElementsAre("I:exitCode match the expectations , exitCode: 0. expected result: -1"));
  EXPECT_THAT(LinesAfterStart("--child="), ElementsAre("I:" + message));
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");
  EXPECT_EQ(Result("error_info", "error_detail"), message);
  // The process it started outlives it, as without a time limit.
  EXPECT_TRUE(WaitForText(product_.Path("child-done.txt"), "done\n", 20000));
}

// Which texts a time limit takes is the item's rule (CallPlugins/Item_test.cpp).
TEST_F(SupervisionTest, TimeoutThatCannotBeUsedIsSaidAndChangesNothing) {
  std::string items;
  for (const char* value : {"86401", " 5"}) {
    items += Exe("--tag=" + std::string(value), {{"timeout", value}});
  }
  items += Exe("--tag=nowait", {{"timeout", "5"}, {"wait_for_exit", "0"}});
  product_.AddModuleFile("mod_core.xml", items, Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  std::vector<std::string> messages = Messages();
  for (const char* value : {"86401", " 5"}) {
    const std::string start = "I:run exe application: " + At(probe_) + " , param: --tag=" + value +
                              " ,wait_for_exit: 1 , system: ";
    auto at = std::find(messages.begin(), messages.end(), start);
    ASSERT_NE(at, messages.end()) << value;
    ASSERT_NE(at, messages.begin());
    EXPECT_EQ(*(at - 1),
              "I:timeout not used, path: " + At(probe_) + " ,timeout: " + std::string(value));
  }
  EXPECT_THAT(messages, Contains("I:timeout not used, path: " + At(probe_) + " ,timeout: 5"));
}

TEST_F(SupervisionTest, OutputOfBothStreamsIsLoggedLineByLine) {
  const std::string param = "--out=one\\ntwo\\r\\n --err=three\\n --out=four --long-line=20000";
  product_.AddModuleFile(
      "mod_core.xml", Exe(param, {{"log_output", "1"}, {"exitcode", "0"}}), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_THAT(LinesAfterStart("--out=one"),
              ElementsAre("I:exe output: one",
                          "I:exe output: two",
                          "I:exe output: three",
                          "I:exe output: four" + std::string(16384 - 4, 'x'),
                          "I:exe output: 3620 bytes left out",  // 4 + 20000 - 16384
                          "I:exitCode match the expectations , exitCode: 0. expected result: -1"));
}

TEST_F(SupervisionTest, OutputIsUtf8OrElseReadInTheConsoleCodePage) {
  // FF FE; 81, u with diaeresis in code page 437; UTF-8 e acute; both.
  product_.AddModuleFile(
      "mod_core.xml",
      Exe("--out=\\xFF\\xFE\\n\\x81\\n\\xC3\\xA9\\n\\xC3\\xA9\\x81\\n", {{"log_output", "1"}}),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  // Natively the bytes are UTF-8 or escaped; the Wine account's console code
  // page, 437, has a character for every byte.
  const std::vector<std::string> shown =
      target().windows
          ? std::vector<std::string>{"\xC2\xA0\xE2\x96\xA0",
                                     "\xC3\xBC",
                                     "\xC3\xA9",
                                     "\xE2\x94\x9C\xE2\x8C\x90\xC3\xBC"}
          : std::vector<std::string>{"\\xFF\\xFE", "\\x81", "\xC3\xA9", "\xC3\xA9\\x81"};
  std::vector<std::string> expected;
  for (const std::string& text : shown) expected.push_back("I:exe output: " + text);
  EXPECT_EQ(LinesAfterStart("--out=\\xFF"), expected);
}

TEST_F(SupervisionTest, MoreThanSixtyFourKibibytesShowsHeadAndTail) {
  product_.AddModuleFile(
      "mod_core.xml", Exe("--out-lines=10000", {{"log_output", "1"}}), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  std::vector<std::string> lines = LinesAfterStart("--out-lines=");
  // The head ends inside line 2731, which is logged whole; the tail starts
  // inside line 7270, which is left out.
  ASSERT_EQ(lines.size(), 5462u);
  EXPECT_EQ(lines[0], "I:exe output: line 000001");
  EXPECT_EQ(lines[2730], "I:exe output: line 002731");
  EXPECT_EQ(lines[2731], "I:exe output: 54468 bytes left out");
  EXPECT_EQ(lines[2732], "I:exe output: line 007271");
  EXPECT_EQ(lines.back(), "I:exe output: line 010000");
}

TEST_F(SupervisionTest, OutputAndEchoedTextCannotForgeALine) {
  product_.AddModuleFile("mod_core.xml",
                         Exe("--out=working\\rE20261208_main.cpp:81]_call_plugins_success.\\n",
                             {{"log_output", "1"}}) +
                             Exe("--tag=echo", {{"timeout", "5&#10;E20261208 forged"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_THAT(
      Messages(),
      IsSupersetOf(std::vector<std::string>{
          "I:exe output: working\\x0DE20261208_main.cpp:81]_call_plugins_success.",
          "I:timeout not used, path: " + At(probe_) + " ,timeout: 5\\x0AE20261208 forged"}));
  if (!target().windows) {
    const std::string log = ReadTextFile(LogDir() + "/" + LogFileNames().at(0));
    EXPECT_EQ(log.find('\r'), std::string::npos);
  }
}

TEST_F(SupervisionTest, FloodedOutputIsReadAsItComesAndNotKept) {
  const std::string written = Named("written.txt"), release = tmp_.Join("release");
  product_.AddModuleFile("mod_core.xml",
                         Exe("--out-bytes=67108864 --mark=" + written + " --wait-for=" + release,
                             {{"log_output", "1"}}),
                         Probe("b"),
                         Probe("c"));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  Process run = Start(options);
  ASSERT_TRUE(WaitForText(product_.Path("written.txt"), "written\n"));
  // 64 MiB went through; neither the program's memory nor a file holds them:
  // not in the log folder, nor (natively) one it has open.
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(LogDir())) files.push_back(entry.path());
  long resident_kib = 0;
  if (!target().windows) {
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(run.pid) + "/fd")) {
      files.push_back(fd.path());
    }
    std::istringstream status(ReadTextFile("/proc/" + std::to_string(run.pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) resident_kib = std::stol(line.substr(6));
    }
    EXPECT_GT(resident_kib, 0);
  }
  uintmax_t largest = 0;
  for (const fs::path& file : files) {
    std::error_code error;
    if (fs::is_regular_file(file, error)) largest = std::max(largest, fs::file_size(file, error));
  }
  WriteTextFile(release, "");
  EXPECT_EQ(Wait(run).exit_code, 0);
  // The sanitizers' runtime keeps shadow memory and freed blocks of its own.
  EXPECT_LT(resident_kib, (target().sanitized ? 64 : 32) * 1024);
  EXPECT_LT(largest, 1024u * 1024u);
  EXPECT_THAT(Messages(), Contains("I:exe output: 67043328 bytes left out"));
}

TEST_F(SupervisionTest, OutputOfATimedOutProgramIsLoggedBeforeItsLine) {
  product_.AddModuleFile(
      "mod_core.xml",
      Exe("--out=started --sleep-ms=30000", {{"timeout", "1"}, {"log_output", "1"}}),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(
      LinesAfterStart("--out=started"),
      ElementsAre("I:exe output: started",
                  "I:exe timed out, ended its processes, path: " + At(probe_) + " ,timeout: 1"));
}

TEST_F(SupervisionTest, ProcessKeepingTheOutputOpenDoesNotHoldTheRun) {
  // The program ends at once; what it started writes on, long after.
  const std::string param =
      "--child=--sleep-ms=20000 --child=--out-after=late --child=--pid-file=" + Named("child.pid") +
      " --out=early";
  product_.AddModuleFile("mod_core.xml", Exe(param, {{"log_output", "1"}}), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_THAT(LinesAfterStart("--child="), ElementsAre("I:exe output: early"));
  EXPECT_THAT(Messages(), Not(Contains("I:exe output: late")));
  if (!target().windows) {
    std::istringstream in(ReadTextFile(product_.Path("child.pid")));
    long pid = 0;
    if (in >> pid) kill(static_cast<pid_t>(pid), SIGKILL);
  }
}

TEST_F(SupervisionTest, OutputOfAProgramNotWaitedForIsNotCaptured) {
  product_.AddModuleFile("mod_core.xml",
                         Exe("--out=x", {{"log_output", "1"}, {"wait_for_exit", "0"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  std::vector<std::string> messages = Messages();
  const std::string start =
      "I:run exe application: " + At(probe_) + " , param: --out=x ,wait_for_exit: 0 , system: ";
  auto at = std::find(messages.begin(), messages.end(), start);
  ASSERT_NE(at, messages.end());
  EXPECT_EQ(*(at - 1), "I:exe output not captured, path: " + At(probe_));
  EXPECT_THAT(messages, Not(Contains(HasSubstr("exe output: "))));
}

TEST_F(SupervisionTest, CommandScriptOutputIsCapturedThroughTheCommandProcessor) {
  if (!target().windows) GTEST_SKIP() << "command scripts are Windows files";
  WriteTextFile(product_.Path("bin/hello.cmd"), "@echo off\r\necho from the script\r\n");
  WriteTextFile(product_.Path("bin/notes.unknown"), "a document");
  product_.AddModuleFile("mod_core.xml",
                         Item({{"type", "Exe"},
                               {"file", "bin\\hello.cmd"},
                               {"wait_for_exit", "1"},
                               {"log_output", "1"},
                               {"exitcode", "0"}}) +
                             Item({{"type", "Exe"},
                                   {"file", "bin\\notes.unknown"},
                                   {"wait_for_exit", "1"},
                                   {"log_output", "1"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  std::vector<std::string> messages = Messages();
  EXPECT_THAT(messages,
              IsSupersetOf(std::vector<std::string>{
                  "I:exe output: from the script",
                  "I:exitCode match the expectations , exitCode: 0. expected result: -1",
                  "I:exe output not captured, path: " + At("bin/notes.unknown")}));
  // A document is started as always, by the shell, after its line.
  const std::string start = "I:run exe application: " + At("bin/notes.unknown") +
                            " , param:  ,wait_for_exit: 1 , system: ";
  auto at = std::find(messages.begin(), messages.end(), start);
  ASSERT_NE(at, messages.end());
  EXPECT_EQ(*(at - 1), "I:exe output not captured, path: " + At("bin/notes.unknown"));
}

}  // namespace
}  // namespace e2e
