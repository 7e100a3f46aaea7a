// Conditions on items that look at the product's files and at a program the
// product brings: which items run, which are passed over (skipped, with the
// attribute that decided), which fail because a condition could not be
// judged, and a run after a stop for a restart.
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>

#include "tests/e2e/conditions_fixture.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace e2e {
namespace {

TEST_F(ConditionsTest, PathConditionsPassItemsOverAndTheCountsAddUp) {
  WriteTextFile(product_.Path("there.txt"), "");
  fs::create_directories(tmp_.Join("outside"));
  const std::string outside = target().Spell(tmp_.Join("outside"));
  product_.AddFile("lib/" + target().Library("probe"), target().probe_library);
  const std::string dll = Item({{"type", "SimpleDll"},
                                {"file", target().Relative("lib/" + target().Library("probe"))},
                                {"entry", "ReturnZero"},
                                {"if_exists", "absent.txt"}});
  // Nine items: the loader orders keys as text, so a tenth would come first.
  product_.AddModuleFile(
      "mod_core.xml",
      Tagged("made", "--touch=" + Here("made.txt"), {{"creates", "made.txt"}}) +
          Tagged("there", "", {{"creates", "there.txt"}}) +
          Tagged("if-absent", "", {{"if_exists", "absent.txt"}}),
      Tagged("unless-there", "", {{"unless_exists", "there.txt"}}) +
          Tagged("unless-absent", "", {{"unless_exists", "absent.txt"}}) +
          Tagged("expanded", "", {{"if_exists", Here("there.txt")}}) +
          // creates comes first: it decides, if_exists is not looked at.
          Tagged("first", "", {{"creates", "there.txt"}, {"if_exists", "absent.txt"}}),
      Tagged("outside", "", {{"unless_exists", outside}}) + dll);

  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"made", "unless-absent", "expanded"}));
  EXPECT_EQ(ReadTextFile(product_.Path("made.txt")), "done\n");
  EXPECT_EQ(MessagesWith("item passed over"),
            (std::vector<std::string>{
                PassedOver("creates", "there.txt"),
                PassedOver("if_exists", "absent.txt"),
                PassedOver("unless_exists", "there.txt"),
                PassedOver("creates", "there.txt"),
                PassedOver("unless_exists", outside),
                "I:item passed over, path: " + At("lib/" + target().Library("probe")) +
                    " ,if_exists: absent.txt",
            }));
  EXPECT_THAT(MessagesWith("run dll:"), IsEmpty()) << "judged before the library is loaded";
  EXPECT_EQ(Items(),
            (std::vector<std::string>{"succeeded",
                                      "skipped:creates",
                                      "skipped:if_exists",
                                      "skipped:unless_exists",
                                      "succeeded",
                                      "succeeded",
                                      "skipped:creates",
                                      "skipped:unless_exists",
                                      "skipped:if_exists"}));
  EXPECT_EQ(Count("items"), 9u);
  EXPECT_EQ(Count("succeeded"), 3u);
  EXPECT_EQ(Count("skipped"), 6u);
  EXPECT_EQ(Count("failed"), 0u);
  EXPECT_EQ(ReadTextFile(ResultFile()), Success());

  // The program made what "creates" names: the next run passes it over.
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(MessagesWith("item passed over").front(), PassedOver("creates", "made.txt"));
  EXPECT_EQ(Items().front(), "skipped:creates");
  EXPECT_EQ(Count("skipped"), 7u);
  EXPECT_EQ(Count("succeeded"), 2u);
  EXPECT_EQ(ReadTextFile(product_.Path("made.txt")), "done\n") << "the program ran again";
}

