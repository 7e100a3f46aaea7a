// Whole runs: the catalogue, the three phases, the items and their exit codes,
// library items and the security base.
#include <filesystem>

#include <gmock/gmock.h>

#include "tests/e2e/report_check.h"
#include "tests/e2e/run_fixture.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;

namespace e2e {
namespace {

TEST_F(RunTest, SuccessfulRunLogsSixPhaseLinesAndWritesSuccess) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  std::string tail = " , param: --record=" + At("calls.txt") + " --tag=";
  std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 4u);
  std::vector<std::string> after_path(messages.begin() + 3, messages.end());
  EXPECT_THAT(
      after_path,
      ElementsAre("I:load module config folder path: " + At("modularize"),
                  "E:load module config file name: " + At("modularize/mod_core.xml"),
                  "I:start call after setup plugins...",
                  "I:run exe application: " + At(probe_) + tail + "a ,wait_for_exit: 1 , system: ",
                  "I:end   call after setup plugins",
                  "I:start call open self protect plugins...",
                  "I:run exe application: " + At(probe_) + tail + "b ,wait_for_exit: 1 , system: ",
                  "I:end   call open self protect plugins",
                  "I:start call after self protect plugins...",
                  "I:run exe application: " + At(probe_) + tail + "c ,wait_for_exit: 1 , system: ",
                  "I:end   call after self protect plugins",
                  "E:call plugins success."));
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
}

TEST_F(RunTest, WideValuesOutsideTheDefaultLocaleNameTheirItemInUtf8) {
  // The euro sign converts in no "C" locale, so every wide value naming the
  // folder is written in UTF-8, as the run report writes it; the narrow texts
  // (command line, PATH, current folder) are written as they always were.
  Product product(tmp_.Join("Prod\xC3\xBCkt\xE2\x82\xAC"));
  const std::string item = target().Program(
      "bin/pr\xC3\xBC"
      "fen");
  product.AddProbe(item);
  product.SetInstalledModules({"core"});
  // Values in a module file are text in the ANSI code page (1252 under Wine).
  const std::string named = target().windows ? target().Relative(target().Program("bin/pr\xFC"
                                                                                  "fen"))
                                             : target().Relative(item);
  const std::string record =
      "--record=%productpath%" + std::string(1, target().separator) + "calls.txt --tag=";
  const auto exe = [&](const std::string& tag) {
    return Item(
        {{"type", "Exe"}, {"file", named}, {"wait_for_exit", "1"}, {"param", record + tag}});
  };
  product.AddModuleFile("mod_core.xml", exe("a"), exe("b"), exe("c"));
  RunResult run = RunWithInstallPath(product.folder());
  EXPECT_EQ(run.exit_code, 0);
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 15u);
  if (!target().windows) {
    EXPECT_EQ(messages[0], "I:commindline --installpath= : " + product.folder());
  }
  EXPECT_EQ(messages[2], "I:set current running path:  " + product.TargetFolder());
  EXPECT_EQ(messages[3], "I:load module config folder path: " + product.TargetPath("modularize"));
  const std::string module_file = product.TargetPath("modularize/mod_core.xml");
  EXPECT_EQ(messages[4], "E:load module config file name: " + module_file);
  EXPECT_EQ(messages[6],
            "I:run exe application: " + product.TargetPath(item) + " , param: --record=" +
                product.TargetPath("calls.txt") + " --tag=a ,wait_for_exit: 1 , system: ");
  EXPECT_EQ(ReadCalls(product.Path("calls.txt")), (std::vector<std::string>{"a", "b", "c"}));
  rapidjson::Document report;
  ASSERT_TRUE(ValidReport(ReadTextFile(ReportFile()), &report));
  EXPECT_EQ(report["modules"][0]["file"].GetString(), module_file);
}

TEST_F(RunTest, ProductFolderIsOnPathAndIsTheWorkingDirectory) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  RunOptions options;
  options.env["PATH"] = "/usr/bin:/bin";
  // The PATH a program gets without Taverly: the one given natively, the
  // account's own under Wine.
  options.program = target().probe;
  options.arguments = {"--record=" + target().Spell(tmp_.Join("alone.txt"))};
  ASSERT_EQ(Run(options).exit_code, 0);
  std::vector<ProbeRun> alone = ReadProbeRecords(tmp_.Join("alone.txt"));
  ASSERT_EQ(alone.size(), 1u);

  options.program.clear();
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  EXPECT_EQ(Run(options).exit_code, 0);
  std::vector<ProbeRun> runs = ReadProbeRecords(product_.Path("calls.txt"));
  ASSERT_EQ(runs.size(), 3u);
  const std::string path = alone[0].path + target().path_list_separator + product_.TargetFolder();
  EXPECT_EQ(runs[0].cwd, product_.TargetFolder());
  EXPECT_EQ(runs[0].path, path);
  std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[1], "I:add PATH:  PATH=" + path + "  to Process Path");
  EXPECT_EQ(messages[2], "I:set current running path:  " + product_.TargetFolder());
}

