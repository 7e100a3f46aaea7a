// Windows semantics that only the real Win32 calls show; CI runs them under Wine.
#include "Platform/platform.h"

#include <windows.h>
// winbase.h maps the name to WriteProfileStringW; the layer's function is meant.
#undef WriteProfileString

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Signing/KeyText.h"
#include "Signing/SignatureBlock.h"
#include "Utils/FileUtils.h"
#include "Utils/PathUtils.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"
#include "tools/sign_tool.h"

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

namespace {

std::wstring Wide(const std::string& text) {
  return platform::NarrowToWide(text.data(), text.size());
}

bool BuildTrustsDevKey1() {
  signing::PublicKey dev_key{};
  return signing::ParsePublicKeyText(ReadTextFile(std::string(TAVERLY_DEV_KEY_DIR) + "/key1.pub"),
                                     &dev_key) &&
         dev_key == signing::BuiltInPublicKeys()[1];
}

TEST(PlatformWin32Test, NarrowTextIsTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "expectations are for code page 1252, not " << GetACP();
  std::string text = "C:\\Programme\\Sch\xF6n \x80";
  std::wstring wide = platform::NarrowToWide(text.data(), text.size());
  EXPECT_EQ(wide, L"C:\\Programme\\Sch\u00F6n \u20AC");
  EXPECT_EQ(platform::WideToNarrow(wide), text);
  // What is UTF-8 elsewhere is two characters here, and a character outside
  // the code page becomes the system's default character.
  std::string utf8 = "\xC3\xB6";
  EXPECT_EQ(platform::NarrowToWide(utf8.data(), utf8.size()), L"\u00C3\u00B6");
  EXPECT_EQ(platform::WideToNarrow(L"a\u4E2Db"), "a?b");
}

TEST(PlatformWin32Test, LogFolderIsCombinedByTheShell) {
  std::wstring temp = platform::TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), L'\\');
  EXPECT_EQ(platform::CombinePath(temp, L"hoxinst_log"), temp + L"hoxinst_log");
  EXPECT_EQ(platform::CombinePath(L"C:\\Users\\A\\Temp", L"hoxinst_log"),
            L"C:\\Users\\A\\Temp\\hoxinst_log");
  EXPECT_EQ(platform::CombinePath(L"", L"hoxinst_log"), L"hoxinst_log");
  // The combiner stops at the system's path limit.
  EXPECT_EQ(platform::CombinePath(L"C:\\" + std::wstring(250, L'x'), L"hoxinst_log"), L"");
}

