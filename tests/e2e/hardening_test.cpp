// Input and surroundings that an attacker or a broken machine provides: a
// FIFO in place of a module file or the module list, a full disk under the
// log folder, a link in place of the log folder.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <vector>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/private_mounts.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace e2e {
namespace {

using HardeningTest = ProductTest;

constexpr char kNativeOnly[] =
    "the small file system is mounted for the native program; Wine's temporary folder lies "
    "in its prefix";

// Wine shows a FIFO to the Windows program as nothing at all (the existence
// test says no), so there the run cannot block on it either; the lines then
// follow from a file that is not there.
TEST_F(HardeningTest, FifoNamedLikeAModuleFileDoesNotBlockTheRun) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  ASSERT_EQ(mkfifo(product_.Path("modularize/mod_x.xml").c_str(), 0644), 0);
  product_.SetInstalledModules({"core", "x"});
  RunResult run = RunProduct();
  std::vector<std::string> messages = Messages();
  if (target().windows) {
    EXPECT_EQ(run.exit_code, 210);
    EXPECT_THAT(messages, Contains("E:Missing file:" + At("modularize/mod_x.xml")));
    EXPECT_EQ(Result("error_info", "error_code"), "InstallError:11");
    return;
  }
  // The FIFO reads as an empty module file: it contributes nothing.
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_THAT(messages, Contains("E:load module config file name: " + At("modularize/mod_x.xml")));
  EXPECT_THAT(messages, Not(Contains(HasSubstr("exception"))));
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
}

TEST_F(HardeningTest, FifoInPlaceOfTheModuleListDoesNotBlockTheRun) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  fs::remove(product_.Path("modularize/module_config.dat"));
  ASSERT_EQ(mkfifo(product_.Path("modularize/module_config.dat").c_str(), 0644), 0);
  RunResult run = RunProduct();
  // No module is admitted, so the first phase is empty and the run fails.
  EXPECT_EQ(run.exit_code, 210);
  EXPECT_EQ(Calls(), std::vector<std::string>{});
  std::vector<std::string> expected = {
      "E:load module config file name: " + At("modularize/mod_core.xml"), "I:call plugins failed."};
  if (!target().windows) {
    // The FIFO reads as empty input: the parse error of an empty document.
    expected.insert(expected.begin() + 1,
                    "E:parse json failed. file: " + At("modularize/module_config.dat") +
                        " ,GetParseError() : 1");
  }
  std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), expected.size());
  EXPECT_EQ(
      std::vector<std::string>(messages.end() - static_cast<long>(expected.size()), messages.end()),
      expected);
}

