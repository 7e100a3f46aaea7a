// The warnings of a plan: each trap a product author can set, and none for
// a clean product.
#include <gmock/gmock.h>

#include <fstream>
#include <iterator>

#include "CallPlugins/ItemSteps.h"
#include "tests/support/dev_signing.h"
#include "tests/support/platform_facts.h"
#include "tools/plan_fixture_test.h"

namespace {

using plan_test::Codes;
using plan_test::PlanTest;
using plan_test::Texts;
namespace fs = std::filesystem;
using ::testing::ElementsAre;

// A product whose first item is items, the warnings it raises, and the text
// of the first one after "<where>: " (empty: not checked).
struct TrapCase {
  std::string items;
  std::vector<std::string> codes;
  std::string text;
};

class PlanWarningTest : public PlanTest {
 protected:
  void ExpectWarnings(const std::vector<TrapCase>& cases) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.items);
      const Plan plan = PlanWith(c.items);
      EXPECT_EQ(c.codes, Codes(plan)) << ::testing::PrintToString(Texts(plan));
      EXPECT_TRUE(plan.predicts_success);
      if (!c.text.empty() && !plan.warnings.empty()) {
        EXPECT_EQ(Where(plan) + ": " + c.text, Texts(plan)[0]);
      }
    }
  }
};

TEST_F(PlanWarningTest, ProgramItemTrapsRaiseTheirWarnings) {
  WriteTextFile(JoinPath(product_, "bin/plain"), "not a program");
  ExpectWarnings({
      {Exe({{"type", "exe"}}),
       {"type-skipped"},
       "type \"exe\" is neither \"Exe\" nor \"SimpleDll\" (compared exactly), so the item is "
       "skipped silently"},
      {Exe({{"type", ""}}),
       {"type-skipped"},
       "no type (compared exactly), so the item is skipped silently"},
      {Exe({{"exitcode", "0;abc"}}), {"exitcode-misread"}, "the exitcode piece \"abc\" reads as 0"},
      {Exe({{"exitcode", "4294967295"}}),
       {"exitcode-misread"},
       "the exitcode piece \"4294967295\" reads as 2147483647"},
      {Exe({{"exitcode", ";"}}),
       {"exitcode-no-code"},
       "exitcode=\";\" holds no code, so every start of the program fails the run"},
      {Exe({{"wait_for_exit", "0"}}),
       {"no-wait-expectation"},
       "the exit code is checked without waiting (wait_for_exit is not \"1\"), so a program "
       "that is still running reads as 259"},
      {Exe({{"file", "bin/none"}}),
       {"file-missing"},
       JoinPath(product_, "bin/none") + " does not exist; the run passes over it"},
      {Exe({{"file", "bin/plain"}}),
       {"cannot-start"},
       JoinPath(product_, "bin/plain") + " cannot be started (this account cannot start it, " +
           platform::ErrorText(platform_facts::kNotAProgramError) + "); the run passes over it"},
      {"<item type=\"Exe\"/>" + Exe(), {"item-dropped"}, ""},
      {Exe({{"timeout", "30"}, {"log_output", "1"}}), {}, ""},
      {Exe({{"timeout", "5&#10;forged"}}),
       {"timeout-unused"},
       "timeout=\"5\\x0Aforged\" is not a whole number of seconds from 1 to 86400, so the item "
       "runs without a time limit"},
      {Exe({{"timeout", "0"}}),
       {"timeout-unused"},
       "timeout=\"0\" is not a whole number of seconds from 1 to 86400, so the item runs "
       "without a time limit"},
      {Exe({{"timeout", "30"}, {"wait_for_exit", "0"}, {"exitcode", ""}}),
       {"timeout-unused"},
       "timeout=\"30\" has no effect: the item is not waited for (wait_for_exit is not \"1\"), "
       "so the item runs without a time limit"},
      {Exe({{"log_output", "1"}, {"wait_for_exit", "0"}, {"exitcode", ""}}),
       {"log-output-unused"},
       "log_output=\"1\" has no effect: the item is not waited for (wait_for_exit is not \"1\")"},
      {Exe({{"log_output", "yes"}}),
       {"log-output-unused"},
       "log_output=\"yes\" is not \"1\", so the output is not logged"},
      {Exe({{"reboot_exitcode", "3010;1641"}}), {}, ""},
      {Exe({{"reboot_exitcode", "3010"}, {"wait_for_exit", "0"}, {"exitcode", ""}}),
       {"reboot-exitcode-unused"},
       "reboot_exitcode=\"3010\" has no effect: the item is not waited for (wait_for_exit is not "
       "\"1\")"},
      {Exe({{"when_no_user", "skip"}}),
       {"when-no-user-unused"},
       "when_no_user=\"skip\" has no effect: it serves only program items with as_user"},
      {Exe({{"as_user", "all"}, {"when_no_user", "no"}}),
       {"when-no-user-unused"},
       "when_no_user=\"no\" is neither \"skip\" nor \"fail\", so an item with no user to run as "
       "is passed over"},
      {Exe({{"reboot_exitcode", "soon"}}),
       {"exitcode-misread"},
       "the reboot_exitcode piece \"soon\" reads as 0"},
  });
}

