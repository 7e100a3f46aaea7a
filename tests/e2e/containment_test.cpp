// What a supervised program cannot get around: the signals the installer
// left ignored or blocked, a way out of its control group, groups of its
// own below it, and a command processor named by the environment.
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>

#include "tests/e2e/report_check.h"
#include "tests/e2e/supervision_fixture.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

namespace e2e {
namespace {

// Where the cgroup2 hierarchy is mounted (empty: nowhere), and whether it is
// mounted with nsdelegate, which makes a namespace a delegation boundary.
struct Hierarchy {
  std::string mount;
  bool delegates = false;
};

Hierarchy FindHierarchy() {
  std::ifstream mounts("/proc/self/mountinfo");
  Hierarchy hierarchy;
  for (std::string line, skip; std::getline(mounts, line) && hierarchy.mount.empty();) {
    if (line.find(" - cgroup2 ") == std::string::npos) continue;
    std::istringstream(line) >> skip >> skip >> skip >> skip >> hierarchy.mount;
    hierarchy.delegates = line.find("nsdelegate", line.find(" - cgroup2 ")) != std::string::npos;
  }
  return hierarchy;
}

// This process's control group, where a run makes its groups; or empty.
std::string OwnGroup(const Hierarchy& hierarchy) {
  const std::string own = ReadTextFile("/proc/self/cgroup");
  const size_t at = own.find("0::");
  if (hierarchy.mount.empty() || at == std::string::npos) return std::string();
  const std::string path = own.substr(at + 3, own.find('\n', at) - at - 3);
  return hierarchy.mount + (path == "/" ? "" : path);
}

std::vector<long> PidsIn(const std::string& file) {
  std::istringstream in(ReadTextFile(file));
  std::vector<long> pids;
  for (long pid = 0; in >> pid;) pids.push_back(pid);
  return pids;
}

TEST_F(SupervisionTest, SignalsTheInstallerLeftIgnoredOrBlockedReachNeitherWaitNorProgram) {
  if (target().windows) GTEST_SKIP() << "signal dispositions are POSIX's";
  const std::string signals = Named("signals.txt");
  product_.AddModuleFile("mod_core.xml",
                         Exe("--signals=" + signals, {{"exitcode", "0"}}) +
                             Exe("--signals=" + signals, {{"exitcode", "0"}, {"timeout", "30"}}),
                         Probe("b"),
                         Probe("c"));
  // The installer, played by env. An ignored SIGCHLD has the kernel reap
  // each child before it is waited for.
  RunOptions options;
  options.program = "/usr/bin/env";
  options.arguments = {"--ignore-signal=CHLD,PIPE,HUP,TERM",
                       "--block-signal=TERM,USR1",
                       TaverlyBinary(),
                       "--installpath=" + product_.TargetFolder()};
  EXPECT_EQ(Run(options).exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"b", "c"}));
  const std::string none = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";
  EXPECT_EQ(ReadTextFile(product_.Path("signals.txt")), none + none);
}

