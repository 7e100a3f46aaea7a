// The record a stop for a restart leaves: whose it is, what it takes to be
// used, and the machine's key its digests are keyed with.
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include <gmock/gmock.h>

#include "tests/e2e/restart_fixture.h"

namespace fs = std::filesystem;
using ::testing::Contains;

namespace e2e {
namespace {

TEST_F(RestartRecordTest, DamagedRecordsAreNoRecord) {
  // Torn, a folder, open to others, a link: each said in one line, and the
  // run starts from the beginning. Under Wine a 0666 file shows as one whose
  // access list lets Everyone write, and a link as the file it leads to.
  struct Damage {
    const char* reason;
    std::function<void(const std::string&)> make;
  };
  const std::vector<Damage> damages = {
      {"it is torn", [](const std::string& r) { fs::resize_file(r, fs::file_size(r) - 4); }},
      {"it is no regular file",
       [](const std::string& r) {
         fs::remove(r);
         fs::create_directory(r);
       }},
      {"another account owns it or may write it",
       [](const std::string& r) { fs::permissions(r, fs::perms(0666)); }},
      {"it is a link",
       [&](const std::string& r) {
         fs::copy_file(r, product_.Path("copy.dat"), fs::copy_options::overwrite_existing);
         fs::remove(r);
         fs::create_symlink(product_.Path("copy.dat"), r);
       }},
  };
  for (const Damage& damage : damages) {
    fs::remove_all(Record());
    Module("");
    EXPECT_EQ(RunAgain().exit_code, 211);
    const std::string record = Record();
    damage.make(record);
    fs::remove(product_.Path("calls.txt"));
    EXPECT_EQ(RunAgain().exit_code, 211) << damage.reason;
    EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b"})) << damage.reason;
    EXPECT_THAT(Messages(), Contains(NotUsed(damage.reason, record)));
  }
}

TEST_F(RestartRecordTest, AnotherInstallationPathLeavesTheRecordToItsRun) {
  Module("");
  EXPECT_EQ(RunAgain().exit_code, 211);
  const std::string record = Record();
  Product other(tmp_.Join("other"));
  other.AddProbe(probe_);
  other.SetInstalledModules({"core"});
  other.AddModuleFile("mod_core.xml", Probe("x"), Probe("y"), Probe("z"));
  EXPECT_EQ(RunAgain(other.folder()).exit_code, 0);
  // The other product has a record of its own, and the result file still
  // tells of a stop (the first product's).
  const std::string missing = NotUsed("it is missing", LogDir() + "/TaverlyResumeInfo.");
  const std::vector<std::string> messages = Messages();
  EXPECT_EQ(std::count_if(messages.begin(),
                          messages.end(),
                          [&](const std::string& line) {
                            return line.rfind(missing, 0) == 0 &&
                                   line != NotUsed("it is missing", record);
                          }),
            1);
  EXPECT_TRUE(fs::exists(Record()));
  fs::remove(product_.Path("calls.txt"));
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"c"}));
}

