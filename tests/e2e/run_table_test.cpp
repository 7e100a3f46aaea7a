// Whole runs as rows of a table: a row is the items of the first phase, what
// the run must start and log, the result file it leaves and the statuses its
// report gives. The second and third phases run probes "y" and "z" unless the
// row says otherwise. A new behavioural case is a row.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "tests/e2e/report_check.h"

namespace e2e {
namespace {

struct RunRow {
  const char* name;
  // The first phase's probes: each a tag, then its attributes ("exitcode=0")
  // and the probe's own switches ("--exit=3"); items are separated by "|".
  std::string items;
  int exit_code;
  std::string calls;                // the probe runs, in order
  std::vector<std::string> lines;   // in this order among the run's lines
  std::vector<std::string> result;  // the result file, line by line
  std::string statuses;             // of the report's items, in run order, "/" their undo's
  std::string second = "y", third = "z";
};

void PrintTo(const RunRow& row, std::ostream* out) { *out << row.name; }

class RunTableTest : public ReportTest, public ::testing::WithParamInterface<RunRow> {
 protected:
  const std::string kSigned = target().Program("bin/signed");  // the probe, signed with key 1
  // {probe}, {signed} and {calls} stand for the program's names of the probes and their record.
  std::string Named(std::string text) const {
    for (const auto& name : {std::make_pair("{probe}", At(probe_)),
                             std::make_pair("{calls}", At("calls.txt")),
                             std::make_pair("{signed}", At(kSigned)),
                             std::make_pair("{lib}", At(target().Library("lib/probe")))}) {
      for (size_t at; (at = text.find(name.first)) != std::string::npos;) {
        text.replace(at, std::string(name.first).size(), name.second);
      }
    }
    return text;
  }
  // A file a value names: the probe, the signed probe or the probe library.
  std::string Placed(const std::string& value) const {
    return value == "{probe}"    ? target().Relative(probe_)
           : value == "{signed}" ? target().Relative(kSigned)
           : value == "{lib}"    ? target().Relative(target().Library("lib/probe"))
                                 : value;
  }
  // "undo:<tag>[:<switch>...]": the item's program (file) run again as its undo.
  std::string Undo(std::string word, const std::string& file) const {
    std::replace(word.begin(), word.end(), ':', ' ');
    return file + " --record=%productpath%" + std::string(1, target().separator) +
           "calls.txt --tag=" + word.substr(5);
  }
  std::string Items(const std::string& items) const {
    std::string xml, word;
    std::istringstream probes(items + " |");
    std::map<std::string, std::string> attributes;
    std::string tag, param;
    while (probes >> word) {
      if (word == "|") {
        for (auto& value : attributes) value.second = Placed(value.second);
        const auto undo = attributes.find("undo"), file = attributes.find("file");
        if (undo != attributes.end() && undo->second.compare(0, 5, "undo:") == 0) {
          undo->second = Undo(undo->second,
                              file == attributes.end() ? target().Relative(probe_) : file->second);
        }
        attributes["param"] = "--record=%productpath%" + std::string(1, target().separator) +
                              "calls.txt --tag=" + tag + param;
        xml += Probe(tag, attributes);
        attributes.clear(), tag.clear(), param.clear();
      } else if (tag.empty()) {
        tag = word;
      } else if (word.compare(0, 2, "--") == 0) {
        param += " " + word;
      } else if (word.compare(0, 5, "undo:") == 0) {
        attributes["undo"] = word;
      } else {
        attributes[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
      }
    }
    return xml;
  }
};

TEST_P(RunTableTest, RunsAsItsRowSays) {
  const RunRow& row = GetParam();
  product_.AddProbe(kSigned);
  ASSERT_EQ(std::system((SignTool() + " sign --key " + DevKey(1) + " --index 1 " +
                         product_.Path(kSigned) + " >/dev/null")
                            .c_str()),
            0);
  product_.AddFile(target().Library("lib/probe"), target().probe_library);
  const auto phase = [this](const std::string& items) {
    return items.size() == 1 ? Probe(items) : Items(items);
  };
  product_.AddModuleFile("mod_core.xml", Items(row.items), phase(row.second), phase(row.third));
  EXPECT_EQ(RunProduct().exit_code, row.exit_code);
  std::string calls;
  for (const std::string& call : Calls()) calls += (calls.empty() ? "" : " ") + call;
  EXPECT_EQ(calls, row.calls);
  size_t found = 0;
  for (const std::string& line : Messages()) {
    if (found < row.lines.size() && line == Named(row.lines[found])) ++found;
  }
  EXPECT_EQ(std::vector<std::string>(row.lines.begin() + found, row.lines.end()),
            std::vector<std::string>())
      << "not found in this order";
  std::vector<std::string> result;
  for (const std::string& line : row.result) result.push_back(Named(line));
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText(result));
  std::string text;
  for (const std::string& status : Statuses()) text += status.substr(status.rfind(':') + 1) + " ";
  EXPECT_EQ(text, row.statuses + " ");
}

const RunRow kRows[] = {
    {"FirstPhaseFailureHasItsOwnLine",
     "a exitcode=0 --exit=4",
     210,
     "a",
     {"I:exitCode do not match expectations, exe file:{probe} ,param:--record={calls} --tag=a "
      "--exit=4 ,exe exit code:4 ,expected exit code:-1",
      "E:CallPluginContainer() failed",
      "I:call plugins failed."},
     {"[result]",
      "is_success=false",
      "[error_info]",
      "error_path=",
      "error_code=InstallError:50",
      "error_detail=exitCode do not match expectations, exe file:{probe} ,param:--record={calls} "
      "--tag=a --exit=4 ,exe exit code:4 ,expected exit code:-1"},
     "failed not_reached not_reached"},
    {"RestartNowComesBeforeARetry",
     "a retry_exitcode=3 reboot_now_exitcode=3 retry_delay=0 --exit=3",
     211,
     "a",
     {"I:exitCode asks for a restart before the next item , exitCode: 3"},
     {"[result]",
      "is_success=false",
      "reboot_required=true",
      "resume_after_reboot=true",
      "[error_info]",
      "error_path=",
      "error_code=",
      "error_detail="},
     "succeeded not_reached not_reached"},
    {"RestartAtTheEndComesBeforeARetry",
     "a retry_exitcode=7 reboot_exitcode=7 retry_delay=0 --exit=7",
     0,
     "a y z",
     {"I:exitCode asks for a restart , exitCode: 7", "I:end   call after self protect plugins"},
     {"[result]", "is_success=true", "reboot_required=true"},
     "succeeded succeeded succeeded"},
    {"FailureInTheFirstPhaseUndoesWhatSucceededBeforeIt",
     "a undo:ua | b exitcode=0 --exit=4 undo:ub:--exit=1",
     210,
     "a b ub ua",
     {"E:undo failed, path: {probe} ,exit code: 1", "E:rollback ended, undone: 1 ,undo failed: 1"},
     {"[result]",
      "is_success=false",
      "rollback=incomplete",
      "[error_info]",
      "error_path=",
      "error_code=InstallError:50",
      "error_detail=exitCode do not match expectations, exe file:{probe} ,param:--record={calls} "
      "--tag=b --exit=4 ,exe exit code:4 ,expected exit code:-1"},
     "succeeded/undone failed/undo_failed not_reached not_reached"},
    {"FailureInTheLastPhaseUndoesAllPhasesLatestFirst",
     "a undo:ua | b",
     210,
     "a b c d e ue ud uc ua",
     {"I:rollback started, items to undo: 4",
      "I:run undo: {probe} , param: --record={calls} --tag=ue ,item: {probe}",
      "I:item undone, path: {probe} ,exit code: 0",
      "I:rollback ended, undone: 4 ,undo failed: 0",
      "I:call plugins failed."},
     {"[result]",
      "is_success=false",
      "rollback=complete",
      "[error_info]",
      "error_path=",
      "error_code=InstallError:50",
      "error_detail=exitCode do not match expectations, exe file:{probe} ,param:--record={calls} "
      "--tag=e --exit=4 ,exe exit code:4 ,expected exit code:-1"},
     "succeeded/undone succeeded succeeded/undone succeeded/undone failed/undone",
     "c undo:uc",
     "d undo:ud | e exitcode=0 --exit=4 undo:ue"},
    // An undo entry and a signed undo undo; a failing, a hanging, an unsigned and a
    // missing one do not; what precedes the boundary stays.
    {"RollbackStopsAtTheBoundaryAndGoesOnPastFailingUndos",
     "a undo:ua | b undo:ub rollback_boundary=1 | "
     "l type=SimpleDll file={lib} entry=ReturnZero undo_entry=ReturnMinusOne | "
     "s file={signed} signed=1 undo:us | n undo=bin/missing | u file={signed} signed=1 "
     "undo={probe} | c undo:uc:--exit=3 sensitive=1 | "
     "d undo:ud:--sleep-ms=30000 undo_timeout=1",
     210,
     "a b dll:ReturnZero s n u c d e ud uc us dll:ReturnMinusOne",
     {"E:undo failed, path: {probe} ,timed out",
      "I:run undo: {probe} , param: *** ,item: {probe}",
      "E:undo failed, path: {probe} ,exit code: 3",
      "E:undo failed, path: {signed} ,file not signed",
      "E:undo failed, path: {probe} ,not started, error: 0 ,reason: the file does not exist",
      "I:item undone, path: {signed} ,exit code: 0",
      "I:call undo entry: ReturnMinusOne ,item: {lib}",
      "I:item undone, path: {lib} ,result: -1",
      "E:rollback ended, undone: 2 ,undo failed: 4"},
     {"[result]",
      "is_success=false",
      "rollback=incomplete",
      "[error_info]",
      "error_path=",
      "error_code=InstallError:50",
      "error_detail=exitCode do not match expectations, exe file:{probe} ,param:--record={calls} "
      "--tag=e --exit=4 ,exe exit code:4 ,expected exit code:-1"},
     "succeeded succeeded succeeded/undone succeeded/undone succeeded/undo_not_started "
     "succeeded/undo_not_started succeeded/undo_failed succeeded/undo_failed failed not_reached",
     "e exitcode=0 --exit=4"},
    // An undo entry that ends the process ends the run as failed, its undo recorded as failed.
    {"UndoEntryThatEndsTheProcessFailsTheRun",
     "a undo:ua | l type=SimpleDll file={lib} entry=ReturnZero undo_entry=EndProcess | b "
     "exitcode=0 --exit=4",
     210,
     "a dll:ReturnZero b dll:EndProcess",
     {"E:undo failed, path: {lib} ,library ended the process",
      "E:rollback ended, undone: 0 ,undo failed: 1",
      "I:call plugins failed."},
     {"[result]",
      "is_success=false",
      "rollback=incomplete",
      "[error_info]",
      "error_path=",
      "error_code=InstallError:50",
      "error_detail=exitCode do not match expectations, exe file:{probe} ,param:--record={calls} "
      "--tag=b --exit=4 ,exe exit code:4 ,expected exit code:-1"},
     "succeeded succeeded/undo_failed failed not_reached not_reached"},
    // No user is logged on here (no session under Wine, no login records in a private /run).
    {"AsUserWithNoUserIsPassedOver",
     "a as_user=active",
     0,
     "y z",
     {"I:item passed over, path: {probe} ,as_user: active ,no user is logged on"},
     {"[result]", "is_success=true"},
     "skipped succeeded succeeded"},
    {"AsUserWithNoUserFailsWhenTheItemSaysSo",
     "a as_user=active when_no_user=fail",
     210,
     "",
     {"I:no user to run as, path: {probe} ,as_user: active", "I:call plugins failed."},
     {"[result]",
      "is_success=false",
      "[error_info]",
      "error_path=",
      "error_code=InstallError:54",
      "error_detail=no user to run as, exe file:{probe} ,as_user:active"},
     "failed not_reached not_reached"},
    {"AsUserNotKnownFails",
     "a as_user=Active",
     210,
     "",
     {"I:as_user not known, path: {probe} ,as_user: Active"},
     {"[result]",
      "is_success=false",
      "[error_info]",
      "error_path=",
      "error_code=InstallError:54",
      "error_detail=as_user not known, exe file:{probe} ,as_user:Active"},
     "failed not_reached not_reached"},
};

INSTANTIATE_TEST_SUITE_P(Rows, RunTableTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<RunRow>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace e2e