// A start is judged as the run judges it: the system's limit on parameters,
// a command script through the system's cmd.exe (Windows).
TEST_F(PlanWarningTest, StartsAreJudgedAsTheRunStartsThem) {
  AddFile("bin/setup.cmd", TAVERLY_PROBE_PATH);
  ExpectWarnings({
      {Exe({{"param", std::string(200000, 'x')}}),
       {"cannot-start"},
       JoinPath(product_, probe_) + " cannot be started (" + kParametersTooLong +
           "); the run passes over it"},
      {Exe({{"file", "bin/setup.cmd"}}), {}, ""},
  });
}

TEST_F(PlanWarningTest, LibraryItemTrapsRaiseTheirWarnings) {
  ExpectWarnings({
      {Dll({{"exitcode", "0"}}),
       {"library-expectation"},
       "with exitcode=\"0\" the entry must return -1; the listed codes are not consulted, so "
       "any other result fails the run"},
      {Dll({{"exitcode", ";"}}), {"library-expectation"}, ""},
      {Dll({{"exitcode", "-1;-1"}}), {}, ""},
      {Dll({{"system", "1"}}), {"system-ignored"}, "system=\"1\" has no effect on a library item"},
      {Dll({{"entry", ""}}), {"library-entry"}, "no entry is named; nothing is called"},
      {Dll({{"file", "lib/none.so"}}),
       {"file-missing"},
       JoinPath(product_, "lib/none.so") + " does not exist; the run passes over it"},
      {Dll({{"reboot_exitcode", "3010"}}),
       {"reboot-exitcode-unused"},
       "reboot_exitcode=\"3010\" has no effect on a library item: only a program's exit code can "
       "ask for a restart"},
      {Dll({{"timeout", "30"}, {"log_output", "1"}}),
       {"timeout-unused", "log-output-unused"},
       "timeout=\"30\" has no effect on a library item: a call inside the program can be "
       "neither ended nor captured"},
      {Dll({{"as_user", "all"}, {"when_no_user", "fail"}}),
       {"as-user-unused", "when-no-user-unused"},
       "as_user=\"all\" has no effect on a library item: its entry is called inside the run, as "
       "the run's own account"},

  });
}

// The attributes of conditions and of the installer wait that an item
// writes and does not use.
TEST_F(PlanWarningTest, UnusedConditionsAndInstallerWaitsAreNamed) {
  ExpectWarnings({
      {Exe({{"unless_restart_pending", "yes"}}),
       {"unless-restart-pending-unused"},
       "unless_restart_pending=\"yes\" is neither \"1\" nor \"0\", so a pending restart does "
       "not pass the item over"},
      {Exe({{"if_program", probe_}, {"if_program_timeout", "0"}}),
       {"if-program-timeout-unused"},
       "if_program_timeout=\"0\" is not a whole number of seconds from 1 to 86400, so "
       "if_program runs for up to 60 s"},
      {Exe({{"if_program", "&quot;&quot; --x"}, {"if_program_timeout", "5"}}),
       {"if-program-unused", "if-program-timeout-unused"},
       "if_program=\"\"\" --x\" names no program (blanks only, or an empty \"\" first part), so "
       "the item runs as if it were not written"},
      {Dll({{"wait_for_installer", "30"}}),
       {"wait-for-installer-unused"},
       "wait_for_installer=\"30\" has no effect on a library item: only a program's start "
       "waits for the installer"},
  });
}

