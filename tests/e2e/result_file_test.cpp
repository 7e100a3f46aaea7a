// How a run that fails ends up in the result file: a catalogue that cannot be
// read, an empty phase, the error record a later success keeps, a detail that
// tries to add lines, a result file that cannot be written, and one another
// account planted.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include <gmock/gmock.h>

#include "tests/e2e/run_fixture.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::IsSupersetOf;

namespace e2e {
namespace {

TEST_F(RunTest, EmptyPhaseFailsWithAnEmptyErrorRecord) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), "", Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_EQ(Calls(), std::vector<std::string>{"a"});
  std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], "I:end   call after setup plugins");
  EXPECT_EQ(messages.back(), "I:call plugins failed.");
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]",
                              "is_success=false",
                              "[error_info]",
                              "error_path=",
                              "error_code=",
                              "error_detail="}));
}

TEST_F(RunTest, MissingCatalogueFolderFailsWithCode11) {
  fs::remove_all(product_.Path("modularize"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(Messages(), Contains("E:Missing file:" + At("modularize")));
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:11");
  EXPECT_EQ(Result("error_info", "error_detail"), "Missing file:" + At("modularize"));
}

TEST_F(RunTest, EmptyCatalogueFolderFailsWithTheSearchError) {
  fs::remove(product_.Path("modularize/module_config.dat"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_EQ(Result("error_info", "error_code"), "GLE:2");
  EXPECT_EQ(Result("error_info", "error_detail"),
            "deploy file, get file exception:" + At("modularize/mod_*.xml"));
}

TEST_F(RunTest, MalformedModuleFileFailsWithCode40) {
  WriteTextFile(product_.Path("modularize/mod_core.xml"), "<root><module>");
  EXPECT_EQ(RunProduct().exit_code, 210);
  std::string file = At("modularize/mod_core.xml");
  EXPECT_THAT(Messages(),
              IsSupersetOf(
                  std::vector<std::string>{"E:exception : unexpected end of data",
                                           "E:******** parse xml exception , xml name : " + file}));
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:40");
  EXPECT_EQ(Result("error_info", "error_detail"), "deploy file, parse xml failed:" + file);
}

TEST_F(RunTest, SuccessAfterAFailureKeepsTheEarlierErrorInfo) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), "", Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]",
                              "is_success=true",
                              "[error_info]",
                              "error_path=",
                              "error_code=",
                              "error_detail="}));
}

// A run ended from outside while its item runs leaves no earlier success
// standing: from the start of its phases the file says is_success=false.
TEST_F(RunTest, RunEndedFromOutsideLeavesNoEarlierSuccess) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(Result("result", "is_success"), "true");
  const std::string started = product_.Path("started.txt");
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"param", "--pid-file=" + At("started.txt") + " --sleep-ms=3000"}}),
      Probe("b"),
      Probe("c"));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  const Process run = Start(options);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(started) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(fs::exists(started));
  kill(run.pid, SIGKILL);
  EXPECT_EQ(Wait(run).exit_code, 128 + SIGKILL);
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=false"}));
}

TEST_F(RunTest, LineBreakInADetailCannotAddLinesToTheResultFile) {
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"exitcode", "0"}, {"param", "--exit=1 x&#10;[result]&#10;is_success=true"}}),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_EQ(Result("result", "is_success"), "false");
  std::string text = ReadTextFile(ResultFile());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << text;
}

TEST_F(RunTest, UnwritableResultFileIsLoggedFourTimesAndKeepsTheExitCode) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), "", "");
  fs::create_directories(ResultFile());  // a folder where the file should be
  EXPECT_EQ(RunProduct().exit_code, 210);
  std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 4u);
  std::regex failed("E:WritePrivateProfileStringW failed, path: " +
                    std::regex_replace(TargetResultFile(), std::regex(R"([\\.])"), "\\$&") +
                    ", result: .*, GLE: [0-9]+");
  for (size_t i = messages.size() - 4; i < messages.size(); ++i) {
    EXPECT_TRUE(std::regex_match(messages[i], failed)) << messages[i];
  }
  // Four, not five: the file holds no restart key to remove.
  EXPECT_EQ(std::count_if(messages.begin(),
                          messages.end(),
                          [&](const std::string& m) { return std::regex_match(m, failed); }),
            4);
}

// A log folder another account made first (SYSTEM's temporary folder where
// the system has no GetTempPath2W, /tmp) is refused: a result file planted
// there saying success, or a link standing for one, does not outlive the
// run, and what a link leads to is never touched.
TEST_F(RunTest, ResultFilePlantedInARefusedLogFolderDoesNotOutliveTheRun) {
  if (target().windows) GTEST_SKIP() << "Wine gives every folder the running account as owner";
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  const std::string victim = tmp_.Join("victim"), success = "[result]\nis_success=true\n";
  fs::create_directories(LogDir());
  ASSERT_EQ(chown(LogDir().c_str(), 65534, 65534), 0);
  for (const bool link : {false, true}) {
    WriteTextFile(victim, success);
    link ? fs::create_symlink(victim, ResultFile()) : WriteTextFile(ResultFile(), success);
    const RunResult run = RunProduct();
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(ResultFile()))) << link;
    EXPECT_EQ(ReadTextFile(victim), success);
    const std::vector<std::string> messages = MessagesOf(ParseLogLines(run.err));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "E:log folder cannot be used, path: " + TargetLogDir());
    EXPECT_EQ(messages[1],
              "E:result file removed, it could not be updated, path: " + TargetResultFile());
  }
}

// A link in the log folder's place leading to a result file goes; what it
// leads to stays. Wine opens what a link leads to even when told not to, so
// there the link stays too and the run says so.
TEST_F(RunTest, LinkInPlaceOfTheLogFolderLeadingToASuccessIsRemoved) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  const std::string planted = tmp_.Join("elsewhere/TaverlyResultInfo.dat");
  fs::create_directories(tmp_.Join("elsewhere"));
  WriteTextFile(planted, "[result]\nis_success=true\n");
  fs::create_directory_symlink(tmp_.Join("elsewhere"), LogDir());
  const RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(ReadTextFile(planted), "[result]\nis_success=true\n");
  EXPECT_THAT(
      MessagesOf(ParseLogLines(run.err)),
      Contains(target().windows
                   ? "E:result file could not be removed, path: " + TargetResultFile() + ", GLE: 50"
                   : "E:result file removed, it could not be updated, "
                     "path: " +
                         TargetResultFile()));
  EXPECT_EQ(fs::is_symlink(LogDir()), target().windows);
}

// In a folder of the run's own, a link standing for the result file is
// replaced by the result; what it leads to is never written.
TEST_F(RunTest, LinkInPlaceOfTheResultFileIsReplacedByTheResult) {
  if (target().windows) GTEST_SKIP() << "Wine writes and removes through a link to a file";
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  fs::create_directories(LogDir());
  WriteTextFile(tmp_.Join("victim"), "kept\n");
  fs::create_symlink(tmp_.Join("victim"), ResultFile());
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(ReadTextFile(tmp_.Join("victim")), "kept\n");
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(ResultFile())));
}

}  // namespace
}  // namespace e2e