TEST_F(SupervisionTest, NeitherAWayOutOfItsGroupNorGroupsBelowItOutlastTheProgram) {
  if (target().windows) GTEST_SKIP() << "control groups are Linux's";
  const Hierarchy hierarchy = FindHierarchy();
  if (hierarchy.mount.empty()) GTEST_SKIP() << "no cgroup2 hierarchy is mounted";
  const std::string pids = Named("pids.txt"), ticks = Named("ticks.txt");
  // The child moves itself out into the hierarchy's root group.
  const std::string param = "--pid-file=" + pids + " --child=--pid-file=" + pids +
                            " --child=--write-pid-to=" + hierarchy.mount + "/cgroup.procs" +
                            " --child=--tick=" + ticks +
                            " --child=--sleep-ms=30000 --sleep-ms=30000";
  product_.AddModuleFile("mod_core.xml", Exe(param, {{"timeout", "3"}}), Probe("b"), Probe("c"));
  // A killed run's group goes, with its process; a live run's (this test's) stays.
  const pid_t gone = fork(), left = gone == 0 ? 0 : fork();
  while (gone == 0 || left == 0) pause();
  kill(gone, SIGKILL);
  waitpid(gone, nullptr, 0);
  const std::string own = OwnGroup(hierarchy);
  const std::string stale = own + "/taverly-" + std::to_string(gone) + "-1";
  const std::string live = own + "/taverly-" + std::to_string(getpid()) + "-9";
  ASSERT_TRUE(mkdir(stale.c_str(), 0755) == 0 && mkdir(live.c_str(), 0755) == 0);
  WriteTextFile(stale + "/cgroup.procs", std::to_string(left));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  Process run = Start(options);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (PidsIn(product_.Path("pids.txt")).size() < 2 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::vector<long> started = PidsIn(product_.Path("pids.txt"));
  ASSERT_EQ(started.size(), 2u);
  // The program goes two groups deeper, as one that makes groups of its own.
  std::string group = ReadTextFile("/proc/" + std::to_string(started[0]) + "/cgroup");
  group = group.substr(group.find("0::") + 3);
  group = hierarchy.mount + group.substr(0, group.find('\n'));
  const std::string deeper = group + "/nested/deeper";
  ASSERT_EQ(mkdir((group + "/nested").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deeper.c_str(), 0755), 0);
  WriteTextFile(deeper + "/cgroup.procs", std::to_string(started[0]));
  ASSERT_EQ(ReadTextFile(deeper + "/cgroup.procs"), std::to_string(started[0]) + "\n");
  EXPECT_EQ(Wait(run).exit_code, 210);
  // With nsdelegate the move out is refused: the child stays in the group.
  EXPECT_THAT(
      LinesAfterStart("--pid-file="),
      ElementsAre("I:exe timed out, ended its processes, path: " + At(probe_) + " ,timeout: 3" +
                  (hierarchy.delegates ? "" : ", 1 of them had left its group")));
  EXPECT_FALSE(StillTicking(product_.Path("ticks.txt"))) << "the child that moved out still runs";
  EXPECT_TRUE(AllGone(product_.Path("pids.txt")));
  EXPECT_FALSE(fs::exists(group)) << "the run's group is left behind";
  int status = 0;
  const bool ended = waitpid(left, &status, WNOHANG) == left;
  if (!ended) kill(left, SIGKILL);
  EXPECT_TRUE(ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_EQ(rmdir(live.c_str()), 0) << "a live run's group was removed";
}

// A signal ends the program under way with all it started, as a time-out
// would, and the run fails saying which; its control group goes with it.
struct EndRow {
  int signal;
  std::string name;
  std::map<std::string, std::string> extra;
};
class EndedFromOutsideTest : public ReportTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(EndedFromOutsideTest, EndsTheProgramUnderWayAndFailsSayingWhichSignal) {
  if (target().windows) GTEST_SKIP() << "a windowless program is ended by TerminateProcess";
  std::map<std::string, std::string> item = GetParam().extra;
  const std::string pids = At("pids.txt");
  item["param"] = "--pid-file=" + pids + " --child=--pid-file=" + pids +
                  " --child=--sleep-ms=30000 --sleep-ms=30000";
  product_.AddModuleFile("mod_core.xml", Probe("a") + Probe("", item) + Probe("b"), Probe("c"), "");
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  Process run = Start(options);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (PidsIn(product_.Path("pids.txt")).size() < 2 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(run.pid, GetParam().signal);
  // Without a control group nothing marks what the program started.
  const std::string own = OwnGroup(FindHierarchy());
  const bool grouped = item.count("timeout") > 0 && fs::exists(own + "/cgroup.procs");
  EXPECT_EQ(Wait(run).exit_code, 210);
  EXPECT_THAT(
      Messages(),
      IsSupersetOf({"I:exe ended with the run, ended its processes, path: " + At(probe_) +
                        (grouped ? "" : ", some may have escaped"),
                    "E:run ended by signal " + GetParam().name + ", no further item is started"}));
  EXPECT_EQ(Result("result", "is_success"), "false");
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:53");
  EXPECT_EQ(Result("error_info", "error_detail"), "run ended by signal " + GetParam().name);
  EXPECT_THAT(Statuses(),
              ElementsAre("after_setup/" + Key(1) + ":succeeded",
                          "after_setup/" + Key(2) + ":failed",
                          "after_setup/" + Key(3) + ":not_reached",
                          "open_selfprotect/" + Key(4) + ":not_reached"));
  EXPECT_EQ(ItemOf(Key(2))["ended_by_signal"].GetString(), GetParam().name);
  EXPECT_TRUE(SupervisionTest::AllGone(product_.Path("pids.txt")));
  EXPECT_FALSE(!own.empty() && fs::exists(own + "/taverly-" + std::to_string(run.pid) + "-1"));
}

INSTANTIATE_TEST_SUITE_P(Signals, EndedFromOutsideTest,
                         ::testing::Values(EndRow{SIGTERM, "SIGTERM", {{"timeout", "60"}}},
                                           EndRow{SIGINT, "SIGINT", {{"log_output", "1"}}},
                                           EndRow{SIGHUP, "SIGHUP", {}}));

// A program that signals its own process group (kill 0), waited for or not,
// reaches only that group: the run goes on to its end.
TEST_F(SupervisionTest, ProgramSignallingItsGroupLeavesTheRunGoingOn) {
  if (target().windows) GTEST_SKIP() << "process groups are POSIX";
  product_.AddFile("bin/sh", "/bin/sh");
  const auto shell = [](const std::string& wait, const std::string& script) {
    return Item({{"type", "Exe"},
                 {"file", "bin/sh"},
                 {"wait_for_exit", wait},
                 {"param", "-c &quot;" + script + "&quot;"}});
  };
  product_.AddModuleFile("mod_core.xml",
                         shell("1", "kill 0") +
                             shell("0", "trap '' TERM; kill 0; : &gt; kill0.txt") +
                             Exe("--wait-for=" + Named("kill0.txt"), {{"exitcode", "0"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"b", "c"}));
}

TEST_F(SupervisionTest, CommandScriptsRunInTheSystemFoldersCommandProcessor) {
  if (!target().windows) GTEST_SKIP() << "command scripts are Windows files";
  WriteTextFile(product_.Path("bin/note.cmd"), "@echo off\r\necho %1>>ran.txt\r\nexit /b 0\r\n");
  std::string items;
  for (const auto& extra : std::vector<std::map<std::string, std::string>>{
           {{"param", "shell"}},
           {{"param", "timed"}, {"timeout", "30"}},
           {{"param", "captured"}, {"log_output", "1"}}}) {
    std::map<std::string, std::string> item = {
        {"type", "Exe"}, {"file", "bin\\note.cmd"}, {"wait_for_exit", "1"}, {"exitcode", "0"}};
    item.insert(extra.begin(), extra.end());
    items += Item(item);
  }
  product_.AddModuleFile("mod_core.xml", items, Probe("b"), Probe("c"));
  // The probe in the processor's place would run no script at all. Wine
  // takes ComSpec from the account's environment in the registry, not from
  // the Unix one.
  RunOptions reg;
  reg.program = "reg";
  reg.arguments = {"add", "HKCU\\Environment", "/v", "ComSpec", "/d", At(probe_), "/f"};
  ASSERT_EQ(Run(reg).exit_code, 0);
  const int exit_code = RunProduct().exit_code;
  reg.arguments = {"delete", "HKCU\\Environment", "/v", "ComSpec", "/f"};
  EXPECT_EQ(Run(reg).exit_code, 0);
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(ReadTextFile(product_.Path("ran.txt")), "shell\r\ntimed\r\ncaptured\r\n");
}

}  // namespace
}  // namespace e2e