TEST_F(HardeningTest, FifoNamedAsALibraryIsNoLibrary) {
  if (target().windows) GTEST_SKIP() << "Wine would hand the FIFO to its loader";
  ASSERT_EQ(mkfifo(product_.Path("lib.so").c_str(), 0644), 0);
  product_.AddModuleFile(
      "mod_core.xml",
      Item({{"type", "SimpleDll"}, {"file", "lib.so"}, {"entry", "Run"}}) + Probe("a"),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_THAT(Messages(), Contains("I:LoadLibrary fail: " + At("lib.so") + " ,getlasterror = 8"));
  EXPECT_THAT(PlanProduct({"--load"}).out, HasSubstr("exists, does not load (error 8)"));
}

TEST_F(HardeningTest, ProductFolderWhoseNameIsNotUtf8) {
  if (target().windows) GTEST_SKIP() << "Windows names are UTF-16";
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  const std::string named = tmp_.Join("prod\xFF");
  fs::create_directory_symlink(product_.folder(), named);
  EXPECT_EQ(RunWithInstallPath(named).exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  // Its lines name it, the stray byte escaped.
  EXPECT_THAT(Messages(),
              Contains("I:load module config folder path: " + tmp_.Join("prod\\xFF/modularize")));
}

// No value the run writes can end its line: an attribute with a line break
// in it, nor (natively, as Windows names hold none) a product folder's name
// in the lines that write it as narrow text or in UTF-8.
TEST_F(HardeningTest, NoValueCanEndItsLogLine) {
  const std::string forged = "E20261208 22:00:00.000000 1 main.cpp:125] call plugins success.";
  product_.AddModuleFile(
      "mod_core.xml",
      Item({{"type", "SimpleDll"}, {"file", "x"}, {"entry", "e&#10;f"}}) +
          Probe("b", {{"param", "x&#10;" + forged}, {"system", "&#13;"}, {"exitcode", "5"}}),
      Probe("c"),
      Probe("d"));
  std::string folder = product_.folder(), named = product_.TargetFolder();
  if (!target().windows) {
    folder = tmp_.Join("p\xC3\xBC\n" + forged + "\xFF");
    named = tmp_.Join("p\xC3\xBC\\x0A" + forged + "\\xFF");
    fs::create_directory_symlink(product_.folder(), folder);
  }
  EXPECT_EQ(RunWithInstallPath(folder).exit_code, 210);
  EXPECT_THAT(Messages(), Not(Contains("E:call plugins success.")));
  const std::string sep(1, target().separator);
  EXPECT_THAT(Messages(), Contains("I:run dll: " + named + sep + "x , entry: e\\x0Af"));
  EXPECT_THAT(Messages(),
              Contains("I:run exe application: " + named + sep + target().Relative(probe_) +
                       " , param: x\\x0A" + forged + " ,wait_for_exit: 1 , system: \\x0D"));
  if (target().windows) return;
  EXPECT_THAT(Messages(), Contains("I:commindline --installpath= : " + named));
  EXPECT_THAT(Messages(), Contains("I:set current running path:  " + named));
  EXPECT_THAT(Messages(), Contains(HasSubstr(":" + named + "  to Process Path")));
}

// An installer may start the program with standard error closed: the first
// file the program opened (the lock) took its place, and every log line went
// into it.
TEST_F(HardeningTest, ClosedStandardErrorIsTakenByNoFile) {
  if (target().windows) GTEST_SKIP() << "Windows handles are not numbered by the lowest free";
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  options.stderr_closed = true;
  EXPECT_EQ(Wait(Start(options)).exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(fs::file_size("/run/VXTaverly_Mutex.lock"), 0u);
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
}

// Nor does a standard error whose reader is gone end the run at its first
// log line.
TEST_F(HardeningTest, StandardErrorNobodyReadsEndsNothing) {
  if (target().windows) GTEST_SKIP() << kNativeOnly;
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  options.stderr_unread = true;
  EXPECT_EQ(Wait(Start(options)).exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
}

// A run short of descriptors, without the right to raise its limit, still
// holds its guard and never calls its own program changed: with 6 it says its
// own outcome (descriptors kept aside for it), with 4 it ends at once.
TEST_F(HardeningTest, RunShortOfDescriptorsSaysItsOwnOutcome) {
  if (target().windows) GTEST_SKIP() << "a limit on open files is POSIX's";
  // The sanitizers' runtime takes descriptors of its own (a pipe for each
  // memory check, /proc for the leak check) and fails first.
  if (target().sanitized) GTEST_SKIP() << "the sanitizers need descriptors of their own";
  for (const std::string limit : {"--nofile=6", "--nofile=4"}) {
    product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
    ASSERT_EQ(RunProduct().exit_code, 0);
    product_.AddModuleFile("mod_core.xml", Probe("a"), "", "");
    RunOptions options;
    options.arguments = {"--installpath=" + product_.TargetFolder()};
    options.wrapper = {
        "/usr/bin/setpriv", "--bounding-set=-sys_resource", "/usr/bin/prlimit", limit, "--"};
    const RunResult run = Run(options);
    EXPECT_EQ(run.exit_code, 210) << limit;
    const std::vector<std::string> messages = MessagesOf(ParseLogLines(run.err));
    EXPECT_THAT(messages, Not(Contains(HasSubstr("single instance")))) << limit;
    EXPECT_THAT(messages, Not(Contains(HasSubstr("file not signed")))) << limit;
    if (limit == "--nofile=4") {
      EXPECT_THAT(messages, Contains("E:too few descriptors to run, the run ends"));
      continue;
    }
    EXPECT_EQ(Result("result", "is_success"), "false");
    EXPECT_THAT(ReadTextFile(ReportFile()), HasSubstr("\"exit_code\": 210"));
  }
}

// A file system of its own under the log folder, in a private mount
// namespace of this test process, so nothing outside it sees the mount.
class FullDiskTest : public HardeningTest {
 protected:
  void SetUp() override {
    if (target().windows) GTEST_SKIP() << kNativeOnly;
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) GTEST_SKIP() << why;
    fs::create_directories(LogDir());
    ASSERT_EQ(mount("tmpfs", LogDir().c_str(), "tmpfs", 0, "size=64k,mode=0700"), 0);
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(LogDir().c_str(), MNT_DETACH);
  }

  // Fills the file system to the last byte.
  void Fill() {
    std::ofstream filler(LogDir() + "/filler", std::ios::binary);
    const std::string page(4096, 'x');
    while (filler.write(page.data(), static_cast<std::streamsize>(page.size()))) {
    }
    filler.clear();
    while (filler.put('x') && filler.flush()) {
    }
  }

  bool mounted_ = false;
};

TEST_F(FullDiskTest, FailedRunLeavesNoResultFileThatSaysSuccess) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 0);
  ASSERT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));

  Fill();
  product_.AddModuleFile("mod_core.xml", Probe("a"), "", "");
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 210);
  EXPECT_FALSE(fs::exists(ResultFile()));
  EXPECT_FALSE(fs::exists(ReportFile()));
  // The log file cannot grow either; every line is on standard error.
  std::vector<std::string> messages = MessagesOf(ParseLogLines(run.err));
  ASSERT_GE(messages.size(), 6u);
  const std::string prefix = "E:WritePrivateProfileStringW failed, path: " + TargetResultFile();
  EXPECT_THAT(
      std::vector<std::string>(messages.end() - 6, messages.end()),
      ElementsAre(
          prefix + ", result: false, GLE: 28",
          prefix + ", result: , GLE: 28",
          prefix + ", result: , GLE: 28",
          prefix + ", result: , GLE: 28",
          "E:result file removed, it could not be updated, path: " + TargetResultFile(),
          // The report cannot be written either, and says so.
          "E:run report cannot be written, path: " + target().Spell(ReportFile()) + ", GLE: 28"));
}

TEST_F(FullDiskTest, SuccessfulRunRemovesTheFailureAnEarlierRunLeft) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), "", "");
  ASSERT_EQ(RunProduct().exit_code, 210);
  ASSERT_EQ(Result("result", "is_success"), "false");

  Fill();
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_FALSE(fs::exists(ResultFile()));
  std::vector<std::string> messages = MessagesOf(ParseLogLines(run.err));
  ASSERT_GE(messages.size(), 3u);
  EXPECT_THAT(
      std::vector<std::string>(messages.end() - 3, messages.end()),
      ElementsAre(
          "E:WritePrivateProfileStringW failed, path: " + TargetResultFile() +
              ", result: true, GLE: 28",
          "E:result file removed, it could not be updated, path: " + TargetResultFile(),
          "E:run report cannot be written, path: " + target().Spell(ReportFile()) + ", GLE: 28"));
}

}  // namespace
}  // namespace e2e