// The undo attributes an item writes in vain, an undo that cannot run, and
// an item the run starts without an undo where a later failure reaches it.
TEST_F(PlanWarningTest, UndoTrapsRaiseTheirWarnings) {
  WriteTextFile(JoinPath(product_, "bin/plain"), "not a program");
  const std::string cannot =
      ", the program of undo, cannot be started (this account cannot start it, ";
  ExpectWarnings({
      {Exe({{"undo", "bin/none --x"}}),
       {"undo-file-missing", "no-undo"},
       JoinPath(product_, "bin/none") +
           ", the program of undo, does not exist: a rollback cannot take the item back"},
      {Exe({{"undo", "bin/plain"}}),
       {"undo-cannot-start", "no-undo"},
       JoinPath(product_, "bin/plain") + cannot +
           platform::ErrorText(platform_facts::kNotAProgramError) +
           "): a rollback cannot take the item back"},
      {Exe({{"undo", "&quot;&quot; --secret"}, {"sensitive", "1"}}),
       {"undo-unused"},
       "undo=*** names no program (blanks only, or an empty \"\" first part), so the item has no "
       "undo"},
      {Exe({{"undo_entry", "Undo"}}),
       {"undo-entry-unused"},
       "undo_entry=\"Undo\" has no effect on a program item: only a library item's own library "
       "is called"},
      {Dll({{"undo_entry", "ReturnZero"}, {"undo", "bin/x"}, {"undo_exitcode", "a"}}),
       {"undo-unused", "undo-exitcode-unused", "no-undo"},
       "undo=\"bin/x\" has no effect: the item's undo_entry takes it back"},
      {Exe({{"undo", probe_}, {"undo_timeout", "0"}, {"rollback_boundary", "yes"}}),
       {"undo-timeout-unused", "rollback-boundary-unused", "no-undo"},
       "undo_timeout=\"0\" is not a whole number of seconds from 1 to 86400, so the undo program "
       "runs for up to 600 s"},
      {Exe() + Exe({{"undo", probe_}}),
       {"no-undo", "no-undo"},
       "the run starts the item's program and it has no undo, while key 2 after it can fail: a "
       "rollback then leaves what this item did"},
      {Exe({{"rollback_boundary", "1"}}) + Exe({{"undo", probe_}}), {"no-undo"}, ""},
  });
  // A signed item's undo program is judged as its file is.
  if (!BuildTrustsDevKey1(TAVERLY_DEV_KEY_DIR)) return;
  std::ifstream probe(TAVERLY_PROBE_PATH, std::ios::binary);
  const std::string signed_probe = "bin/signed" + fs::path(probe_).extension().string();
  WriteTextFile(
      JoinPath(product_, signed_probe),
      SignedWithDevKey(
          std::string(std::istreambuf_iterator<char>(probe), {}), TAVERLY_DEV_KEY_DIR, 1));
  fs::permissions(JoinPath(product_, signed_probe), fs::perms::owner_all, fs::perm_options::add);
  ExpectWarnings({{Exe({{"file", signed_probe}, {"signed", "1"}, {"undo", probe_}}),
                   {"undo-signature-refused", "no-undo", "unsigned", "unsigned"},
                   "signed=\"1\" and " + JoinPath(product_, probe_) +
                       ", the program of undo, has signature verdict 0 (not signed): a rollback "
                       "cannot take the item back"}});
}

