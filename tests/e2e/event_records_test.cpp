// The records a run leaves in the system's event log, as a collector receives
// them: the journal's datagrams and syslog's lines natively, the event
// source the run registers under Wine.
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "Utils/Version.h"
#include "tests/e2e/report_check.h"
#include "tests/e2e/system_logs.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace e2e {
namespace {

const char kForged[] = "MESSAGE_ID=00000000000000000000000000000000";

class EventRecordsTest : public ReportTest {
 protected:
  // One item that passes, then one that fails, with a file name and output
  // that try to forge fields and a sensitive parameter; one phase not reached.
  void AddFailingProduct() {
    const std::string forged_file = "bin/pro\n" + std::string(kForged);
    fs::create_directories(product_.Path("bin"));
    fs::copy_file(product_.Path(probe_), product_.Path(forged_file));
    product_.AddModuleFile(
        "mod_core.xml",
        Probe("a") + Probe("b",
                           {{"file", "bin/pro&#10;" + std::string(kForged)},
                            {"param",
                             "--exit=7 --out=PRIORITY=0\\n" + std::string(kForged) +
                                 "\\n --token=secret-token"},
                            {"sensitive", "1"},
                            {"log_output", "1"},
                            {"exitcode", "0"}}),
        Probe("c"),
        Probe("d"));
  }

  RunResult RunWith(const std::vector<std::string>& more) {
    RunOptions options;
    options.arguments = {"--installpath=" + product_.TargetFolder()};
    options.arguments.insert(options.arguments.end(), more.begin(), more.end());
    return Run(options);
  }

  // The records that came in, none holding what the item tried to forge or
  // hide.
  std::vector<JournalFields> ReceivedRecords() {
    std::vector<JournalFields> records;
    for (const std::string& datagram : logs_.Received()) {
      records.push_back(ParseJournalDatagram(datagram));
      EXPECT_THAT(datagram, Not(HasSubstr("secret-token")));
      EXPECT_THAT(datagram, Not(HasSubstr("\n" + std::string(kForged))));
      EXPECT_THAT(datagram, Not(HasSubstr("PRIORITY=0")));
    }
    return records;
  }

