// Fixtures of the restart tests: probe items, runs that leave only their own
// log file, and the records the runs leave in the log folder.
#pragma once

#include <rapidjson/document.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

class RestartTest : public ProductTest {
 protected:
  // A waited-for probe item with tag and extra parameters.
  std::string Tagged(const std::string& tag, const std::string& param,
                     std::map<std::string, std::string> extra = {}) const {
    extra["param"] = "--record=%productpath%" + std::string(1, target().separator) +
                     "calls.txt --tag=" + tag + " " + param;
    return Probe(tag, extra);
  }
  // A run with only its own log file in the log folder.
  RunResult RunAgain(const std::string& folder) {
    for (const std::string& name : LogFileNames()) std::filesystem::remove(LogDir() + "/" + name);
    return RunWithInstallPath(folder);
  }
  RunResult RunAgain() { return RunAgain(product_.folder()); }
  // The products' records in the log folder, whatever their kind of file
  // (kind: the undo journals).
  std::vector<std::string> Records(const std::string& kind = "TaverlyResumeInfo") const {
    const std::regex name(kind + "\\.[0-9a-f]{16}\\.dat");
    std::vector<std::string> records;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(LogDir(), error)) {
      if (std::regex_match(entry.path().filename().string(), name)) {
        records.push_back(entry.path().string());
      }
    }
    return records;
  }
  // The one record there (a name that is not there when there is none).
  std::string Record() const {
    const std::vector<std::string> records = Records();
    if (records.size() > 1) ADD_FAILURE() << "more than one record";
    return records.empty() ? LogDir() + "/no-record" : records.front();
  }
  std::string Target(const std::string& host_path) const { return target().Spell(host_path); }
  std::string NotUsed(const std::string& why, const std::string& record) const {
    return "I:restart record not used, " + why + ", path: " + Target(record);
  }
  size_t Starts(const std::string& file) const {
    const std::string text = ReadTextFile(product_.Path(file));
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  // The report's items of every phase: "status" by tag (their file is the
  // probe's for all; the order tells them apart).
  std::vector<std::string> Statuses(rapidjson::Document* report) const {
    report->Parse(ReadTextFile(ReportFile()).c_str());
    std::vector<std::string> statuses;
    if (report->HasParseError()) return statuses;
    for (const auto& phase : (*report)["phases"].GetArray()) {
      for (const auto& item : phase["items"].GetArray()) {
        statuses.push_back(item["status"].GetString());
      }
    }
    return statuses;
  }
  std::vector<std::string> Retries() const {
    std::vector<std::string> lines;
    for (const std::string& message : Messages()) {
      if (message.find("started again") != std::string::npos ||
          message.find(" not used, path: ") != std::string::npos) {
        lines.push_back(message);
      }
    }
    return lines;
  }
};

// A product whose second item stops the run for a restart.
class RestartRecordTest : public RestartTest {
 protected:
  void Module(const std::string& a_param) {
    product_.AddModuleFile("mod_core.xml",
                           Tagged("a", a_param),
                           Tagged("b", "--exit=3", {{"reboot_now_exitcode", "3"}}),
                           Probe("c"));
  }
};

}  // namespace e2e
