// The undo journal across runs: a resumed run that fails, a run ended from
// outside during its phases or its rollback, --undo, and a journal another
// account could have written.
#include <csignal>
#include <filesystem>

#include <gmock/gmock.h>

#include "tests/e2e/report_check.h"
#include "tests/e2e/restart_fixture.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::IsSupersetOf;

namespace e2e {
namespace {

class UndoJournalTest : public RestartTest {
 protected:
  // A probe item whose undo is the probe recording "u<tag>" with more.
  std::string Undoable(const std::string& tag, const std::string& param,
                       std::map<std::string, std::string> extra = {},
                       const std::string& undo_param = "") const {
    extra["undo"] = probe_ + " --record=%productpath%" + std::string(1, target().separator) +
                    "calls.txt --tag=u" + tag + undo_param;
    return Tagged(tag, param, extra);
  }
  RunResult Undo(const std::string& option = "--undo") {
    for (const std::string& name : LogFileNames()) fs::remove(LogDir() + "/" + name);
    RunOptions options;
    options.arguments = {"--installpath=" + product_.TargetFolder(), option};
    return Run(options);
  }
  // Starts the product, and kills it once the calls hold tag's record.
  void KillWhenCalled(const std::string& tag, int signal = SIGKILL) {
    RunOptions options;
    options.arguments = {"--installpath=" + product_.TargetFolder()};
    const Process run = Start(options);
    EXPECT_TRUE(WaitForText(product_.Path("calls.txt"), "--tag=" + tag + "\n"));
    kill(run.pid, signal);
    EXPECT_EQ(Wait(run).exit_code, signal == SIGKILL ? 128 + SIGKILL : 210);
    WriteTextFile(product_.Path("go.txt"), "");  // lets the stray program end
  }
  std::string Call() const {
    std::string calls;
    for (const std::string& call : Calls()) calls += (calls.empty() ? "" : " ") + call;
    fs::remove(product_.Path("calls.txt"));
    return calls;
  }
  const std::string go_ =
      " --wait-for=%productpath%" + std::string(1, target().separator) + "go.txt";
};

TEST_F(UndoJournalTest, ResumedRunThatFailsUndoesWhatWasDoneBeforeTheRestart) {
  product_.AddModuleFile("mod_core.xml",
                         Undoable("a", "") +
                             Undoable("b", "--exit=3", {{"reboot_now_exitcode", "3"}}) +
                             Tagged("c", "--exit=1", {{"exitcode", "0"}}),
                         Probe("y"),
                         Probe("z"));
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Call(), "a b");
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_EQ(Call(), "c ub ua");
  EXPECT_THAT(Messages(), Contains("I:rollback started, items to undo: 2"));
  EXPECT_EQ(Result("result", "rollback"), "complete");
  // --undo after a stop for a restart takes the restart record away, though
  // no undo succeeded: the next run starts afresh.
  const std::map<std::string, std::string> restart = {{"reboot_now_exitcode", "3"}};
  product_.AddModuleFile(
      "mod_core.xml",
      Undoable("a", "", {}, " --exit=1") + Undoable("b", "--exit=3", restart, " --exit=1"),
      Probe("y"),
      Probe("z"));
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Undo().exit_code, 210);
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Call(), "a b ub ua a b");
}

