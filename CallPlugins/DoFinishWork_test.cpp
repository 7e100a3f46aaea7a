#include "CallPlugins/DoFinishWork.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"
#include "CallPlugins/fake_item_system_test.h"
#include "tests/support/log_capture.h"

namespace {

// One phase of items, run against the system's script. An item is its key and
// its attributes as "name=value" words; a path "P/a" in an expected text is
// written with the system's separator.
struct Row {
  std::map<std::string, std::string> items;
  std::map<std::string, std::string> script;
  std::vector<std::string> lines;  // every log line, in order
  std::string outcome;             // the phase's answer, each item's status, the calls
  std::string error;               // the error record's code and detail
  bool system_account = true;
};

std::string Exe(const std::string& file_and_more) {
  return "type=Exe wait_for_exit=1 file=" + file_and_more;
}
const char kRunA[] = "I:run exe application: P/a , param:  ,wait_for_exit: 1 , system: ";

std::string Separated(std::string text) {
  for (char& each : text) {
    if (each == '/') each = static_cast<char>(platform::kPathSeparator);
  }
  return text;
}

// The phase's items in key order, as the catalogue hands them over.
class Phase {
 public:
  explicit Phase(const std::map<std::string, std::string>& items) {
    for (const auto& item : items) {
      CLwBundle* bundle = new CLwBundle();
      bundle->AddRef();
      std::istringstream words(item.second);
      for (std::string word; words >> word;) {
        const size_t cut = word.find('=');
        bundle->SetString(word.substr(0, cut).c_str(), word.substr(cut + 1).c_str());
      }
      map[item.first] = bundle;
    }
  }
  ~Phase() {
    for (const auto& item : map) item.second->Release();
  }
  PhaseItemMap map;
};

std::string Outcome(bool done, const PhaseReport& phase, const FakeItemSystem& system) {
  std::string text = done ? "done" : "stopped";
  for (const ItemReport& item : phase.items) {
    text += std::string(" ") + ItemStatusName(item.status) + (item.restart ? "+restart" : "");
    for (const char* by : {item.skipped_by, item.failed_by})
      text += by ? std::string(":") + by : "";
    for (const ItemReport::Session& session : item.as_user) {
      text += (&session == &item.as_user[0] ? "@" : ",") + platform::WideToUtf8(session.session);
    }
  }
  for (const std::string& call : system.calls) text += ", " + call;
  return text;
}

const Row kRows[] = {
    // A code outside "exitcode" fails the run with 50 and stops the phase.
    {{{"1", Exe("a exitcode=0")}, {"2", Exe("b")}},
     {{"a", "3"}},
     {kRunA,
      "I:exitCode do not match expectations, exe file:P/a ,param: ,exe exit code:3 ,expected "
      "exit code:-1"},
     "stopped failed, start a",
     "InstallError:50 exitCode do not match expectations, exe file:P/a ,param: ,exe exit code:3 "
     ",expected exit code:-1"},
    // A retry code starts the program again, up to "retries" more times.
    {{{"1", Exe("a exitcode=0 retry_exitcode=3 retries=2 retry_delay=0")}},
     {{"a", "3 3 0"}},
     {kRunA,
      "I:exe will be started again, exitCode: 3 ,attempt: 2 of 3",
      "I:exe will be started again, exitCode: 3 ,attempt: 3 of 3",
      "I:exitCode match the expectations , exitCode: 0. expected result: -1"},
     "done succeeded, start a, start a, start a",
     " "},
    // A restart-now code ends the phase there, the item done.
    {{{"1", Exe("a reboot_now_exitcode=7")}, {"2", Exe("b")}},
     {{"a", "7"}},
     {kRunA, "I:exitCode asks for a restart before the next item , exitCode: 7"},
     "stopped succeeded+restart, start a",
     " "},
    // The system gate and a condition pass items over; the next runs.
    {{{"1", Exe("a system=1")}, {"2", Exe("b if_exists=x")}, {"3", Exe("c unless_exists=y")}},
     {{"y", "there"}},
     {"I:run exe need system, current is not system, will not excute it, path: P/a , param:  "
      ",wait_for_exit: 1 , system: 1",
      "I:item passed over, path: P/b ,if_exists: x",
      "I:item passed over, path: P/c ,unless_exists: y"},
     "done skipped skipped:if_exists skipped:unless_exists",
     " ",
     false},
    // A signed program that does not start as checked fails with 52.
    {{{"1", Exe("a signed=1")}},
     {{"a", "unstarted:13"}},
     {kRunA, "E:signed program not started as checked, file:P/a ,error: 13"},
     "stopped failed, start a",
     "InstallError:52 signed program not started as checked, file:P/a ,error: 13"},
    // An unsigned program is never started; a library's entry is judged.
    {{{"1", Exe("a signed=1")}},
     {{"a", "unsigned"}},
     {kRunA},
     "stopped failed",
     "InstallError:52 item not signed, file:P/a"},
    {{{"1", "type=SimpleDll file=l entry=e exitcode=0"}},
     {{"l", "entry:5"}},
     {"I:run dll: P/l , entry: e",
      "I:exitCode do not match expectations, exe file:P/l ,entry:e ,exe exit code:5 ,expected "
      "exit code:-1"},
     "stopped failed, load l, entry l",
     "InstallError:50 exitCode do not match expectations, exe file:P/l ,entry:e ,exe exit code:5 "
     ",expected exit code:-1"},
    // as_user: a library runs as always; a text not known fails the item (54).
    {{{"1", "type=SimpleDll file=l entry=e as_user=all"}, {"2", Exe("a as_user=someone")}},
     {{"l", "entry:0"}},
     {"I:run dll: P/l , entry: e",
      "I:as_user not used, path: P/l ,as_user: all",
      "I:as_user not known, path: P/a ,as_user: someone"},
     "stopped succeeded failed:as_user, load l, entry l",
     "InstallError:54 as_user not known, exe file:P/a ,as_user:someone"},
    // No user (the sessions cannot be read): passed over, the default, or failed (54).
    {{{"1", Exe("a as_user=active when_no_user=maybe")},
      {"2", Exe("b as_user=all when_no_user=fail")}},
     {{"sessions", "unread:5"}},
     {"I:when_no_user not used, path: P/a ,when_no_user: maybe",
      "I:user sessions cannot be read, path: P/a ,error: 5",
      "I:item passed over, path: P/a ,as_user: active ,no user is logged on",
      "I:user sessions cannot be read, path: P/b ,error: 5",
      "I:no user to run as, path: P/b ,as_user: all"},
     "stopped skipped:as_user failed:as_user, sessions active, sessions all",
     "InstallError:54 no user to run as, exe file:P/b ,as_user:all"},
    // "all": in order; a restart code counts from any session, a refused code stops there.
    {{{"1", Exe("a as_user=all exitcode=0 reboot_exitcode=7")}, {"2", Exe("b")}},
     {{"sessions", "alice:c2 bob:c5 carol:c7"}, {"a", "7 3"}},
     {kRunA,
      "I:run exe as user: alice ,session: c2",
      "I:exitCode asks for a restart , exitCode: 7",
      "I:run exe as user: bob ,session: c5",
      "I:exitCode do not match expectations, exe file:P/a ,param: ,exe exit code:3 ,expected "
      "exit code:-1"},
     "stopped failed+restart@c2,c5, sessions all, start a as c2, start a as c5",
     "InstallError:50 exitCode do not match expectations, exe file:P/a ,param: ,exe exit code:3 "
     ",expected exit code:-1"},
};

TEST(RunnerTest, DecidesEachItemAsTheSystemAnswers) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.items.begin()->second);
    FakeItemSystem system(row.script);
    RunContext run;
    run.items = &system;
    run.account.system = row.system_account;
    run.SetInstallPath("P");
    Phase phase(row.items);
    PhaseReport report;
    PluginCaller caller(run);
    caller.SetPhaseReport(&report);
    LogCapture log;
    const bool done = caller.CallPluginContainer(phase.map);
    std::vector<std::string> lines;
    for (const std::string& line : row.lines) lines.push_back(Separated(line));
    EXPECT_EQ(log.lines(), lines);
    EXPECT_EQ(Outcome(done, report, system), row.outcome);
    EXPECT_EQ(platform::WideToUtf8(run.errors.errorCode + L" " + run.errors.errorDetail),
              Separated(row.error));
  }
}

}  // namespace