// A path the system will not examine fails the item; the run stops there.
TEST_F(ConditionsTest, PathThatCannotBeExaminedFailsTheItemWithCode50) {
  // A loop of links: ELOOP, and under Wine ERROR_CANT_RESOLVE_FILENAME.
  fs::create_symlink("loop", product_.Path("loop"));
  struct Case {
    std::string attribute, text;
    int error;
  };
  std::vector<Case> cases = {{"creates", "loop", target().windows ? 1921 : ELOOP}};
  // Wine answers a name too long for the file system as a path that is not
  // there; for root a folder without rights stands open.
  if (!target().windows) cases.push_back({"if_exists", std::string(300, 'n'), ENAMETOOLONG});
  if (!target().windows && geteuid() != 0) {
    fs::create_directories(product_.Path("shut/in"));
    fs::permissions(product_.Path("shut"), fs::perms::none);
    cases.push_back({"unless_exists", "shut/in", EACCES});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute);
    product_.AddModuleFile("mod_core.xml",
                           Tagged("a", ""),
                           Tagged("b", "", {{c.attribute, c.text}}) + Tagged("never", ""),
                           Tagged("c", ""));
    fs::remove(product_.Path("calls.txt"));
    EXPECT_EQ(RunAgain().exit_code, 210);
    const std::string error = std::to_string(c.error);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"a"}));
    EXPECT_THAT(Messages(),
                Contains("I:condition cannot be evaluated, path: " + At(probe_) + " ," +
                         c.attribute + ": " + c.text + " ,error: " + error));
    EXPECT_THAT(MessagesWith("run exe application"), ElementsAre(testing::_));
    EXPECT_EQ(ReadTextFile(ResultFile()),
              target().IniText({"[result]",
                                "is_success=false",
                                "[error_info]",
                                "error_path=",
                                "error_code=InstallError:50",
                                "error_detail=condition cannot be evaluated ,file:" + At(probe_) +
                                    " ," + c.attribute + ":" + c.text + " ,error:" + error}));
    EXPECT_EQ(Items(),
              (std::vector<std::string>{"succeeded", "failed", "not_reached", "not_reached"}));
  }
  if (fs::exists(product_.Path("shut"))) {
    fs::permissions(product_.Path("shut"), fs::perms::owner_all);
  }
}

// The product's own program decides: 0 runs the item, 1..254 pass it over.
TEST_F(ConditionsTest, ProgramDecidesByItsExitCode) {
  product_.AddProbe("my tools/probe");
  const std::string record = " --record=" + Here("conditions.txt") + " --tag=";
  const std::string probe = target().Relative(probe_);
  const std::string zero = probe + record + "zero", three = probe + " --exit=3" + record + "three";
  const std::string quoted = "&quot;" + target().Relative("my tools/probe") + "&quot;" + record;
  product_.AddModuleFile(
      "mod_core.xml",
      Tagged("zero", "", {{"if_program", zero}}) + Tagged("three", "", {{"if_program", three}}),
      // Started only when every other condition lets the item run.
      Tagged("gated", "", {{"if_exists", "absent.txt"}, {"if_program", probe + record + "never"}}) +
          Tagged("quoted", "", {{"if_program", quoted + "quoted"}}),
      Tagged("absolute",
             "",
             {{"if_program", At(probe_) + record + "absolute"}, {"if_program_timeout", "30"}}) +
          Tagged("unused", "", {{"if_program_timeout", "5"}}));
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"zero", "quoted", "absolute", "unused"}));
  EXPECT_EQ(ReadCalls(product_.Path("conditions.txt")),
            (std::vector<std::string>{"zero", "three", "quoted", "absolute"}));
  EXPECT_EQ(MessagesWith("item passed over"),
            (std::vector<std::string>{PassedOver("if_program", three, " ,exit code: 3"),
                                      PassedOver("if_exists", "absent.txt")}));
  EXPECT_THAT(
      Messages(),
      Contains("I:if_program_timeout not used, path: " + At(probe_) + " ,if_program_timeout: 5"));
  EXPECT_EQ(Items(),
            (std::vector<std::string>{"succeeded",
                                      "skipped:if_program",
                                      "skipped:if_exists",
                                      "succeeded",
                                      "succeeded",
                                      "succeeded"}));
  EXPECT_EQ(ReadTextFile(ResultFile()), Success());
}

