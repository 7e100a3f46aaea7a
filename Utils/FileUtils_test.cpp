#include "Utils/FileUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/system/system.h"
#include "Signing/KeyText.h"
#include "Signing/SignatureBlock.h"
#include "Utils/SignatureVerdicts.h"
#include "tests/support/builders.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Signs content with a development secret key, as the build signs the program.
std::string SignWithDevKey(const std::string& content, uint32_t index) {
  signing::SecretKey secret{};
  const std::string key_file =
      ReadTextFile(std::string(TAVERLY_DEV_KEY_DIR) + "/key" + std::to_string(index) + ".key");
  EXPECT_TRUE(signing::ParseSecretKeyText(key_file, &secret));
  signing::SignatureBlock block;
  block.key_index = index;
  block.content_length = content.size();
  const auto read = [&content](uint64_t offset, void* buffer, size_t count) {
    content.copy(static_cast<char*>(buffer), count, static_cast<size_t>(offset));
    return true;
  };
  EXPECT_TRUE(signing::DigestContent(content.size(), read, &block.digest));
  EXPECT_TRUE(signing::SignBlock(secret, &block));
  const signing::BlockBytes bytes = signing::EncodeBlock(block);
  return content + std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool BuildTrustsDevKey1() {
  signing::PublicKey dev_key{};
  return signing::ParsePublicKeyText(ReadTextFile(std::string(TAVERLY_DEV_KEY_DIR) + "/key1.pub"),
                                     &dev_key) &&
         dev_key == signing::BuiltInPublicKeys()[1];
}

class VerifyFileSignatureTest : public ::testing::Test {
 protected:
  // Writes bytes to a file in the test folder and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = folder_.Join(name);
    WriteTextFile(path, bytes);
    return path;
  }

  std::vector<std::string> RefusalLine(const std::string& path) {
    return {"E:file not signed,file:" + path};
  }

  TempFolder folder_;
  LogCapture log_;
};

const char kProgram[] =
    "\x7f"
    "ELF and the rest of a program";

