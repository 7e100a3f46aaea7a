// Conditions on items and the wait for a busy installer, end to end. What a test changes on the
// system (Wine: registry keys; natively a private /run and /var/lib/dpkg) is undone at its end.
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>

#include "tests/e2e/private_mounts.h"
#include "tests/e2e/report_check.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace e2e {
namespace {

class ConditionsTest : public ReportTest {
 protected:
  // An item of a run of many, and the verdict it must get.
  struct Row {
    std::string xml, path, call;  // call: what the probe records when the item runs
    std::map<std::string, std::string> conditions;
    std::string skipped_by, more;  // the attribute that passes it over, the end of its line
  };

  void TearDown() override {
    WriteTextFile(tmp_.Join("let-go"), "");
    EXPECT_EQ(holder_.pid == 0 ? 0 : Wait(holder_).exit_code, 0) << "the lock holder";
    // A key the test removed itself, or one inside a key removed before, is gone already.
    for (const std::string& key : added_keys_)
      EXPECT_TRUE(Reg({"query", key}) != 0 || Reg({"delete", key, "/f"}) == 0) << key;
    for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount)
      umount2(mount->c_str(), 0);
  }

  // A waited-for probe item recording tag, with more of the probe's options
  // and attributes (the conditions) added.
  std::string Tagged(const std::string& tag, const std::string& more,
                     std::map<std::string, std::string> extra = {}) const {
    extra["param"] =
        "--record=" + Here("calls.txt") + " --tag=" + tag + (more.empty() ? "" : " ") + more;
    return Probe(tag, extra);
  }
  // A name in the product folder as a condition or parameter writes it.
  static std::string Here(const std::string& relative) {
    return "%productpath%" + std::string(1, target().separator) + target().Relative(relative);
  }
  void AddRow(const std::string& tag, const std::map<std::string, std::string>& conditions,
              const std::string& skipped_by = "", const std::string& more = "") {
    rows_.push_back({Tagged(tag, "", conditions), probe_, tag, conditions, skipped_by, more});
  }
  // The line of an attribute an item does not use, in the order of the items.
  void NotUsed(const std::string& attribute, const std::string& text) {
    unused_.push_back("I:" + attribute + " not used, path: " + At(probe_) + " ," + attribute +
                      ": " + text);
  }
  // Runs the rows (three at least: no phase may be empty; keys order as text,
  // so the first holds nine at most) and checks each row's verdict, the lines
  // of the items passed over and of the attributes not used, and the counts.
  void RunRows() {
    std::string phases[3];
    std::vector<std::string> calls, statuses, lines;
    for (size_t i = 0, n = rows_.size(); i < n; ++i) {
      const Row& row = rows_[i];
      const std::string& by = row.skipped_by;
      phases[i + 1 == n ? 2 : i < 9 && i + 2 < n ? 0 : 1] += row.xml;
      statuses.push_back(by.empty() ? "succeeded" : "skipped:" + by);
      if (by.empty() && !row.call.empty()) calls.push_back(row.call);
      if (by.empty()) continue;
      lines.push_back("I:item passed over, path: " + At(row.path) + " ," + by + ": " +
                      row.conditions.at(by) + row.more);
    }
    product_.AddModuleFile("mod_core.xml", phases[0], phases[1], phases[2]);
    fs::remove(product_.Path("calls.txt"));
    EXPECT_EQ(RunAgain().exit_code, 0);
    EXPECT_EQ(Calls(), calls);
    EXPECT_EQ(MessagesWith("item passed over"), lines);
    EXPECT_EQ(MessagesWith(" not used, path: "), unused_);
    EXPECT_EQ(Items(), statuses);
    EXPECT_EQ(Count("items"), rows_.size());
    EXPECT_EQ(Count("skipped"), lines.size());
    EXPECT_EQ(Count("succeeded"), rows_.size() - lines.size());
    EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
  }
  // A run with only its own log file in the log folder, started or run.
  Process StartAgain() {
    for (const std::string& name : LogFileNames()) fs::remove(LogDir() + "/" + name);
    RunOptions options;
    options.arguments = {"--installpath=" + product_.TargetFolder()};
    return Start(options);
  }
  RunResult RunAgain() { return Wait(StartAgain()); }
  // "status" of every item in run order, "skipped:<skipped_by>" for one a
  // condition passed over.
  std::vector<std::string> Items() {
    std::vector<std::string> items;
    for (const auto& phase : Report()["phases"].GetArray()) {
      for (const auto& item : phase["items"].GetArray()) {
        items.push_back(item["status"].GetString());
        if (item.HasMember("skipped_by")) items.back() += ":" + Text(item["skipped_by"]);
      }
    }
    return items;
  }
  static std::string Text(const rapidjson::Value& value) { return value.GetString(); }
  unsigned Count(const char* name) { return Report()["counts"][name].GetUint(); }
  std::vector<std::string> MessagesWith(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& message : Messages()) {
      if (message.find(text) != std::string::npos) found.push_back(message);
    }
    return found;
  }

  // reg of the prefix, in the 64-bit view, run through the launcher.
  int Reg(const std::vector<std::string>& arguments) {
    RunOptions options;
    options.program = "reg";
    options.arguments = arguments;
    options.arguments.push_back("/reg:64");
    return Run(options).exit_code;
  }
  // Adds a registry key (and a value: name, type, data), deleted when the test ends.
  void AddKey(const std::string& key, const std::vector<std::string>& value = {}) {
    std::vector<std::string> command = {"add", key, "/f"};
    if (value.size() == 3)
      command.insert(command.end(), {"/v", value[0], "/t", value[1], "/d", value[2]});
    added_keys_.push_back(key);
    ASSERT_EQ(Reg(command), 0) << "reg add " << key;
  }
  // Natively: this process in a mount namespace of its own with an empty
  // file system over folder, unmounted when the test ends; "" or why not.
  std::string HideFolder(const std::string& folder) {
    std::string why = EnterPrivateMountNamespace();
    if (why.empty() && mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
      why = "cannot mount over " + folder;
    }
    if (why.empty()) mounts_.push_back(folder);
    return why;
  }
  // Starts a probe in the background holding the system installer's lock
  // until let-go is written; false when it never took it.
  bool HoldLock() {
    RunOptions hold;
    hold.program = target().probe;
    hold.arguments = {
        "--hold-installer-lock=" +
            std::string(target().windows ? "Global\\_MSIExecute" : "/var/lib/dpkg/lock-frontend"),
        "--record=" + target().Spell(tmp_.Join("held.txt")),
        "--wait-for=" + target().Spell(tmp_.Join("let-go"))};
    holder_ = Start(hold);
    return WaitForText(tmp_.Join("held.txt"), "[end]");
  }
  // Waits until the log of the run under way holds text; false after 30 s.
  bool LogSays(const std::string& text) const {
    for (int i = 0; i < 1500; ++i) {
      for (const std::string& name : LogFileNames()) {
        if (ReadTextFile(LogDir() + "/" + name).find(text) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::vector<Row> rows_;
  std::vector<std::string> unused_;
  Process holder_;

 private:
  std::vector<std::string> added_keys_;
  std::vector<std::string> mounts_;
};

TEST_F(ConditionsTest, PathsPassItemsOverAndTheCountsAddUp) {
  WriteTextFile(product_.Path("there.txt"), "");
  fs::create_directories(tmp_.Join("outside"));
  const std::string made = Tagged("made", "--touch=" + Here("made.txt"), {{"creates", "made.txt"}});
  rows_.push_back({made, probe_, "made", {{"creates", "made.txt"}}, "", ""});
  AddRow("there", {{"creates", "there.txt"}}, "creates");
  AddRow("if-absent", {{"if_exists", "absent.txt"}}, "if_exists");
  AddRow("unless-there", {{"unless_exists", "there.txt"}}, "unless_exists");
  AddRow("unless-absent", {{"unless_exists", "absent.txt"}});
  AddRow("expanded", {{"if_exists", Here("there.txt")}});
  AddRow("outside", {{"unless_exists", target().Spell(tmp_.Join("outside"))}}, "unless_exists");
  const std::string lib = "lib/" + target().Library("probe");
  product_.AddFile(lib, target().probe_library);
  const std::map<std::string, std::string> absent = {{"if_exists", "absent.txt"}};
  const std::string dll = Item({{"type", "SimpleDll"},
                                {"file", target().Relative(lib)},
                                {"entry", "ReturnZero"},
                                *absent.begin()});
  rows_.push_back({dll, lib, "", absent, "if_exists", ""});
  RunRows();
  EXPECT_THAT(MessagesWith("run dll:"), IsEmpty()) << "judged before the library is loaded";

  // The program made what "creates" names: the next run passes it over.
  rows_.front().skipped_by = "creates";
  RunRows();
}

// The product's own program decides: 0 runs the item, 1..254 pass it over.
// Natively there is no registry: if_registry is not used.
TEST_F(ConditionsTest, ProgramAndRegistryDecide) {
  product_.AddProbe("my tools/probe");
  const std::string record = " --record=" + Here("conditions.txt") + " --tag=";
  const std::string probe = target().Relative(probe_);
  AddRow("zero", {{"if_program", probe + record + "zero"}});
  const std::string three = probe + " --exit=3" + record + "three";
  AddRow("three", {{"if_program", three}}, "if_program", " ,exit code: 3");
  const std::string quoted = "&quot;" + target().Relative("my tools/probe") + "&quot;";
  AddRow("quoted", {{"if_program", quoted + record + "quoted"}});
  AddRow("absolute",
         {{"if_program", At(probe_) + record + "absolute"}, {"if_program_timeout", "30"}});
  AddRow("no-program", {{"if_program_timeout", "5"}});
  NotUsed("if_program_timeout", "5");
  AddRow("blank", {{"if_program", "  "}});  // names no program
  NotUsed("if_program", "  ");
  const std::vector<std::pair<std::string, std::string>> several = {
      {"unless_restart_pending", "yes"}, {"if_program", " "}, {"timeout", "0"}, {"retries", "2"}};
  AddRow("several", {several.begin(), several.end()});  // each its line, in run order
  for (const auto& [name, value] : several) NotUsed(name, value);
  const std::string key = "HKLM\\SOFTWARE\\TaverlyTest\\Conditions";
  if (target().windows) {
    AddKey("HKLM\\SOFTWARE\\TaverlyTest");
    AddKey(key, {"Name", "REG_SZ", "hello"});
    AddKey(key, {"Count", "REG_DWORD", "42"});
  }
  const std::string skipped = target().windows ? "if_registry" : "";
  const auto registry = [&](const std::string& text, bool there) {
    AddRow("r" + std::to_string(rows_.size()), {{"if_registry", text}}, there ? "" : skipped);
    if (!target().windows) NotUsed("if_registry", text);
  };
  registry(key, true);
  registry("HKLM\\SOFTWARE\\TaverlyTest\\Absent", false);
  registry(key + "\\Name", true);
  registry(key + "\\Missing", false);
  registry(key + "\\Name=hello", true);
  registry(key + "\\Name=other", false);
  registry(key + "\\Count=42", true);
  registry(key + "\\Count=43", false);
  RunRows();
  EXPECT_EQ(ReadCalls(product_.Path("conditions.txt")),
            (std::vector<std::string>{"zero", "three", "quoted", "absolute"}));
}

// A condition that cannot decide fails its item with code 50; the run stops there.
TEST_F(ConditionsTest, ConditionThatCannotDecideFailsTheItemWithCode50) {
  struct Case {
    std::string attribute, text, why, timeout;  // why: a path's error, or how a program failed
  };
  const std::string probe = target().Relative(probe_);
  // A loop of links: ELOOP, and under Wine ERROR_CANT_RESOLVE_FILENAME; a
  // program that is not there: file not found, POSIX and Windows alike.
  std::vector<Case> cases = {
      {"creates", "loop", std::to_string(target().windows ? 1921 : ELOOP), ""},
      {"if_program", probe + " --exit=255", " ,exit code: 255", ""},
      {"if_program", probe + " --sleep-ms=5000", " ,timed out", "1"},
      {"if_program", target().Relative("bin/absent") + " --exit=0", " ,not started, error: 2", ""}};
  fs::create_symlink("loop", product_.Path("loop"));
  // Wine answers a name too long as one that is not there, and Windows ends
  // no program by a signal.
  if (!target().windows) {
    cases.push_back({"if_exists", std::string(300, 'n'), std::to_string(ENAMETOOLONG), ""});
    cases.push_back({"if_program", "killed.sh", " ,ended by signal: 9", ""});
    WriteTextFile(product_.Path("killed.sh"), "#!/bin/sh\nkill -9 $$\n");
    fs::permissions(product_.Path("killed.sh"), fs::perms::owner_all);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute + ": " + c.text);
    std::map<std::string, std::string> conditions = {{c.attribute, c.text}};
    if (!c.timeout.empty()) conditions["if_program_timeout"] = c.timeout;
    const std::string b = Tagged("b", "", conditions);
    product_.AddModuleFile(
        "mod_core.xml", Tagged("a", ""), b + Tagged("never", ""), Tagged("c", ""));
    fs::remove(product_.Path("calls.txt"));
    EXPECT_EQ(RunAgain().exit_code, 210);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"a"}));
    const bool program = c.attribute == "if_program";
    const std::string head = program ? "if_program failed" : "condition cannot be evaluated";
    const std::string named = At(probe_) + " ," + c.attribute;
    EXPECT_THAT(Messages(),
                testing::Contains("I:" + head + ", path: " + named + ": " + c.text +
                                  (program ? c.why : " ,error: " + c.why)));
    EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");
    EXPECT_EQ(Result("error_info", "error_detail"),
              head + " ,file:" + named + ":" + c.text + (program ? c.why : " ,error:" + c.why));
    EXPECT_EQ(Items(),
              (std::vector<std::string>{"succeeded", "failed", "not_reached", "not_reached"}));
    EXPECT_EQ(Text(Report()["phases"][1]["items"][0]["failed_by"]), c.attribute);
  }
}