TEST_F(RunTest, KeysRunInTextOrderAcrossFilesAndPhases) {
  // Ten items in the first file give keys 1..10; "10" sorts before "2".
  std::string first;
  for (int i = 1; i <= 10; ++i) first += Probe("k" + std::to_string(i));
  product_.AddModuleFile("mod_core.xml", first, Probe("o"), Probe("s"));
  product_.AddModuleFile("mod_extra.xml", Probe("x"), "", "");
  product_.SetInstalledModules({"core", "extra"});
  EXPECT_EQ(RunProduct().exit_code, 0);
  // Keys: core 1..10, o=11, s=12, extra x=13.
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{
                "k1", "k10", "x", "k2", "k3", "k4", "k5", "k6", "k7", "k8", "k9", "o", "s"}));
}

TEST_F(RunTest, ModuleMissingFromTheListIsLeftOut) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  product_.AddModuleFile("mod_absent.xml", Probe("never"), "", "");
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_THAT(Messages(), Contains("I:absent is not installed, will ignore it."));
}

TEST_F(RunTest, ExitCodeMismatchFailsTheRunWithCode50) {
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a"),
      Probe("b", {{"exitcode", "0"}, {"param", "--exit=7 --record=calls.txt --tag=b"}}) +
          Probe("never"),
      Probe("c"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 210);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b"}));
  std::string message =
      "exitCode do not match expectations, exe file:" + At(probe_) +
      " ,param:--exit=7 --record=calls.txt --tag=b ,exe exit code:7 ,expected exit code:-1";
  std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_THAT(
      std::vector<std::string>(messages.end() - 3, messages.end()),
      ElementsAre(
          "I:" + message, "E:CallOpenSelfProtectPlugins() failed", "I:call plugins failed."));
  EXPECT_EQ(Result("result", "is_success"), "false");
  EXPECT_EQ(Result("error_info", "error_path"), "");
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");
  EXPECT_EQ(Result("error_info", "error_detail"), message);
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]",
                              "is_success=false",
                              "[error_info]",
                              "error_path=",
                              "error_code=InstallError:50",
                              "error_detail=" + message}));
}

TEST_F(RunTest, ExpectedCodesMatchTheirWayAndSkippedItemsDoNotFail) {
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"exitcode", "0;42"}, {"param", "--exit=42 --record=calls.txt --tag=a"}}) +
          Probe("b", {{"exitcode", "abc"}}) +  // reads as 0
          Probe("lower", {{"type", "exe"}}) +  // not a known type
          Item({{"type", "Exe"}, {"file", target().Relative("bin/missing")}, {"exitcode", "0"}}) +
          Probe("long", {{"param", std::string(200000, 'x')}, {"sensitive", "1"}}) +
          Probe("nowait",
                {{"wait_for_exit", "0"},
                 {"exitcode", "259"},
                 {"param", "--sleep-ms=300 --record=calls.txt --tag=nowait"}}),
      Probe("o"),
      Probe("s"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 0);
  std::vector<std::string> messages = Messages();
  EXPECT_THAT(messages,
              Contains("I:exitCode match the expectations , exitCode: 42. expected result: -1"));
  EXPECT_THAT(messages,
              Contains("I:exitCode match the expectations , exitCode: 0. expected result: -1"));
  EXPECT_THAT(messages,
              Contains("I:exitCode match the expectations , exitCode: 259. expected result: -1"));
  EXPECT_THAT(messages,
              Contains("I:run exe application: " + At("bin/missing") +
                       " , param:  ,wait_for_exit: 0 , system: "));
  EXPECT_THAT(messages,
              Contains("I:item not started, path: " + At("bin/missing") +
                       " ,reason: the file does not exist"));
  EXPECT_THAT(messages,
              Contains("I:item not started, path: " + At(probe_) +
                       " ,reason: the parameters are longer than the system takes for "
                       "a start"));
  EXPECT_THAT(messages, Not(Contains(HasSubstr("--tag=lower"))));
}

