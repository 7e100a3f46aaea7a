#include "CallPlugins/RunReport.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>

#include "CallPlugins/RunContext.h"
#include "Platform/system/system.h"
#include "Utils/PathUtils.h"

namespace {

TEST(RunReportTest, TimestampsAreUtcWithMilliseconds) {
  EXPECT_EQ(UtcTimestamp(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(UtcTimestamp(1796701572049), "2026-12-08T03:46:12.049Z");
  EXPECT_EQ(UtcTimestamp(951782400999), "2000-02-29T00:00:00.999Z");
}

TEST(RunReportTest, ProgressIsDueAtPhaseStartsAndAfterTheInterval) {
  ProgressPacer pacer;
  EXPECT_TRUE(pacer.Due(1000, false));  // the first write
  EXPECT_FALSE(pacer.Due(1100, false));
  EXPECT_FALSE(pacer.Due(1249, false));
  EXPECT_TRUE(pacer.Due(1250, false));
  EXPECT_TRUE(pacer.Due(1251, true));  // a phase starts: always
  EXPECT_FALSE(pacer.Due(1400, false));
  EXPECT_TRUE(pacer.Due(1501, false));
}

RunContext SampleRun() {
  RunContext run;
  run.SetInstallPath(WideToAnsi(L"/opt/Demo \u00C4"));
  run.account.name = "installer";
  RunRecord& record = run.record;
  record.started_ms = 1796701572049;
  ModuleEntry module;
  module.record.path = L"/opt/Demo \u00C4/modularize/mod_core.xml";
  module.record.outcome = ModuleFileRecord::kLoaded;
  module.record.item_keys = {"1", "2"};
  module.judged = true;
  module.verdict.installed = true;
  module.verdict.reason = ModuleVerdictReason::kInstalled;
  module.verdict.module_name = "core";
  record.modules.push_back(module);
  PhaseReport phase;
  phase.name = "after_setup";
  phase.reached = true;
  ItemReport exe;
  exe.key = "1";
  exe.module = 0;
  exe.kind = ItemKind::kExe;
  exe.type = "Exe";
  exe.file = "bin/tool";
  exe.status = ItemStatus::kSucceeded;
  exe.has_exit_code = true;
  exe.exit_code = 0xFFFFFFFFu;
  exe.restart = true;
  exe.as_user = {{L"ann", L"c2"}, {L"bo", L"c5"}};
  ItemReport library;
  library.key = "2";
  library.kind = ItemKind::kSimpleDll;
  library.type = "SimpleDll";
  library.status = ItemStatus::kRunning;
  phase.items = {exe, library};
  record.phases.push_back(phase);
  return run;
}

TEST(RunReportTest, ProgressReportLeavesTheEndOpen) {
  const RunContext run = SampleRun();
  rapidjson::Document json;
  json.Parse(RunReportJson(run).c_str());
  ASSERT_FALSE(json.HasParseError());
  EXPECT_TRUE(json["finished"].IsNull());
  EXPECT_TRUE(json["exit_code"].IsNull());
  EXPECT_TRUE(json["is_success"].IsNull());
  EXPECT_STREQ(json["product_folder"].GetString(), "/opt/Demo \xC3\x84");
  EXPECT_STREQ(json["started"].GetString(), "2026-12-08T03:46:12.049Z");
  // The module file and the path are formed from the record as the run formed them.
  EXPECT_STREQ(json["phases"][0]["items"][0]["module_file"].GetString(),
               "/opt/Demo \xC3\x84/modularize/mod_core.xml");
  EXPECT_EQ(
      json["phases"][0]["items"][0]["path"].GetString(),
      std::string("/opt/Demo \xC3\x84") + static_cast<char>(platform::kPathSeparator) + "bin/tool");
  EXPECT_STREQ(json["phases"][0]["items"][1]["module_file"].GetString(), "");
  const rapidjson::Value& items = json["phases"][0]["items"];
  EXPECT_EQ(items[0]["exit_code"].GetUint(), 4294967295u);
  EXPECT_TRUE(items[0]["reboot"].GetBool());
  EXPECT_FALSE(items[0].HasMember("result"));
  EXPECT_STREQ(items[0]["as_user"][1]["session"].GetString(), "c5");  // in start order
  EXPECT_FALSE(items[1].HasMember("as_user"));
  EXPECT_STREQ(items[1]["status"].GetString(), "running");
  EXPECT_FALSE(items[1].HasMember("timed_out"));  // an Exe item's member only
  EXPECT_EQ(json["counts"]["running"].GetInt(), 1);
  EXPECT_EQ(json["counts"]["succeeded"].GetInt(), 1);
  EXPECT_EQ(json["counts"]["items"].GetInt(), 2);
}

TEST(RunReportTest, FinalReportCarriesTheOutcomeAndTheErrorRecord) {
  RunContext run = SampleRun();
  RunRecord& record = run.record;
  record.phases[0].items[1].status = ItemStatus::kFailed;
  record.phases[0].items[1].has_result = true;
  record.phases[0].items[1].result = -5;
  record.finished = true;
  record.finished_ms = record.started_ms + 1500;
  record.exit_code = 210;
  run.errors.errorCode = L"InstallError:50";
  run.errors.errorDetail = L"exitCode do not match expectations, exe file:/opt/x \u20AC";
  rapidjson::Document json;
  json.Parse(RunReportJson(run).c_str());
  ASSERT_FALSE(json.HasParseError());
  EXPECT_STREQ(json["finished"].GetString(), "2026-12-08T03:46:13.549Z");
  EXPECT_EQ(json["exit_code"].GetInt(), 210);
  EXPECT_FALSE(json["is_success"].GetBool());
  EXPECT_STREQ(json["error"]["code"].GetString(), "InstallError:50");
  EXPECT_STREQ(json["error"]["detail"].GetString(),
               "exitCode do not match expectations, exe file:/opt/x \xE2\x82\xAC");
  EXPECT_EQ(json["phases"][0]["items"][1]["result"].GetInt(), -5);
  EXPECT_STREQ(json["modules"][0]["reason"].GetString(), "installed");
  EXPECT_EQ(json["modules"][0]["keys"].Size(), 2u);
}

}  // namespace