// Whoever may change what a condition looks at decides whether the item
// runs; whoever may change if_program's program runs code with the run's
// rights. A path that is not there counts by the folder it would be put in.
TEST_F(PlanWarningTest, ConditionsOthersMayChangeAreNamed) {
  const std::string check = "open/check" + fs::path(TAVERLY_PROBE_PATH).extension().string();
  AddFile(check, TAVERLY_PROBE_PATH);
  fs::permissions(JoinPath(product_, "open"), fs::perms::all);
  if (!platform::OthersMayChangePath(Wide(JoinPath(product_, "open")))) {
    GTEST_SKIP() << "modes set here do not open a folder to other accounts";
  }
  const std::string above = ", or a folder above it, can be changed by other accounts: ";
  const std::string code = "condition-writable-by-others";
  ExpectWarnings({
      {Exe({{"unless_exists", "open/none/deeper"}}),
       {code},
       JoinPath(product_, "open/none/deeper") + ", the path of unless_exists" + above +
           "they can make the item run or be passed over"},
      {Exe({{"if_program", check}}),
       {code},
       JoinPath(product_, check) + ", the program of if_program" + above +
           "what they put there runs with the rights of the run and decides whether the item "
           "runs"},
      {Exe({{"creates", "done.txt"}, {"if_program", probe_}}), {}, ""},
      {Exe({{"undo", check}}),
       {"undo-writable-by-others", "no-undo"},
       JoinPath(product_, check) + ", the program of undo" + above +
           "what they put there runs with the rights of the run when a rollback takes the item "
           "back"},
  });
}

TEST_F(PlanWarningTest, ModuleTrapsRaiseTheirWarnings) {
  WriteModule("mod_core.xml", ModuleXml(Exe(), Exe(), Exe()));
  WriteModule("mod_absent.xml", ModuleXml(Exe(), "", ""));
  WriteModule("mod_.xml", ModuleXml(Exe(), "", ""));
  WriteModule("mod_empty.xml", "");
  WriteModule("mod_off.xml", ModuleXml(Exe(), "", ""));
  WriteTextFile(ModuleFile("module_config.dat"),
                R"({"module_info": {"core": {"state": "1"}, "empty": {"state": "1"},)"
                R"( "off": {"state": "0"}}})");
  const Plan plan = Planned();
  EXPECT_TRUE(plan.predicts_success);
  EXPECT_THAT(Texts(plan),
              ElementsAre("mod_.xml: no module name between \"mod_\" and the extension; the file "
                          "is ignored",
                          "mod_absent.xml is left out silently, not admitted: \"absent\" is not "
                          "listed under \"module_info\"",
                          "mod_empty.xml is admitted but gives no item: it is unreadable, empty, "
                          "or has no root/module/setup"));
  ASSERT_EQ(5u, plan.modules.size());
  EXPECT_EQ(L"not admitted: \"off\" has state \"0\", not \"1\"", ModuleText(plan.modules[4]));
  EXPECT_EQ(ModuleVerdictReason::kStateNotOne, plan.modules[4].verdict.reason);
}

TEST_F(PlanWarningTest, KeysThatRunAheadOfEarlierOnesAreNamed) {
  // Keys count from 1, so ten items in the first phase end with key 10,
  // which runs before 2 to 9.
  std::string items;
  for (int key = 1; key <= 10; ++key) items += Exe();
  EXPECT_THAT(Texts(PlanWith(items)),
              ElementsAre("phase after_setup: key 10 runs before key(s) 2, 3, 4, 5, 6, 7, 8, "
                          "9, which come earlier in the module files (keys compare as text)"));
}

TEST(KeysOvertakenTest, NamesLaterKeysWithSmallerNumbers) {
  EXPECT_EQ((std::vector<std::vector<std::string>>{{}, {"2", "3"}, {"2", "3"}, {}, {}}),
            KeysOvertaken({"1", "10", "11", "2", "3"}));
  EXPECT_EQ((std::vector<std::vector<std::string>>{{}, {}, {}}), KeysOvertaken({"7", "8", "9"}));
  EXPECT_TRUE(KeysOvertaken({}).empty());
}

}  // namespace