  SystemLogListener logs_;
};

// The fields every record begins with, then those of its kind.
JournalFields Record(const std::string& message, const char* message_id, const char* priority,
                     const char* event_id, const std::string& run_id, const std::string& product,
                     const JournalFields& kind) {
  JournalFields fields{{"MESSAGE", message},
                       {"MESSAGE_ID", message_id},
                       {"PRIORITY", priority},
                       {"SYSLOG_FACILITY", "1"},
                       {"SYSLOG_IDENTIFIER", "Taverly"},
                       {"TAVERLY_EVENT_ID", event_id},
                       {"TAVERLY_RUN_ID", run_id},
                       {"TAVERLY_PRODUCT_PATH", product}};
  fields.insert(fields.end(), kind.begin(), kind.end());
  return fields;
}

// Every field of a whole failed run's three records, in the order the run
// writes them, as the journal receives them; nothing an item holds shows as
// a field of its own, and the log, result file and report are those of a run
// that writes no record.
TEST_F(EventRecordsTest, FailedRunReachesTheJournalFieldByField) {
  const std::string why = logs_.ListenAsJournal();
  if (!why.empty()) GTEST_SKIP() << why;
  AddFailingProduct();
  ASSERT_EQ(RunWith({}).exit_code, 210);
  const std::vector<JournalFields> records = ReceivedRecords();
  ASSERT_EQ(records.size(), 3u);
  const std::string product = product_.folder();
  const std::string run_id = FieldOf(records[0], "TAVERLY_RUN_ID");
  EXPECT_TRUE(std::regex_match(run_id, std::regex("[0-9a-f]{32}"))) << run_id;
  const std::string version = Report()["version"].GetString();
  EXPECT_EQ(records[0],
            Record("Taverly " + version + " started on " + product + ", account root.",
                   "7c71b5d88517f6b5ff52bbe281402219",
                   "6",
                   "1001",
                   run_id,
                   product,
                   {{"TAVERLY_VERSION", version}, {"TAVERLY_ACCOUNT", "root"}}));
  const std::string module = product + "/modularize/mod_core.xml";
  const std::string file = "bin/pro\\x0A" + std::string(kForged);
  EXPECT_EQ(records[1],
            Record("Item " + Key(2) + " of " + module +
                       " failed in after_setup: its exit code 7 is not accepted (Exe " + file +
                       ", error code 50).",
                   "b1d7341a6b15e1577403d2c6499aa141",
                   "3",
                   "1002",
                   run_id,
                   product,
                   {{"TAVERLY_PHASE", "after_setup"},
                    {"TAVERLY_MODULE", module},
                    {"TAVERLY_ITEM", Key(2)},
                    {"TAVERLY_ITEM_TYPE", "Exe"},
                    {"TAVERLY_ITEM_FILE", file},
                    {"TAVERLY_REASON", "exit_code_not_accepted"},
                    {"TAVERLY_ITEM_EXIT_CODE", "7"},
                    {"TAVERLY_ERROR_CODE", "50"}}));
  EXPECT_EQ(records[2],
            Record("Taverly failed on " + product +
                       " with exit code 210: 4 items, 1 succeeded, 1 failed, 0 skipped, "
                       "0 not started, 2 not reached, 0 done before the restart.",
                   "392019ad6f04fa795d50665259dc074d",
                   "3",
                   "1004",
                   run_id,
                   product,
                   {{"TAVERLY_EXIT_CODE", "210"},
                    {"TAVERLY_ITEMS", "4"},
                    {"TAVERLY_ITEMS_SUCCEEDED", "1"},
                    {"TAVERLY_ITEMS_FAILED", "1"},
                    {"TAVERLY_ITEMS_SKIPPED", "0"},
                    {"TAVERLY_ITEMS_NOT_STARTED", "0"},
                    {"TAVERLY_ITEMS_NOT_REACHED", "2"},
                    {"TAVERLY_ITEMS_DONE_BEFORE_RESTART", "0"},
                    {"TAVERLY_RESTART_NEEDED", "0"},
                    {"TAVERLY_STOPPED_FOR_RESTART", "0"}}));
}

// The same run with the records off: the same log but the option's own
// line, the same result file, and no record.
TEST_F(EventRecordsTest, RecordsOffChangeNothingElse) {
  const std::string why = logs_.ListenAsJournal();
  if (!why.empty()) GTEST_SKIP() << why;
  AddFailingProduct();
  ASSERT_EQ(RunWith({}).exit_code, 210);
  ASSERT_EQ(logs_.Received().size(), 3u);
  const std::vector<std::string> messages = Messages();
  const std::string result = ReadTextFile(ResultFile());
  fs::remove_all(LogDir());
  ASSERT_EQ(RunWith({"--event-records=off"}).exit_code, 210);
  EXPECT_TRUE(logs_.Received().empty());
  std::vector<std::string> off = Messages();
  ASSERT_GT(off.size(), 1u);
  EXPECT_EQ(off[1], "I:commindline --event-records= : off");
  off.erase(off.begin() + 1);
  EXPECT_EQ(off, messages);
  EXPECT_EQ(ReadTextFile(ResultFile()), result);
}

// Without a journal the records go to /dev/log, one line each; a successful
// run writes two, and a value the option does not know keeps them on.
TEST_F(EventRecordsTest, WithoutAJournalEachRecordIsOneSyslogLine) {
  const std::string why = logs_.ListenAsSyslog();
  if (!why.empty()) GTEST_SKIP() << why;
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  const RunResult run = RunWith({"--event-records=no"});
  ASSERT_EQ(run.exit_code, 0);
  EXPECT_THAT(Messages(),
              Contains("E:event records option not understood, records stay on, value: no"));
  const std::vector<std::string> lines = logs_.Received();
  ASSERT_EQ(lines.size(), 2u);
  const std::string pid = std::to_string(run.pid);
  const std::string product = product_.folder();
  EXPECT_THAT(lines[0], HasSubstr("<14>Taverly[" + pid + "]: Taverly "));
  EXPECT_THAT(lines[0],
              HasSubstr(" MESSAGE_ID=7c71b5d88517f6b5ff52bbe281402219 TAVERLY_EVENT_ID=1001 "));
  EXPECT_THAT(lines[0], HasSubstr(" TAVERLY_ACCOUNT=\"root\""));
  EXPECT_EQ(lines[1].find("<14>Taverly[" + pid + "]: Taverly finished on " + product +
                          " with exit code 0: 3 items, 3 succeeded, 0 failed, 0 skipped, 0 not "
                          "started, 0 not reached, 0 done before the restart. "
                          "MESSAGE_ID=75a6c2d4f3e089af25bf47b56b3d12f6 TAVERLY_EVENT_ID=1003 "),
            0u)
      << lines[1];
  EXPECT_THAT(lines[1], HasSubstr(" TAVERLY_EXIT_CODE=\"0\" TAVERLY_ITEMS=\"3\" "));
  for (const std::string& line : lines) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

// Under Wine: the run registers the source with the running program as its
// message file (Wine's ReportEventW keeps no record to read back).
TEST_F(EventRecordsTest, WindowsRunRegistersItsEventSource) {
  if (!target().windows) GTEST_SKIP() << "the Application log is Windows's";
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  const std::string key =
      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Taverly";
  RunOptions remove;
  remove.program = "reg";
  remove.arguments = {"delete", key, "/f"};
  Run(remove);
  RunOptions traced;
  traced.arguments = {"--installpath=" + product_.TargetFolder()};
  traced.env = {{"WINEDEBUG", "+eventlog"}};
  const RunResult run = Run(traced);
  ASSERT_EQ(run.exit_code, 0);
  // Wine prints each call (type, category, event ID, string count), then
  // each string: information 1001 "run started" and 1003 "run succeeded".
  EXPECT_THAT(run.err, HasSubstr(",0x0004,0x0000,0x000003e9,0000000000000000,0x0005,"));
  EXPECT_THAT(run.err, HasSubstr(",0x0004,0x0000,0x000003eb,0000000000000000,0x000d,"));
  EXPECT_THAT(
      run.err,
      HasSubstr("ReportEventW L\"Taverly " + std::string(TaverlyVersion()) + " started on "));
  RunOptions query;
  query.program = "reg";
  query.arguments = {"query", key};
  const RunResult registered = Run(query);
  EXPECT_EQ(registered.exit_code, 0) << registered.out << registered.err;
  EXPECT_THAT(
      registered.out,
      HasSubstr("EventMessageFile    REG_EXPAND_SZ    " + target().Spell(target().taverly)));
  EXPECT_THAT(registered.out, HasSubstr("TypesSupported    REG_DWORD    0x7"));
  // With the records off the run reports no event.
  traced.arguments.push_back("--event-records=off");
  const RunResult off = Run(traced);
  ASSERT_EQ(off.exit_code, 0);
  EXPECT_THAT(off.err, Not(HasSubstr("ReportEventW")));
}

}  // namespace
}  // namespace e2e