TEST_F(VerifyFileSignatureTest, NullOrEmptyPathIsRefusedSilently) {
  EXPECT_FALSE(VerifyFileSignature(nullptr));
  EXPECT_FALSE(VerifyFileSignature(L""));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(VerifyFileSignatureTest, OnlyKey1PassesAndEverythingElseIsLogged) {
  if (!BuildTrustsDevKey1()) GTEST_SKIP() << "built with keys other than the development keys";
  const std::string with_key1 = Write("key1.bin", SignWithDevKey(kProgram, 1));
  EXPECT_TRUE(VerifyFileSignature(Wide(with_key1).c_str()));
  EXPECT_TRUE(log_.lines().empty());

  std::string changed_bytes = SignWithDevKey(kProgram, 1);
  changed_bytes[3] ^= 0x01;
  const std::string changed = Write("changed.bin", changed_bytes);
  EXPECT_FALSE(VerifyFileSignature(Wide(changed).c_str()));
  EXPECT_EQ(log_.lines(), RefusalLine(changed));
}

TEST_F(VerifyFileSignatureTest, Key0IsRefusedLikeNoSignature) {
  if (!BuildTrustsDevKey1()) GTEST_SKIP() << "built with keys other than the development keys";
  const std::string with_key0 = Write("key0.bin", SignWithDevKey(kProgram, 0));
  EXPECT_FALSE(VerifyFileSignature(Wide(with_key0).c_str()));
  EXPECT_EQ(log_.lines(), RefusalLine(with_key0));
}

TEST_F(VerifyFileSignatureTest, UnsignedMissingAndUnreadableFilesAreLogged) {
  const std::vector<std::string> paths = {Write("plain.bin", kProgram),
                                          Write("empty.bin", ""),
                                          folder_.Join("missing.bin"),
                                          folder_.path()};
  std::vector<std::string> expected;
  for (const std::string& path : paths) {
    EXPECT_FALSE(VerifyFileSignature(Wide(path).c_str())) << path;
    expected.push_back(RefusalLine(path)[0]);
  }
  EXPECT_EQ(log_.lines(), expected);
  for (const std::string& file : log_.files()) EXPECT_EQ(file.substr(0, 14), "FileUtils.cpp:");
}

TEST_F(VerifyFileSignatureTest, VerdictIsReadWithoutALogLine) {
  if (!BuildTrustsDevKey1()) GTEST_SKIP() << "built with keys other than the development keys";
  std::string changed_bytes = SignWithDevKey(kProgram, 1);
  changed_bytes[3] ^= 0x01;
  const struct {
    std::string path;
    signing::Verdict verdict;
  } cases[] = {
      {Write("plain.bin", kProgram), signing::kNotSigned},
      {folder_.Join("missing.bin"), signing::kNotSigned},
      {Write("changed.bin", changed_bytes), signing::kContentChanged},
      {Write("key0.bin", SignWithDevKey(kProgram, 0)), signing::kValidKey0},
      {Write("key1.bin", SignWithDevKey(kProgram, 1)), signing::kValidKey1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.verdict, ReadSignatureVerdict(Wide(c.path).c_str()));
    // The verdict and VerifyFileSignature's answer agree.
    EXPECT_EQ(IsAcceptedVerdict(c.verdict), c.verdict == signing::kValidKey1);
  }
  EXPECT_EQ(signing::kNotSigned, ReadSignatureVerdict(nullptr));
  EXPECT_TRUE(log_.lines().empty());
}

// --- ShellOpenFile ---------------------------------------------------------

class ShellOpenFileTest : public ::testing::Test {
 protected:
  // A copy of the probe whose full path has exactly length characters.
  std::string ProbeAtPathLength(size_t length) {
    std::string path = folder_.path();
    while (path.size() + 1 < length) {
      const size_t room = length - path.size() - 1;
      // Keep each name well inside the file system's limit on one component.
      const size_t name = room > 200 ? 100 : room;
      path += "/" + std::string(name, 'p');
      if (path.size() < length) fs::create_directory(path);
    }
    fs::remove(path);
    fs::copy_file(TAVERLY_PROBE_PATH, path);
    EXPECT_EQ(path.size(), length);
    return path;
  }

  std::string Record() { return ReadTextFile(record_); }

  TempFolder folder_;
  const std::string record_ = folder_.Join("record.txt");
  const std::wstring probe_ = Wide(TAVERLY_PROBE_PATH);
};

TEST_F(ShellOpenFileTest, WaitsAndReportsTheExitCode) {
  uint32_t exit_code = 0xFFFFFFFF;
  EXPECT_TRUE(ShellOpenFile(probe_.c_str(), L"--exit=7", true, &exit_code));
  EXPECT_EQ(exit_code, 7u);
  EXPECT_TRUE(ShellOpenFile(probe_.c_str(), L"--sleep-ms=200 --exit=0", true, &exit_code));
  EXPECT_EQ(exit_code, 0u);
}

TEST_F(ShellOpenFileTest, PassesSplitArgumentsAndTheEnvironment) {
  const std::string parameters =
      "\"--record=" + record_ + "\" \"two words\" a\\\"b \"\" plain --exit=3";
  uint32_t exit_code = 0xFFFFFFFF;
  ASSERT_TRUE(ShellOpenFile(probe_.c_str(), Wide(parameters).c_str(), true, &exit_code));
  EXPECT_EQ(exit_code, 3u);
  const char* path = std::getenv("PATH");
  EXPECT_EQ(Record(),
            "[run]\n"
            "arg=--record=" +
                record_ +
                "\n"
                "arg=two words\n"
                "arg=a\"b\n"
                "arg=\n"
                "arg=plain\n"
                "arg=--exit=3\n"
                "cwd=" +
                fs::current_path().u8string() +
                "\n"
                "path=" +
                (path != nullptr ? path : "") +
                "\n"
                "[end]\n");
}

TEST_F(ShellOpenFileTest, WithoutWaitReportsStillRunning) {
  const std::string parameters = "\"--record=" + record_ + "\" --sleep-ms=1000 --exit=4";
  uint32_t exit_code = 0xFFFFFFFF;
  ASSERT_TRUE(ShellOpenFile(probe_.c_str(), Wide(parameters).c_str(), false, &exit_code));
  EXPECT_EQ(exit_code, 259u);
  // The program did start: its record appears while it sleeps.
  for (int i = 0; i < 100 && Record().find("[end]\n") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(Record().find("arg=--sleep-ms=1000\n"), std::string::npos);
}

TEST_F(ShellOpenFileTest, NullParametersAndExitCodePointerAreAllowed) {
  EXPECT_TRUE(ShellOpenFile(probe_.c_str(), nullptr, true, nullptr));
  EXPECT_TRUE(ShellOpenFile(probe_.c_str(), L"--exit=5", true, nullptr));
  uint32_t exit_code = 0xFFFFFFFF;
  EXPECT_TRUE(ShellOpenFile(probe_.c_str(), nullptr, true, &exit_code));
  EXPECT_EQ(exit_code, 0u);
}

TEST_F(ShellOpenFileTest, RefusesMissingEmptyAndOverlongPaths) {
  uint32_t exit_code = 0xFFFFFFFF;
  EXPECT_FALSE(ShellOpenFile(nullptr, L"--exit=1", true, &exit_code));
  EXPECT_FALSE(ShellOpenFile(L"", L"--exit=1", true, &exit_code));
  EXPECT_FALSE(ShellOpenFile(Wide(folder_.Join("missing")).c_str(), L"", true, &exit_code));
  EXPECT_EQ(exit_code, 0xFFFFFFFFu);

  const std::string longest = ProbeAtPathLength(platform_facts::kLongestStartablePath);
  EXPECT_TRUE(ShellOpenFile(Wide(longest).c_str(), L"--exit=9", true, &exit_code));
  EXPECT_EQ(exit_code, 9u);
  exit_code = 0xFFFFFFFF;
  const std::string too_long = ProbeAtPathLength(261);
  EXPECT_FALSE(ShellOpenFile(Wide(too_long).c_str(), L"--exit=9", true, &exit_code));
  EXPECT_EQ(exit_code, 0xFFFFFFFFu);
}

TEST_F(ShellOpenFileTest, CheckNamesTheRefusalWithoutStartingAnything) {
  EXPECT_EQ(ShellOpenRefusal::kNoFile, CheckShellOpenFile(nullptr));
  EXPECT_EQ(ShellOpenRefusal::kNoFile, CheckShellOpenFile(L""));
  EXPECT_EQ(ShellOpenRefusal::kMissing, CheckShellOpenFile(Wide(folder_.Join("missing")).c_str()));
  EXPECT_EQ(ShellOpenRefusal::kNone, CheckShellOpenFile(Wide(ProbeAtPathLength(260)).c_str()));
  // Too long wins over missing, as ShellOpenFile tests the length first.
  EXPECT_EQ(ShellOpenRefusal::kPathTooLong, CheckShellOpenFile(std::wstring(300, L'p').c_str()));
  EXPECT_EQ(ShellOpenRefusal::kPathTooLong,
            CheckShellOpenFile(Wide(ProbeAtPathLength(261)).c_str()));
}

}  // namespace
