// The run report against the published schema and against taverly-plan:
// reports of many products keep the schema and their sums, and the plan's
// items and modules join the report's on their keys.
#include <filesystem>
#include <map>
#include <random>

#include "tests/e2e/report_check.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

TEST_F(ReportTest, PlanAndReportJoinOnKey) {
  product_.AddFile(target().Library("lib/probe"), target().probe_library);
  product_.AddModuleFile("mod_core.xml",
                         Probe("a") + Probe("lower", {{"type", "exe"}}) +
                             Item({{"type", "SimpleDll"},
                                   {"file", target().Relative(target().Library("lib/probe"))},
                                   {"entry", "ReturnMinusOne"}}),
                         Probe("b"),
                         Probe("c"));
  product_.AddModuleFile("mod_off.xml", Probe("never"), "", "");
  RunResult planned = PlanProduct({"--json"});
  ASSERT_EQ(planned.exit_code, 0) << planned.err;
  ASSERT_EQ(RunProduct().exit_code, 0);

  rapidjson::Document plan_json;
  plan_json.Parse(planned.out.c_str());
  ASSERT_FALSE(plan_json.HasParseError());
  std::map<std::string, const rapidjson::Value*> planned_items;
  for (const auto& phase : plan_json["phases"].GetArray()) {
    for (const auto& item : phase["items"].GetArray())
      planned_items[item["key"].GetString()] = &item;
  }
  size_t joined = 0;
  for (const auto& phase : Report()["phases"].GetArray()) {
    for (const auto& item : phase["items"].GetArray()) {
      auto match = planned_items.find(item["key"].GetString());
      ASSERT_NE(match, planned_items.end()) << item["key"].GetString();
      for (const char* field : {"module_file", "type", "file", "path"}) {
        EXPECT_STREQ((*match->second)[field].GetString(), item[field].GetString()) << field;
      }
      const std::string prediction = (*match->second)["prediction"].GetString();
      const std::string status = item["status"].GetString();
      EXPECT_TRUE(prediction == status || (prediction == "runs" && status == "succeeded"))
          << prediction << " / " << status;
      ++joined;
    }
  }
  EXPECT_EQ(joined, planned_items.size());
  EXPECT_EQ(joined, 5u);
  ASSERT_EQ(plan_json["modules"].Size(), Report()["modules"].Size());
  for (rapidjson::SizeType i = 0; i < plan_json["modules"].Size(); ++i) {
    EXPECT_STREQ(plan_json["modules"][i]["file"].GetString(),
                 Report()["modules"][i]["file"].GetString());
    EXPECT_STREQ(plan_json["modules"][i]["reason"].GetString(),
                 Report()["modules"][i]["reason"].GetString());
  }
}

TEST_F(ReportTest, CountsAddUpOverManyProducts) {
  // Products made at random from the pieces a run tells apart; each report
  // must pass the schema and count every item the catalogue admitted.
  std::mt19937 random(20261208);
  const std::vector<std::string> pieces = {
      Probe("ok"),
      Probe("bad", {{"exitcode", "0"}, {"param", "--exit=3"}}),
      Probe("lower", {{"type", "exe"}}),
      Item({{"type", "Exe"}, {"file", target().Relative("bin/missing")}}),
      Item({{"type", "Exe"}}),  // no file: dropped by the catalogue
      Probe("restart", {{"reboot_exitcode", "5"}, {"param", "--exit=5"}}),
  };
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    std::string phases[3];
    int admitted = 0;
    for (std::string& phase : phases) {
      const int count = static_cast<int>(random() % 4);  // an empty phase now and then
      for (int i = 0; i < count; ++i) {
        const size_t piece = random() % pieces.size();
        phase += pieces[piece];
        if (piece != 4) ++admitted;
      }
    }
    product_.AddModuleFile("mod_core.xml", phases[0], phases[1], phases[2]);
    RunProduct();
    rapidjson::Document report;
    ASSERT_TRUE(ValidReport(ReadTextFile(ReportFile()), &report));
    EXPECT_EQ(report["counts"]["items"].GetInt(), admitted);
    EXPECT_EQ(report["counts"]["running"].GetInt(), 0);
  }
}

}  // namespace
}  // namespace e2e