TEST(PlatformWin32Test, FindFilesIsTheSystemsWildcardSearch) {
  TempFolder tmp;
  WriteTextFile(tmp.Join("Mod_A.Xml"), "");
  WriteTextFile(tmp.Join("mod_b.xml"), "");
  WriteTextFile(tmp.Join("mod_c.txt"), "");
  fs::create_directory(tmp.Join("mod_folder.xml"));
  std::vector<std::wstring> names;
  uint32_t error = 0;
  ASSERT_TRUE(platform::FindFiles(tmp.wpath() + L"\\mod_*.xml", &names, &error));
  // Folders match like files; the catalogue finds out when it opens them.
  EXPECT_THAT(names, UnorderedElementsAre(L"Mod_A.Xml", L"mod_b.xml", L"mod_folder.xml"));

  EXPECT_FALSE(platform::FindFiles(tmp.wpath() + L"\\none_*.xml", &names, &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(platform::FindFiles(tmp.wpath() + L"\\missing\\mod_*.xml", &names, &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
}

TEST(PlatformWin32Test, WriteProfileStringIsTheSystemsProfileWriter) {
  TempFolder tmp;
  std::wstring path = tmp.wpath() + L"\\r.dat";
  uint32_t error = 0;
  ASSERT_TRUE(platform::WriteProfileString(L"result", L"is_success", L"false", path, &error));
  ASSERT_TRUE(platform::WriteProfileString(L"error_info", L"error_code", L"GLE:2", path, &error));
  ASSERT_TRUE(platform::WriteProfileString(L"Result", L"IS_SUCCESS", L"true", path, &error));
  // Lines end in CR LF; a key found ignoring case keeps the spelling it had.
  EXPECT_EQ(ReadTextFile(tmp.Join("r.dat")),
            "[result]\r\nis_success=true\r\n[error_info]\r\nerror_code=GLE:2\r\n");

  fs::create_directory(tmp.Join("folder.dat"));
  EXPECT_FALSE(
      platform::WriteProfileString(L"s", L"k", L"v", tmp.wpath() + L"\\folder.dat", &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

TEST(PlatformWin32Test, FileHeldOpenForWritingFailsTheSignatureCheck) {
  if (!BuildTrustsDevKey1()) GTEST_SKIP() << "built with keys other than the development keys";
  TempFolder tmp;
  const std::string file = tmp.Join("signed.dll");
  WriteTextFile(file, "MZ and the rest of a library");
  std::ostringstream out, err;
  ASSERT_EQ(
      RunSignTool(
          {"sign", "--key", std::string(TAVERLY_DEV_KEY_DIR) + "/key1.key", "--index", "1", file},
          out,
          err),
      kSignToolOk)
      << err.str();
  const std::wstring path = Wide(file);
  LogCapture log;
  ASSERT_TRUE(VerifyFileSignature(path.c_str()));

  // Another reader does not get in the way; a writer does.
  HANDLE reader = CreateFileW(path.c_str(),
                              GENERIC_READ,
                              FILE_SHARE_READ,
                              nullptr,
                              OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(VerifyFileSignature(path.c_str()));
  CloseHandle(reader);

  HANDLE writer = CreateFileW(path.c_str(),
                              GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr,
                              OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(VerifyFileSignature(path.c_str()));
  CloseHandle(writer);
  EXPECT_TRUE(VerifyFileSignature(path.c_str()));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"E:file not signed,file:" + file});
}

class PlatformWin32ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = platform::GetEnvironmentValue("PATH");
    saved_cwd_ = fs::current_path();
  }
  void TearDown() override {
    platform::SetPathVariable(saved_path_);
    fs::current_path(saved_cwd_);
  }

  TempFolder tmp_;
  const std::wstring probe_ = Wide(TAVERLY_PROBE_PATH);
  std::string saved_path_;
  fs::path saved_cwd_;
};

TEST_F(PlatformWin32ProcessTest, PathTakesASemicolonAndReachesStartedPrograms) {
  ASSERT_TRUE(platform::SetPathVariable("C:\\Windows"));
  LogCapture log;
  AddFolderToProcessPath(tmp_.wpath());
  const std::string expected = "C:\\Windows;" + tmp_.path();
  EXPECT_EQ(platform::GetEnvironmentValue("PATH"), expected);
  // The runtime's assignment reaches the environment that Windows hands on.
  wchar_t buffer[1024] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"PATH", buffer, 1024), 0u);
  EXPECT_EQ(std::wstring(buffer), Wide(expected));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"I:add PATH:  PATH=" + expected + "  to Process Path",
                                      "I:set current running path:  " + tmp_.path()}));

  uint32_t exit_code = 0;
  ASSERT_TRUE(platform::StartProgram(probe_, L"--record=record.txt", true, &exit_code));
  EXPECT_EQ(exit_code, 0u);
  const std::string record = ReadTextFile(tmp_.Join("record.txt"));
  EXPECT_NE(record.find("\ncwd=" + tmp_.path() + "\npath=" + expected + "\n"), std::string::npos)
      << record;
}

TEST_F(PlatformWin32ProcessTest, ExitCodesKeepAllThirtyTwoBits) {
  uint32_t exit_code = 0;
  ASSERT_TRUE(platform::StartProgram(probe_, L"--exit=-1", true, &exit_code));
  EXPECT_EQ(exit_code, 0xFFFFFFFFu);
  ASSERT_TRUE(platform::StartProgram(probe_, L"--exit=2147483647", true, &exit_code));
  EXPECT_EQ(exit_code, 0x7FFFFFFFu);
  ASSERT_TRUE(platform::StartProgram(probe_, L"--sleep-ms=500", false, &exit_code));
  EXPECT_EQ(exit_code, platform::kStillActive);
}

TEST_F(PlatformWin32ProcessTest, NameWithBlanksIsQuotedForTheShell) {
  const std::string folder = tmp_.Join("Program Files");
  fs::create_directory(folder);
  fs::copy_file(TAVERLY_PROBE_PATH, folder + "\\probe two.exe");
  uint32_t exit_code = 0;
  ASSERT_TRUE(
      platform::StartProgram(Wide(folder + "\\probe two.exe"), L"--exit=3", true, &exit_code));
  EXPECT_EQ(exit_code, 3u);
}

TEST_F(PlatformWin32ProcessTest, LoadLibraryReportsTheLoadersError) {
  uint32_t error = 0;
  EXPECT_EQ(platform::LoadLibraryFile(tmp_.wpath() + L"\\none.dll", &error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
  WriteTextFile(tmp_.Join("junk.dll"), "not a library");
  EXPECT_EQ(platform::LoadLibraryFile(Wide(tmp_.Join("junk.dll")), &error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_BAD_EXE_FORMAT));
}

}  // namespace