// 255, a program that is not there and one past its time fail the item.
TEST_F(ConditionsTest, ProgramThatFailsFailsTheItemWithCode50) {
  const std::string probe = target().Relative(probe_);
  struct Case {
    std::string program, timeout, why;
  };
  const Case cases[] = {
      {probe + " --exit=255", "", " ,exit code: 255"},
      {probe + " --sleep-ms=5000", "1", " ,timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    std::map<std::string, std::string> conditions = {{"if_program", c.program}};
    if (!c.timeout.empty()) conditions["if_program_timeout"] = c.timeout;
    product_.AddModuleFile("mod_core.xml",
                           Tagged("a", ""),
                           Tagged("b", "", conditions) + Tagged("never", ""),
                           Tagged("c", ""));
    fs::remove(product_.Path("calls.txt"));
    EXPECT_EQ(RunAgain().exit_code, 210);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(MessagesWith("if_program failed"),
              (std::vector<std::string>{"I:if_program failed, path: " + At(probe_) +
                                        " ,if_program: " + c.program + c.why}));
    EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");
    EXPECT_EQ(Result("error_info", "error_detail"),
              "if_program failed ,file:" + At(probe_) + " ,if_program:" + c.program + c.why);
    EXPECT_EQ(Items(),
              (std::vector<std::string>{"succeeded", "failed", "not_reached", "not_reached"}));
  }
}

// A program that is not there cannot start: the line names the system's error.
TEST_F(ConditionsTest, MissingProgramFailsTheItemWithItsStartError) {
  const std::string program = target().Relative("bin/absent") + " --exit=0";
  product_.AddModuleFile(
      "mod_core.xml", Tagged("a", "", {{"if_program", program}}), Tagged("b", ""), Tagged("c", ""));
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_THAT(Calls(), IsEmpty());
  const std::string why = " ,not started, error: 2";  // file not found, POSIX and Windows alike
  EXPECT_EQ(MessagesWith("if_program failed"),
            (std::vector<std::string>{"I:if_program failed, path: " + At(probe_) +
                                      " ,if_program: " + program + why}));
  EXPECT_EQ(Result("error_info", "error_detail"),
            "if_program failed ,file:" + At(probe_) + " ,if_program:" + program + why);
  EXPECT_EQ(Items(), (std::vector<std::string>{"failed", "not_reached", "not_reached"}));
}

// An item a condition passed over before a stop for a restart is done: the
// run after the restart does not judge it again, though what passed it over
// has gone.
TEST_F(ConditionsTest, PassedOverBeforeARestartIsDoneBeforeTheRestart) {
  WriteTextFile(product_.Path("there.txt"), "");
  product_.AddModuleFile(
      "mod_core.xml",
      Tagged("a", "") + Tagged("s", "", {{"creates", "there.txt"}}) +
          Tagged("b", "--exit=3", {{"reboot_now_exitcode", "3"}, {"exitcode", "3"}}),
      Tagged("c", ""),
      Tagged("d", ""));
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
  EXPECT_THAT(MessagesWith("item passed over"), IsEmpty());
  EXPECT_EQ(Items(),
            (std::vector<std::string>{"done_before_restart",
                                      "done_before_restart",
                                      "done_before_restart",
                                      "succeeded",
                                      "succeeded"}));
  EXPECT_EQ(Count("done_before_restart"), 3u);
  EXPECT_EQ(Count("skipped"), 0u);
  // The stop wrote an empty error section; a success leaves it as it is.
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]",
                              "is_success=true",
                              "[error_info]",
                              "error_path=",
                              "error_code=",
                              "error_detail="}));
}

}  // namespace
}  // namespace e2e
