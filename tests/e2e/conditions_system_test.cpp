// Conditions on what the system says (a pending restart, the registry) and
// the wait before a start while the system's installer is busy. Natively the
// signals are made in a private mount namespace (a /run and a
// /var/lib/dpkg of the test's own); under Wine in the prefix's registry and
// by a probe holding the installer's mutex.
#include <chrono>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>

#include "tests/e2e/conditions_fixture.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::MatchesRegex;

namespace e2e {
namespace {

const char kRestartKey[] =
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\"
    "RebootRequired";

TEST_F(ConditionsTest, PendingRestartPassesTheItemOver) {
  std::string signal = "/run/reboot-required";
  if (target().windows) {
    AddKey(kRestartKey);
    signal = kRestartKey;
  } else {
    const std::string why = HideFolder("/run");
    if (!why.empty()) GTEST_SKIP() << why;
    WriteTextFile("/run/reboot-required", "*** System restart required ***\n");
  }
  product_.AddModuleFile("mod_core.xml",
                         Tagged("pending", "", {{"unless_restart_pending", "1"}}),
                         Tagged("zero", "", {{"unless_restart_pending", "0"}}),
                         Tagged("odd", "", {{"unless_restart_pending", "yes"}}));
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"zero", "odd"}));
  EXPECT_EQ(
      MessagesWith("unless_restart_pending"),
      (std::vector<std::string>{PassedOver("unless_restart_pending", "1", " ,signal: " + signal),
                                "I:unless_restart_pending not used, path: " + At(probe_) +
                                    " ,unless_restart_pending: yes"}));
  EXPECT_EQ(Items(),
            (std::vector<std::string>{"skipped:unless_restart_pending", "succeeded", "succeeded"}));
  EXPECT_EQ(Count("skipped"), 1u);
  EXPECT_EQ(ReadTextFile(ResultFile()), Success());

  // Once the restart is no longer pending, the item runs.
  if (target().windows) {
    EXPECT_EQ(Windows({"reg", "delete", kRestartKey, "/f", "/reg:64"}), 0);
  } else {
    fs::remove("/run/reboot-required");
  }
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"zero", "odd", "pending", "zero", "odd"}));
  EXPECT_THAT(MessagesWith("item passed over"), IsEmpty());
  EXPECT_EQ(Items(), (std::vector<std::string>{"succeeded", "succeeded", "succeeded"}));
}

TEST_F(ConditionsTest, RegistryKeysAndValuesDecide) {
  const std::string key = "HKLM\\SOFTWARE\\TaverlyTest\\Conditions";
  if (target().windows) {
    AddKey("HKLM\\SOFTWARE\\TaverlyTest");
    AddKey(key, {"Name", "REG_SZ", "hello"});
    AddKey(key, {"Count", "REG_DWORD", "42"});
  }
  const std::vector<std::pair<std::string, bool>> cases = {
      {key, true},
      {"HKLM\\SOFTWARE\\TaverlyTest\\Absent", false},
      {key + "\\Name", true},
      {key + "\\Missing", false},
      {key + "\\Name=hello", true},
      {key + "\\Name=other", false},
      {key + "\\Count=42", true},
      {key + "\\Count=43", false},
  };
  std::string items;
  std::vector<std::string> runs, lines, statuses;
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string tag = "r" + std::to_string(i);
    items += Tagged(tag, "", {{"if_registry", cases[i].first}});
    const bool runs_it = cases[i].second || !target().windows;
    if (runs_it) runs.push_back(tag);
    statuses.push_back(runs_it ? "succeeded" : "skipped:if_registry");
    if (!target().windows) {
      lines.push_back("I:if_registry not used, path: " + At(probe_) +
                      " ,if_registry: " + cases[i].first);
    } else if (!runs_it) {
      lines.push_back(PassedOver("if_registry", cases[i].first));
    }
  }
  product_.AddModuleFile("mod_core.xml", items, Tagged("b", ""), Tagged("c", ""));
  EXPECT_EQ(RunAgain().exit_code, 0);
  runs.insert(runs.end(), {"b", "c"});
  EXPECT_EQ(Calls(), runs);
  EXPECT_EQ(MessagesWith("if_registry"), lines);
  statuses.insert(statuses.end(), {"succeeded", "succeeded"});
  EXPECT_EQ(Items(), statuses);
  EXPECT_EQ(Count("skipped"), target().windows ? 4u : 0u);
  EXPECT_EQ(ReadTextFile(ResultFile()), Success());
}

