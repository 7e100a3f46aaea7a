// Whole runs as rows of a table: a row is the items of the first phase, what
// the run must start and log, the result file it leaves and the statuses its
// report gives. The second and third phases run probes "y" and "z". A new
// behavioural case is a row.
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
  std::string statuses;             // of the report's items, in run order
};

void PrintTo(const RunRow& row, std::ostream* out) { *out << row.name; }

// {probe} and {calls} stand for the program's names of the probe and its record.
class RunTableTest : public ReportTest, public ::testing::WithParamInterface<RunRow> {
 protected:
  std::string Named(std::string text) const {
    for (const auto& name :
         {std::make_pair("{probe}", At(probe_)), std::make_pair("{calls}", At("calls.txt"))}) {
      for (size_t at; (at = text.find(name.first)) != std::string::npos;) {
        text.replace(at, std::string(name.first).size(), name.second);
      }
    }
    return text;
  }
  std::string Items(const std::string& items) const {
    std::string xml, word;
    std::istringstream probes(items + " |");
    std::map<std::string, std::string> attributes;
    std::string tag, param;
    while (probes >> word) {
      if (word == "|") {
        attributes["param"] = "--record=%productpath%" + std::string(1, target().separator) +
                              "calls.txt --tag=" + tag + param;
        xml += Probe(tag, attributes);
        attributes.clear(), tag.clear(), param.clear();
      } else if (tag.empty()) {
        tag = word;
      } else if (word.compare(0, 2, "--") == 0) {
        param += " " + word;
      } else {
        attributes[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
      }
    }
    return xml;
  }
};

TEST_P(RunTableTest, RunsAsItsRowSays) {
  const RunRow& row = GetParam();
  product_.AddModuleFile("mod_core.xml", Items(row.items), Probe("y"), Probe("z"));
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
};

INSTANTIATE_TEST_SUITE_P(Rows, RunTableTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<RunRow>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace e2e