// An item a condition passed over before a stop for a restart is done: the
// run after the restart does not judge it again, though what passed it over
// has gone.
TEST_F(ConditionsTest, PassedOverBeforeARestartIsDoneBeforeTheRestart) {
  WriteTextFile(product_.Path("there.txt"), "");
  const std::string stop =
      Tagged("b", "--exit=3", {{"reboot_now_exitcode", "3"}, {"exitcode", "3"}});
  const std::string s = Tagged("s", "", {{"creates", "there.txt"}});
  product_.AddModuleFile(
      "mod_core.xml", Tagged("a", "") + s + stop, Tagged("c", ""), Tagged("d", ""));
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Items(),
            (std::vector<std::string>{
                "succeeded", "skipped:creates", "succeeded", "not_reached", "not_reached"}));
  EXPECT_TRUE(Report()["stopped_for_reboot"].GetBool());

  fs::remove(product_.Path("there.txt"));
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(MessagesWith("item done before the restart"),
            std::vector<std::string>(3, "I:item done before the restart, path: " + At(probe_)));
  const std::string done = "done_before_restart";
  EXPECT_EQ(Items(), (std::vector<std::string>{done, done, done, "succeeded", "succeeded"}));
  EXPECT_EQ(Count("done_before_restart"), 3u);
  EXPECT_EQ(Count("skipped"), 0u);
}