TEST_F(RunTest, SeparatorsOnlyExpectationFailsEveryStartedProgram) {
  product_.AddModuleFile("mod_core.xml", Probe("a", {{"exitcode", ";"}}), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");
}

TEST_F(RunTest, SystemGateFollowsTheAccount) {
  // Natively the suite runs as root, the system's own account; Wine's account
  // is the Unix user's, never SYSTEM.
  product_.AddModuleFile("mod_core.xml",
                         Probe("sys", {{"system", "1"}}) + Probe("nosys", {{"system", "0"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  const bool system = target().system_account;
  EXPECT_EQ(Calls(), (std::vector<std::string>{system ? "sys" : "nosys", "b", "c"}));
  const std::string skipped = system ? "nosys" : "sys";
  EXPECT_THAT(
      Messages(),
      Contains(
          std::string(
              system ? "I:run exe do not need system, current is system, will not excute it, path: "
                     : "I:run exe need system, current is not system, will not excute it, path: ") +
          At(probe_) + " , param: --record=" + At("calls.txt") + " --tag=" + skipped +
          " ,wait_for_exit: 1 , system: " + (system ? "0" : "1")));
}

TEST_F(RunTest, MinusOneExpectationMatchesAProgramExitingWithAllBitsSet) {
  if (!target().windows) GTEST_SKIP() << "a POSIX exit status has eight bits: -1 arrives as 255";
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"exitcode", "-1"}, {"param", "--exit=-1 --record=calls.txt --tag=a"}}),
      Probe("b", {{"exitcode", "0"}, {"param", "--exit=-1 --record=calls.txt --tag=b"}}),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b"}));
  std::string message = "exitCode do not match expectations, exe file:" + At(probe_) +
                        " ,param:--exit=-1 --record=calls.txt --tag=b ,exe exit code:4294967295"
                        " ,expected exit code:-1";
  EXPECT_THAT(Messages(),
              IsSupersetOf(std::vector<std::string>{
                  "I:exitCode match the expectations , exitCode: 4294967295. expected result: -1",
                  "I:" + message}));
  EXPECT_EQ(Result("error_info", "error_detail"), message);
}

TEST_F(RunTest, ParameterSubstitutionNeverReexpandsTheFolder) {
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a",
            {{"param", "--record=calls.txt --tag=a %productpath%/x %PRODUCTPATH% %productpath%"}}),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  std::vector<ProbeRun> runs = ReadProbeRecords(product_.Path("calls.txt"));
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs[0].args,
            (std::vector<std::string>{"--record=calls.txt",
                                      "--tag=a",
                                      product_.TargetFolder() + "/x",
                                      "%PRODUCTPATH%",
                                      product_.TargetFolder()}));
}

TEST_F(RunTest, LibraryItemsCallTheirEntryAndCheckForMinusOne) {
  const std::string library = target().Library("lib/probe"), none = target().Library("lib/none");
  AddLibrary(library);
  auto dll = [&](const std::string& entry, const std::string& exitcode) {
    std::map<std::string, std::string> a = {
        {"type", "SimpleDll"}, {"file", target().Relative(library)}, {"entry", entry}};
    if (!exitcode.empty()) a["exitcode"] = exitcode;
    return Item(a);
  };
  product_.AddModuleFile(
      "mod_core.xml",
      dll("ReturnMinusOne", "0") + dll("ReturnZero", "") +
          Item(
              {{"type", "SimpleDll"}, {"file", target().Relative(none)}, {"entry", "ReturnZero"}}) +
          dll("NoSuchEntry", "0") + dll("", ""),
      dll("ReturnMinusFive", "1") + dll("ReturnMinusOne", ""),
      Probe("c"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 210);
  EXPECT_EQ(
      Calls(),
      (std::vector<std::string>{"dll:ReturnMinusOne", "dll:ReturnZero", "dll:ReturnMinusFive"}));
  std::string lib = At(library);
  std::vector<std::string> messages = Messages();
  EXPECT_THAT(messages,
              IsSupersetOf(std::vector<std::string>{
                  "I:run dll: " + lib + " , entry: ReturnMinusOne",
                  "I:LoadLibrary fail: " + At(none) +
                      " ,getlasterror = " + std::to_string(target().missing_library_error),
                  "I:run dll fail: " + lib + " , entry: NoSuchEntry",
                  "I:run dll fail: " + lib + " , entry: ",
                  "I:exitCode do not match expectations, exe file:" + lib +
                      " ,entry:ReturnMinusFive ,exe exit code:-5 ,expected exit code:-1",
                  "E:CallOpenSelfProtectPlugins() failed"}));
  EXPECT_EQ(Result("error_info", "error_detail"),
            "exitCode do not match expectations, exe file:" + lib +
                " ,entry:ReturnMinusFive ,exe exit code:-5 ,expected exit code:-1");
}

TEST_F(RunTest, SignedSecurityBaseIsStartedOnceBeforeTheItems) {
  AddSecurityBase(true);
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(ReadTextFile(product_.Path("brindle_started.txt")), "started 1\n");
  EXPECT_THAT(Messages(), Not(Contains(HasSubstr("check file sign fail"))));
}

TEST_F(RunTest, UnsignedSecurityBaseIsRefusedAndTheRunGoesOn) {
  AddSecurityBase(false);
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_FALSE(fs::exists(product_.Path("brindle_started.txt")));
  std::string library = At(target().security_base_name);
  EXPECT_THAT(
      Messages(),
      IsSupersetOf(std::vector<std::string>{"E:file not signed,file:" + library,
                                            "E:check file sign fail, file path: " + library}));
}

}  // namespace
}  // namespace e2e
