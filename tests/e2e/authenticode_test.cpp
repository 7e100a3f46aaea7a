// Signs the Windows program and security base as a release signs them: own
// signature first, then Authenticode with a throwaway code-signing
// certificate. Checks that both signatures hold and the program runs on them.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;

namespace e2e {
namespace {

bool HaveProgram(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

class AuthenticodeTest : public TaverlyTest {
 protected:
  void SetUp() override {
    if (!target().windows) GTEST_SKIP() << "Authenticode signs PE images: the Wine suite runs this";
    if (!HaveProgram("osslsigncode") || !HaveProgram("openssl")) {
      GTEST_SKIP() << "needs osslsigncode and openssl (scripts/install-deps --windows)";
    }
    ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=Taverly-test"
                    " -addext extendedKeyUsage=codeSigning -keyout " +
                    key_ + " -out " + certificate_),
              0)
        << Output();
  }

  // Runs a command line with its output kept for Output(); returns its exit status.
  int Shell(const std::string& command) {
    const int status = std::system((command + " >" + output_ + " 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Output() const { return ReadTextFile(output_); }

  void Authenticode(const std::string& in, const std::string& out, const std::string& extra = "") {
    ASSERT_EQ(Shell("osslsigncode sign -certs " + certificate_ + " -key " + key_ + " " + extra +
                    " -in " + in + " -out " + out),
              0)
        << Output();
  }

  void ExpectAuthenticodeHolds(const std::string& path) {
    EXPECT_EQ(Shell("osslsigncode verify -CAfile " + certificate_ + " -in " + path), 0) << Output();
    EXPECT_THAT(Output(), ::testing::HasSubstr("\nSucceeded\n"));
  }

  std::string Verdict(const std::string& path) {
    EXPECT_EQ(Shell(SignTool() + " verify " + path), 0) << Output();
    return Output();
  }

  // Signs a copy of the example security base, own signature first.
  std::string SignedSecurityBase() {
    const std::string own = tmp_.Join("own.dll");
    fs::copy_file(target().security_base, own);
    EXPECT_EQ(Shell(SignTool() + " sign --key " + DevKey(1) + " --index 1 " + own), 0) << Output();
    const std::string both = tmp_.Join("both.dll");
    Authenticode(own, both);
    return both;
  }

  const std::string key_ = tmp_.Join("code-signing.key");
  const std::string certificate_ = tmp_.Join("code-signing.pem");
  const std::string output_ = tmp_.Join("command-output.txt");
};

TEST_F(AuthenticodeTest, SignedProgramRunsAProductAndStartsItsSignedSecurityBase) {
  const std::string program = tmp_.Join("Taverly.exe");
  Authenticode(TaverlyBinary(), program);  // the build signed it already
  const std::string security_base = SignedSecurityBase();
  for (const std::string& path : {program, security_base}) {
    ExpectAuthenticodeHolds(path);
    EXPECT_EQ(Verdict(path), "3\n") << path;
  }

  product_.AddFile(target().security_base_name, security_base);
  const std::string probe = target().Program("bin/probe");
  product_.AddProbe(probe);
  product_.SetInstalledModules({"core"});
  const std::string record =
      "--record=%productpath%" + std::string(1, target().separator) + "calls.txt";
  const std::string item = Item({{"type", "Exe"},
                                 {"file", target().Relative(probe)},
                                 {"param", record},
                                 {"wait_for_exit", "1"},
                                 {"exitcode", "0"}});
  product_.AddModuleFile("mod_core.xml", item, item, item);
  RunOptions options;
  options.program = program;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  EXPECT_EQ(Run(options).exit_code, 0);
  EXPECT_EQ(ReadTextFile(product_.Path("brindle_started.txt")), "started 1\n");
  EXPECT_EQ(ReadProbeRecords(product_.Path("calls.txt")).size(), 3u);
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
}

TEST_F(AuthenticodeTest, SignedProgramWithOneByteChangedIsRefused) {
  const std::string program = tmp_.Join("changed.exe");
  Authenticode(TaverlyBinary(), program);
  std::fstream file(program, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(target().ignored_byte_offset);  // the text of the DOS stub
  file.put('\x5A');
  file.close();
  EXPECT_EQ(Verdict(program), "1\n");

  RunOptions options;
  options.program = program;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  EXPECT_EQ(Run(options).exit_code, 201);
  EXPECT_THAT(Messages(),
              ElementsAre("I:commindline --installpath= : " + product_.TargetFolder(),
                          "E:file not signed,file:" + target().Spell(program),
                          "I:Current exe is not signed, just exit..."));
  EXPECT_FALSE(fs::exists(ResultFile()));
}

TEST_F(AuthenticodeTest, NestedReplacedAndRemovedSignaturesLeaveTheVerdict) {
  const std::string signed_once = SignedSecurityBase();
  const std::string nested = tmp_.Join("nested.dll");
  Authenticode(signed_once, nested, "-nest -h sha384");
  const std::string replaced = tmp_.Join("replaced.dll");
  Authenticode(nested, replaced, "-h sha1");
  for (const std::string& path : {nested, replaced}) {
    ExpectAuthenticodeHolds(path);
    EXPECT_EQ(Verdict(path), "3\n") << path;
  }
  EXPECT_GT(fs::file_size(nested), fs::file_size(signed_once));

  const std::string removed = tmp_.Join("removed.dll");
  ASSERT_EQ(Shell("osslsigncode remove-signature -in " + replaced + " -out " + removed), 0)
      << Output();
  EXPECT_EQ(Verdict(removed), "3\n");

  // Own-signing comes first; after a removal it may come again.
  EXPECT_EQ(Shell(SignTool() + " sign --key " + DevKey(1) + " --index 1 " + replaced), 1);
  EXPECT_EQ(Output(),
            "taverly-sign: '" + replaced +
                "' carries an Authenticode signature: sign with taverly-sign before "
                "Authenticode, or remove the Authenticode signature first\n");
  EXPECT_EQ(Shell(SignTool() + " sign --key " + DevKey(1) + " --index 1 " + removed), 0);
  EXPECT_EQ(Verdict(removed), "3\n");
}

}  // namespace
}  // namespace e2e
