#include "tests/e2e/report_check.h"

#include <rapidjson/error/en.h>
#include <rapidjson/schema.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace e2e {
namespace {

const rapidjson::SchemaDocument& ReportSchema() {
  static const rapidjson::SchemaDocument* schema = [] {
    rapidjson::Document document;
    document.Parse(
        ReadTextFile(std::string(TAVERLY_E2E_SOURCE_DIR) + "/docs/run-report.schema.json").c_str());
    EXPECT_FALSE(document.HasParseError()) << "the schema does not parse";
    return new rapidjson::SchemaDocument(document);
  }();
  return *schema;
}

}  // namespace

testing::AssertionResult ValidReport(const std::string& text, rapidjson::Document* report) {
  report->Parse(text.c_str());
  if (report->HasParseError()) {
    return testing::AssertionFailure()
           << "does not parse: " << rapidjson::GetParseError_En(report->GetParseError()) << "\n"
           << text;
  }
  rapidjson::SchemaValidator validator(ReportSchema());
  if (!report->Accept(validator)) {
    rapidjson::StringBuffer where, rule;
    validator.GetInvalidSchemaPointer().StringifyUriFragment(rule);
    validator.GetInvalidDocumentPointer().StringifyUriFragment(where);
    return testing::AssertionFailure()
           << "breaks the schema at " << where.GetString() << " (" << rule.GetString() << ", "
           << validator.GetInvalidSchemaKeyword() << ")\n"
           << text;
  }
  const rapidjson::Value& counts = (*report)["counts"];
  uint64_t items = 0, sum = 0, undos = 0;
  for (const auto& phase : (*report)["phases"].GetArray()) {
    items += phase["items"].Size();
    for (const auto& item : phase["items"].GetArray()) undos += item.HasMember("undo") ? 1 : 0;
  }
  if (undos != (counts.HasMember("undone")
                    ? counts["undone"].GetUint64() + counts["undo_failed"].GetUint64()
                    : 0)) {
    return testing::AssertionFailure() << "undo counts are not the " << undos << " undos\n" << text;
  }
  for (const char* status :
       {"succeeded", "failed", "skipped", "not_started", "not_reached", "running"}) {
    sum += counts[status].GetUint64();
  }
  if (counts.HasMember("done_before_restart")) sum += counts["done_before_restart"].GetUint64();
  if (counts["items"].GetUint64() != items || sum != items) {
    return testing::AssertionFailure() << "counts do not add up to the " << items << " items\n"
                                       << text;
  }
  return testing::AssertionSuccess();
}

rapidjson::Document& ReportTest::Report() {
  EXPECT_TRUE(ValidReport(ReadTextFile(ReportFile()), &report_));
  return report_;
}

std::vector<std::string> ReportTest::Statuses() {
  std::vector<std::string> statuses;
  for (const auto& phase : Report()["phases"].GetArray()) {
    for (const auto& item : phase["items"].GetArray()) {
      statuses.push_back(std::string(phase["name"].GetString()) + "/" + item["key"].GetString() +
                         ":" + item["status"].GetString());
      if (item.HasMember("undo"))
        statuses.back() += std::string("/") + item["undo"]["status"].GetString();
    }
  }
  return statuses;
}

std::vector<std::string> ReportTest::Phases() {
  std::vector<std::string> phases;
  for (const auto& phase : Report()["phases"].GetArray()) {
    phases.push_back(std::string(phase["name"].GetString()) +
                     (phase["reached"].GetBool() ? " reached" : " not-reached") +
                     (phase["succeeded"].GetBool() ? " succeeded" : ""));
  }
  return phases;
}

const rapidjson::Value& ReportTest::ItemOf(const std::string& key) {
  for (const auto& phase : Report()["phases"].GetArray()) {
    for (const auto& item : phase["items"].GetArray()) {
      if (key == item["key"].GetString()) return item;
    }
  }
  ADD_FAILURE() << "no item " << key;
  static const rapidjson::Value kNone;
  return kNone;
}

std::string ReportTest::Key(int n) {
  if (first_key_ == 0) {
    for (const auto& module : Report()["modules"].GetArray()) {
      for (const auto& key : module["keys"].GetArray()) {
        const int value = std::atoi(key.GetString());
        if (first_key_ == 0 || value < first_key_) first_key_ = value;
      }
    }
  }
  return std::to_string(first_key_ + n - 1);
}

std::vector<std::string> ReportTest::LogFolderEntries() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(LogDir())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ReportTest::LogFolderEntriesButTheLog() const {
  std::vector<std::string> entries = LogFolderEntries();
  entries.erase(std::remove_if(entries.begin(),
                               entries.end(),
                               [](const std::string& name) {
                                 return name.rfind("Taverly.", 0) == 0;  // the log and its link
                               }),
                entries.end());
  return entries;
}

}  // namespace e2e