// The product is its folder, however the installation path spells it.
TEST_F(RestartRecordTest, SameFolderSpelledOtherwiseTakesItsRecord) {
  Module("");
  EXPECT_EQ(RunAgain().exit_code, 211);
  std::string spelled = product_.TargetFolder() + target().separator;
  if (target().windows) {
    std::transform(spelled.begin(), spelled.end(), spelled.begin(), [](unsigned char c) {
      return static_cast<char>(std::toupper(c));
    });
  }
  for (const std::string& name : LogFileNames()) fs::remove(LogDir() + "/" + name);
  RunOptions options;
  options.arguments = {"--installpath=" + spelled};
  EXPECT_EQ(Run(options).exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(Records().empty());
  // Used up: an ordinary run after it starts from the beginning.
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c", "a", "b"}));
}

TEST_F(RestartRecordTest, ProductsSharingTheLogFolderKeepTheirOwnRecords) {
  Module("");
  EXPECT_EQ(RunAgain().exit_code, 211);
  Product other(tmp_.Join("other"));
  other.AddProbe(probe_);
  other.SetInstalledModules({"core"});
  other.AddModuleFile("mod_core.xml",
                      Probe("x"),
                      Tagged("y", "--exit=3", {{"reboot_now_exitcode", "3"}}),
                      Probe("z"));
  EXPECT_EQ(RunAgain(other.folder()).exit_code, 211);
  EXPECT_EQ(Records().size(), 2u);
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(RunAgain(other.folder()).exit_code, 0);
  EXPECT_EQ(ReadCalls(other.Path("calls.txt")), (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_TRUE(Records().empty());
}

// The machine's key: natively on a file system of this test's own over
// /var/lib, in a private mount namespace of the test process, so that each
// test starts without one and no other run meets what it does to it; under
// Wine in the build's prefix, removed before each test.
class RestartKeyTest : public RestartRecordTest {
 protected:
  void SetUp() override {
    // Each test starts without the machine's key, as a fresh /var/lib gives
    // it natively: the Wine prefix keeps what the test before left.
    if (target().windows) {
      fs::remove_all(fs::path(Key()).parent_path());
      return;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "needs a private mount namespace (root, and / a mount point): "
                   << std::strerror(errno);
    }
    ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "size=64k,mode=0755"), 0) << errno;
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2("/var/lib", MNT_DETACH);
  }
  std::string Key() const {
    return target().windows
               ? target().env.at("WINEPREFIX") + "/drive_c/ProgramData/Taverly/machine.key"
               : "/var/lib/taverly/machine.key";
  }
  bool mounted_ = false;
};

TEST_F(RestartKeyTest, RecordWithoutItsKeyIsUsedUpAndRunsAgain) {
  // What an earlier version left: no run can use it, the first removes it.
  const std::string earlier = LogDir() + "/TaverlyResumeInfo.dat";
  fs::create_directories(LogDir());
  WriteTextFile(earlier, "taverly-resume/1\ninstall_path=" + product_.TargetFolder() + "\nend\n");
  Module("");
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_THAT(Messages(), Contains(NotUsed("it was made by an earlier version", earlier)));
  EXPECT_FALSE(fs::exists(earlier));
  // The stop made the key, where only the system's account may read it.
  EXPECT_EQ(ReadTextFile(Key()).size(), 32u);
  if (!target().windows) {
    EXPECT_EQ(fs::status(Key()).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(fs::path(Key()).parent_path()).permissions(), fs::perms(0700));
  }

  struct Damage {
    std::string key_line;  // why the key cannot be used, if it cannot
    const char* why;
    std::function<void()> make;
  };
  const std::vector<Damage> damages = {
      {"it is missing", "its key cannot be used", [&] { fs::remove(Key()); }},
      {"", "it was made with another key", [&] { WriteTextFile(Key(), std::string(32, 'x')); }},
      // Last: the stop after it cannot write a record either.
      {"another account owns it or may read or write it",
       "its key cannot be used",
       [&] { fs::permissions(Key(), fs::perms(0644)); }},
  };
  for (const Damage& damage : damages) {
    fs::remove_all(Record());
    Module("");
    EXPECT_EQ(RunAgain().exit_code, 211);
    const std::string record = Record();
    damage.make();
    fs::remove(product_.Path("calls.txt"));
    EXPECT_EQ(RunAgain().exit_code, 211) << damage.why;
    EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b"})) << damage.why;
    if (!damage.key_line.empty()) {
      EXPECT_THAT(Messages(),
                  Contains("E:restart record key cannot be used, " + damage.key_line +
                           ", path: " + Target(Key())));
    }
    EXPECT_THAT(Messages(), Contains(NotUsed(damage.why, record)));
  }
  EXPECT_TRUE(Records().empty());
}

// Whoever may change the key's folder may remove or replace the key: the
// key is then neither used nor made there. Under Wine mode 0777 is an
// access list that lets Everyone write.
TEST_F(RestartKeyTest, KeyInAFolderOthersMayChangeIsNeitherUsedNorMade) {
  Module("");
  EXPECT_EQ(RunAgain().exit_code, 211);
  const std::string record = Record(), folder = fs::path(Key()).parent_path().string();
  fs::permissions(folder, fs::perms(0777));
  const std::string line =
      "E:restart record key cannot be used, its folder is a link, or another account owns it "
      "or may write it, path: " +
      Target(Key());
  fs::remove(product_.Path("calls.txt"));
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b"}));
  EXPECT_THAT(Messages(), Contains(line));
  EXPECT_THAT(Messages(), Contains(NotUsed("its key cannot be used", record)));
  EXPECT_TRUE(Records().empty());
  fs::remove(Key());
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_THAT(Messages(), Contains(line));
  EXPECT_FALSE(fs::exists(Key()));
  EXPECT_TRUE(Records().empty());
  fs::permissions(folder, fs::perms(0700));
}

}  // namespace
}  // namespace e2e