TEST_F(ConditionsTest, PendingRestartPassesTheItemOver) {
  std::string signal = "/run/reboot-required";
  if (target().windows) {
    AddKey(signal =
               "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\"
               "Auto Update\\RebootRequired");
  } else {
    const std::string why = HideFolder("/run");
    if (!why.empty()) GTEST_SKIP() << why;
    WriteTextFile(signal, "*** System restart required ***\n");
  }
  const char* const attribute = "unless_restart_pending";
  AddRow("pending", {{attribute, "1"}}, attribute, " ,signal: " + signal);
  AddRow("zero", {{attribute, "0"}});
  AddRow("odd", {{attribute, "yes"}});
  NotUsed(attribute, "yes");
  RunRows();

  // Once the restart is no longer pending, the item runs.
  EXPECT_TRUE(target().windows ? Reg({"delete", signal, "/f"}) == 0 : fs::remove(signal));
  rows_.front().skipped_by.clear();
  RunRows();
}

// While the installer is busy an item waits before its start. A start it
// still keeps from counts as exit code 1618, judged and retried as one the
// program gave, and the retry waits again; an installer that lets go in time
// lets the item start.
TEST_F(ConditionsTest, ItemWaitsForABusyInstaller) {
  // Natively only this namespace sees the lock; the package manager's own stays untouched.
  const std::string why = target().windows ? "" : HideFolder("/var/lib/dpkg");
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(HoldLock()) << "the lock was never taken";
  const std::map<std::string, std::string> retried = {{"wait_for_installer", "1"},
                                                      {"exitcode", "0"},
                                                      {"retry_exitcode", "1618"},
                                                      {"retries", "1"},
                                                      {"retry_delay", "0"}};
  product_.AddModuleFile(
      "mod_core.xml", Tagged("a", "", retried), Tagged("b", ""), Tagged("c", ""));
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_THAT(Calls(), IsEmpty());
  const std::string busy =
      "I:installer busy, waiting, path: " + At(probe_) + " ,wait_for_installer: ";
  const std::string still = "I:installer still busy, path: " + At(probe_) + " ,exit code: 1618";
  EXPECT_THAT(MessagesWith("busy"), ElementsAre(busy + "1", still, busy + "1", still));
  EXPECT_THAT(MessagesWith("started again"),
              ElementsAre("I:exe will be started again, exitCode: 1618 ,attempt: 2 of 2"));
  EXPECT_EQ(Items(), (std::vector<std::string>{"failed", "not_reached", "not_reached"}));
  EXPECT_EQ(ItemOf(Key(1))["exit_code"].GetUint(), 1618u);
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");

  product_.AddModuleFile("mod_core.xml",
                         Tagged("a", "", {{"wait_for_installer", "30"}}),
                         Tagged("b", "", {{"wait_for_installer", "5"}, {"wait_for_exit", "0"}}),
                         Tagged("c", ""));
  NotUsed("wait_for_installer", "5");
  const Process run = StartAgain();
  // The lock is let go only once the run has said it waits for it.
  EXPECT_TRUE(LogSays("installer busy, waiting"));
  WriteTextFile(tmp_.Join("let-go"), "");
  EXPECT_EQ(Wait(holder_).exit_code, 0);
  holder_ = Process();
  EXPECT_EQ(Wait(run).exit_code, 0);
  const std::string waited = "I:installer no longer busy, path: " + At(probe_) + " ,waited ms: ";
  EXPECT_THAT(MessagesWith("busy"),
              ElementsAre(busy + "30",
                          testing::AllOf(testing::StartsWith(waited),
                                         testing::MatchesRegex(".*: [0-9]+"))));
  EXPECT_EQ(MessagesWith(" not used, path: "), unused_);
  EXPECT_THAT(Calls(), testing::IsSupersetOf({"a", "c"}));  // b is not waited for
  EXPECT_EQ(Items(), std::vector<std::string>(3, "succeeded"));
}

}  // namespace
}  // namespace e2e
