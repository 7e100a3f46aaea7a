// Reading the run report TaverlyRunReport.json in the suite: its check
// against the published schema and its own sums, and a fixture that looks
// up phases, items and keys in a run's final report.
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

// Parses a report and checks it against the schema and its own sums.
testing::AssertionResult ValidReport(const std::string& text, rapidjson::Document* report);

class ReportTest : public ProductTest {
 protected:
  // The run's final report; fails the test when it is not a valid one.
  rapidjson::Document& Report();

  // "phase/key:status" of every item, in run order.
  std::vector<std::string> Statuses();
  // "name reached succeeded" of every phase.
  std::vector<std::string> Phases();
  const rapidjson::Value& ItemOf(const std::string& key);
  // The key the n-th item of this test's run got (keys go on across runs).
  std::string Key(int n);
  std::vector<std::string> LogFolderEntries() const;
  // The same without the log file and its link ("Taverly.*").
  std::vector<std::string> LogFolderEntriesButTheLog() const;

  rapidjson::Document report_;
  int first_key_ = 0;
};

}  // namespace e2e
