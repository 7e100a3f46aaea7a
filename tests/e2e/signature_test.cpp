// The program refuses to run from an executable that is not signed with key 1.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;

namespace e2e {
namespace {

constexpr size_t kSignatureBlockSize = 160;

class SignatureTest : public TaverlyTest {
 protected:
  std::string CopyOfTaverly(const std::string& name) {
    std::string copy = tmp_.Join(target().Program(name));
    fs::copy_file(TaverlyBinary(), copy);
    return copy;
  }

  void ExpectRefused(const std::string& program) {
    RunOptions options;
    options.program = program;
    options.arguments = {"--installpath=" + product_.TargetFolder()};
    RunResult run = Run(options);
    EXPECT_EQ(run.exit_code, 201);
    EXPECT_THAT(Messages(),
                ElementsAre("I:commindline --installpath= : " + product_.TargetFolder(),
                            "E:file not signed,file:" + target().Spell(program),
                            "I:Current exe is not signed, just exit..."));
    EXPECT_FALSE(fs::exists(ResultFile()));
  }
};

TEST_F(SignatureTest, CopyWithOneByteChangedIsRefused) {
  std::string copy = CopyOfTaverly("changed");
  std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
  // ELF identification padding, or the text of the DOS stub: no loader reads it.
  file.seekp(target().ignored_byte_offset);
  file.put('\x5A');
  file.close();
  ExpectRefused(copy);
}

TEST_F(SignatureTest, UnsignedCopyIsRefused) {
  std::string copy = CopyOfTaverly("unsigned");
  fs::resize_file(copy, fs::file_size(copy) - kSignatureBlockSize);
  ExpectRefused(copy);
}

TEST_F(SignatureTest, CopySignedWithKeyZeroIsRefused) {
  std::string copy = CopyOfTaverly("key0");
  std::string command =
      SignTool() + " sign --key " + DevKey(0) + " --index 0 " + copy + " >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ExpectRefused(copy);
}

TEST_F(SignatureTest, BuiltProgramIsSignedWithKeyOne) {
  std::string command = SignTool() + " verify " + TaverlyBinary() + " > " + tmp_.Join("verdict");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadTextFile(tmp_.Join("verdict")), "3\n");
}

}  // namespace
}  // namespace e2e