// A run killed during its phases, one killed during its rollback: the next
// run finishes what was to be undone first, then runs as usual.
TEST_F(UndoJournalTest, NextRunFinishesTheRollbackOfAKilledRun) {
  struct Row {
    std::string items;  // the killed run's first phase
    std::string killed_at;
    std::string earlier;  // what the next run undoes first, and how many
    char count;
    int signal = SIGKILL;  // SIGTERM: the undo ended with the run is started again
  };
  const std::vector<Row> rows = {
      {Undoable("a", "") + Undoable("b", go_) + Tagged("c", ""), "b", "ub ua", '2'},
      {Undoable("a", "", {}, go_) + Tagged("b", "--exit=1", {{"exitcode", "0"}}), "ua", "ua", '1'},
      {Undoable("a", "", {}, go_) + Tagged("b", "--exit=1", {{"exitcode", "0"}}),
       "ua",
       "ua",
       '1',
       SIGTERM},
  };
  for (const Row& row : rows) {
    if (row.signal == SIGTERM && target().windows) continue;  // there it ends the process
    product_.AddModuleFile("mod_core.xml", row.items, Probe("y"), Probe("z"));
    // SIGTERM twice: the second run, ended as it finishes the first's
    // rollback, runs no phase and keeps what is left to undo.
    for (int run = row.signal == SIGTERM ? 2 : 1, first = run; run > 0; --run) {
      fs::remove(product_.Path("go.txt"));
      KillWhenCalled(row.killed_at, row.signal);
      EXPECT_EQ(Call() == "ua", run != first);
      // the run before told it; a killed run does not
      if (run == first) {
        EXPECT_EQ(Result("result", "earlier_rollback"), "<absent>");
      }
    }
    product_.AddModuleFile("mod_core.xml", Tagged("d", ""), Probe("y"), Probe("z"));
    EXPECT_EQ(RunAgain().exit_code, 0);
    EXPECT_EQ(Call(), row.earlier + " d y z") << row.killed_at;
    EXPECT_THAT(
        Messages(),
        Contains("I:rollback of an interrupted run, items to undo: " + std::string(1, row.count)));
    EXPECT_EQ(Result("result", "earlier_rollback"), "complete");
  }
}

TEST_F(UndoJournalTest, UndoTakesBackTheLastSuccessfulRunOnce) {
  // Nothing recorded: a run that undid nothing (its boundary kept a), then
  // a run without a journal.
  product_.AddModuleFile("mod_core.xml",
                         Undoable("a", "", {{"rollback_boundary", "1"}}) +
                             Tagged("b", "--exit=1", {{"exitcode", "0"}}),
                         Probe("y"),
                         Probe("z"));
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_EQ(Undo().exit_code, 0);
  EXPECT_THAT(Messages(), Contains("I:nothing to undo"));
  EXPECT_EQ(Call(), "a b");

  product_.AddModuleFile("mod_core.xml",
                         Undoable("a", "", {{"rollback_boundary", "1"}}) + Undoable("b", ""),
                         Probe("y"),
                         Probe("z"));
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Call(), "a b y z");
  for (const std::string misspelt : {"-undo", "--Undo", "--undo=1"}) {  // neither run nor undo
    EXPECT_EQ(Undo(misspelt).exit_code, 210);
    EXPECT_THAT(Messages(),
                Contains("E:undo option not understood, nothing is run, value: " + misspelt));
    EXPECT_EQ(Result("result", "is_success"), "false");
  }
  // The module files are gone: the journal says what to undo.
  fs::remove_all(product_.Path("modularize"));
  EXPECT_EQ(Undo().exit_code, 0);
  EXPECT_EQ(Call(), "ub ua");
  EXPECT_THAT(Messages(), IsSupersetOf({"I:undo requested, items to undo: 2"}));
  EXPECT_EQ(Result("result", "rollback"), "complete");
  rapidjson::Document report;
  ASSERT_TRUE(ValidReport(ReadTextFile(ReportFile()), &report));
  const auto& undone = report["phases"][0]["items"];
  ASSERT_EQ(undone.Size(), 2u);  // a boundary does not stop a request
  for (const auto& item : undone.GetArray()) {
    EXPECT_EQ(std::string(item["undo"]["status"].GetString()), "undone");
  }
  EXPECT_EQ(report["counts"]["undone"].GetUint64(), 2u);
  EXPECT_EQ(Undo().exit_code, 0);
  EXPECT_THAT(Messages(), Contains("I:nothing to undo"));
  EXPECT_EQ(Call(), "");

  // A journal another account could have written is not used.
  const std::string journal = Records("TaverlyUndoJournal").at(0);
  fs::permissions(journal, fs::perms(0666));
  EXPECT_EQ(Undo().exit_code, 210);
  EXPECT_THAT(Messages(),
              Contains("E:undo journal not used, path: " + Target(journal) +
                       " ,reason: another account owns it or may write it"));
  fs::permissions(journal, fs::perms(0600));
  fs::create_hard_link(journal, journal + ".2");  // a second name; then too large to be one
  for (const std::string reason : {"it is a link", "it is too large"}) {
    EXPECT_EQ(Undo().exit_code, 210);
    EXPECT_THAT(
        Messages(),
        Contains("E:undo journal not used, path: " + Target(journal) + " ,reason: " + reason));
    fs::remove(journal + ".2");
    fs::resize_file(journal, 65 << 20);
  }
}

}  // namespace
}  // namespace e2e