// Fixture: a probe in the background holding the installer's lock.
class ConditionsInstallerTest : public ConditionsTest {
 protected:
  void SetUp() override {
    if (!target().windows) {
      // Only this namespace sees the lock; the package manager's own stays untouched.
      const std::string why = HideFolder("/var/lib/dpkg");
      if (!why.empty()) GTEST_SKIP() << why;
    }
  }
  void TearDown() override {
    WriteTextFile(tmp_.Join("let-go"), "");
    if (holder_.pid != 0) {
      EXPECT_EQ(Wait(holder_).exit_code, 0);
    }
    ConditionsTest::TearDown();
  }
  // Takes the lock in the background until let-go is written.
  void HoldLock() {
    RunOptions hold;
    hold.program = target().probe;
    hold.arguments = {
        "--hold-installer-lock=" +
            std::string(target().windows ? "Global\\_MSIExecute" : "/var/lib/dpkg/lock-frontend"),
        "--record=" + target().Spell(tmp_.Join("held.txt")),
        "--wait-for=" + target().Spell(tmp_.Join("let-go"))};
    holder_ = Start(hold);
    ASSERT_TRUE(WaitForText(tmp_.Join("held.txt"), "[end]")) << "the lock was never taken";
  }
  // Waits until the log of the run under way holds text; false after 30 s.
  bool LogSays(const std::string& text) const {
    for (int i = 0; i < 1500; ++i) {
      for (const std::string& name : LogFileNames()) {
        if (ReadTextFile(LogDir() + "/" + name).find(text) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string Busy(const std::string& seconds) const {
    return "I:installer busy, waiting, path: " + At(probe_) + " ,wait_for_installer: " + seconds;
  }
  std::string StillBusy() const {
    return "I:installer still busy, path: " + At(probe_) + " ,exit code: 1618";
  }
  Process holder_;
};

TEST_F(ConditionsInstallerTest, ItemWaitsUntilTheInstallerLetsGo) {
  HoldLock();
  product_.AddModuleFile("mod_core.xml",
                         Tagged("a", "", {{"wait_for_installer", "30"}}),
                         Tagged("b", "", {{"wait_for_installer", "5"}, {"wait_for_exit", "0"}}) +
                             Tagged("c", "", {{"wait_for_installer", "x"}}),
                         Tagged("d", ""));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  const Process run = Start(options);
  // The lock is let go only once the run has said it waits for it.
  EXPECT_TRUE(LogSays("installer busy, waiting"));
  WriteTextFile(tmp_.Join("let-go"), "");
  EXPECT_EQ(Wait(holder_).exit_code, 0);
  holder_ = Process();
  EXPECT_EQ(Wait(run).exit_code, 0);
  const std::vector<std::string> lines = MessagesWith("installer");
  ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], Busy("30"));
  EXPECT_THAT(lines[1], MatchesRegex("I:installer no longer busy, path: .* ,waited ms: [0-9]+"));
  EXPECT_EQ(lines[1].substr(0, lines[1].find(" ,waited")),
            "I:installer no longer busy, path: " + At(probe_));
  EXPECT_EQ(lines[2],
            "I:wait_for_installer not used, path: " + At(probe_) + " ,wait_for_installer: 5");
  EXPECT_EQ(lines[3],
            "I:wait_for_installer not used, path: " + At(probe_) + " ,wait_for_installer: x");
  EXPECT_THAT(Calls(), IsSupersetOf({"a", "c", "d"}));  // b is not waited for
  EXPECT_EQ(Items(),
            (std::vector<std::string>{"succeeded", "succeeded", "succeeded", "succeeded"}));
  EXPECT_EQ(ReadTextFile(ResultFile()), Success());
}

// A start the busy installer kept from counts as exit code 1618, judged and
// retried as one the program gave.
TEST_F(ConditionsInstallerTest, StillBusyCountsAsExitCode1618) {
  HoldLock();
  product_.AddModuleFile("mod_core.xml",
                         Tagged("a", "", {{"wait_for_installer", "1"}, {"exitcode", "0"}}),
                         Tagged("b", ""),
                         Tagged("c", ""));
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(MessagesWith("installer"), (std::vector<std::string>{Busy("1"), StillBusy()}));
  EXPECT_EQ(Items(), (std::vector<std::string>{"failed", "not_reached", "not_reached"}));
  EXPECT_EQ(ItemOf(Key(1))["exit_code"].GetUint(), 1618u);
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");

  // Asked to retry on 1618, it waits again before the second start.
  product_.AddModuleFile("mod_core.xml",
                         Tagged("a",
                                "",
                                {{"wait_for_installer", "1"},
                                 {"exitcode", "0"},
                                 {"retry_exitcode", "1618"},
                                 {"retries", "1"},
                                 {"retry_delay", "0"}}),
                         Tagged("b", ""),
                         Tagged("c", ""));
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(MessagesWith("installer"),
            (std::vector<std::string>{Busy("1"), StillBusy(), Busy("1"), StillBusy()}));
  EXPECT_THAT(MessagesWith("started again"),
              ElementsAre("I:exe will be started again, exitCode: 1618 ,attempt: 2 of 2"));
  const auto& item = Report()["phases"][0]["items"][0];
  ASSERT_TRUE(item.HasMember("attempt_exit_codes"));
  EXPECT_EQ(item["attempt_exit_codes"].Size(), 2u);
  EXPECT_EQ(item["attempt_exit_codes"][1].GetUint(), 1618u);
  EXPECT_EQ(item["exit_code"].GetUint(), 1618u);
}

}  // namespace
}  // namespace e2e
