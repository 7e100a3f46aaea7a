// Windows semantics that only the real Win32 calls show; CI runs them under Wine.
#include "Platform/platform.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
// winbase.h maps the name to WriteProfileStringW; the layer's function is meant.
#undef WriteProfileString

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/job_win32.h"
#include "Platform/process.h"
#include "Platform/utf8.h"
#include "Platform/win32_support.h"
#include "Signing/KeyText.h"
#include "Signing/SignatureBlock.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"
#include "tools/sign_tool.h"

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

namespace {

// Starts a program and answers its exit code, or 0xDEAD when nothing started.
uint32_t ExitCodeOf(const std::wstring& file, const std::wstring& parameters, bool wait = true) {
  platform::ProgramRequest request;
  request.file = file;
  request.parameters = parameters;
  request.wait = wait;
  const platform::ProgramResult result = platform::StartProgram(request);
  return result.started && result.has_process ? result.exit_code : 0xDEADu;
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

// Output as the log writes it, read by read.
std::string Logged(const std::string& text, platform::CharacterReader read) {
  return EscapedLogText(text, read, SIZE_MAX, nullptr);
}

TEST(PlatformWin32Test, ProgramOutputIsUtf8OrElseReadInTheConsoleCodePage) {
  if (GetOEMCP() != 437) GTEST_SKIP() << "the console code page here is " << GetOEMCP();
  // 0x81 is u with diaeresis in code page 437, which has a character for
  // every byte (FF FE: U+00A0 U+25A0); the NUL is escaped.
  const std::string oem("\x81 \0\xFF\xFE", 5);
  EXPECT_EQ(Logged(oem, platform::OutputLineReader(oem)), "\xC3\xBC \\x00\xC2\xA0\xE2\x96\xA0");
  // A line that is UTF-8 as a whole is read as UTF-8.
  EXPECT_EQ(platform::OutputLineReader("caf\xC3\xA9"), platform::Utf8SequenceAt);
  // In a code page with gaps, a byte in a gap and a lead byte without its
  // trail are escaped: 932 maps 81 40 (U+3000), not 81 20, nor A0.
  const auto shift_jis = [](const char* bytes, size_t count, char32_t* c) {
    return platform::win32::CodePageCharacterAt(932, bytes, count, c);
  };
  EXPECT_EQ(Logged("\x81\x40\x81 \xA0\x81", shift_jis), "\xE3\x80\x80\\x81 \\xA0\\x81");
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

// A reader that opens the report without FILE_SHARE_DELETE, as most do, holds
// up the rename over it: the replacement waits for it a while, then gives up
// with the system's answer and leaves no temporary file behind.
TEST(PlatformWin32Test, ReplaceFileContentWaitsForAReaderThatHoldsTheFile) {
  TempFolder tmp;
  const std::wstring path = tmp.wpath() + L"\\report.json";
  WriteTextFile(tmp.Join("report.json"), "old");
  WriteTextFile(tmp.Join("other.json"), "other");
  auto hold = [&] {
    return CreateFileW(path.c_str(),
                       GENERIC_READ,
                       FILE_SHARE_READ,
                       nullptr,
                       OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  };
  HANDLE reader = hold();
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  // The plain rename fails while the reader holds the file.
  ASSERT_FALSE(MoveFileExW(
      (tmp.wpath() + L"\\other.json").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
  std::thread release([reader] {
    Sleep(150);
    CloseHandle(reader);
  });
  uint32_t error = 0;
  EXPECT_TRUE(platform::ReplaceFileContent(path, "new", true, &error)) << error;
  release.join();
  EXPECT_EQ(ReadTextFile(tmp.Join("report.json")), "new");

  reader = hold();
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(platform::ReplaceFileContent(path, "newer", false, &error));
  CloseHandle(reader);
  EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) << error;
  EXPECT_EQ(ReadTextFile(tmp.Join("report.json")), "new");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"other.json", "report.json"}));
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

  EXPECT_EQ(ExitCodeOf(probe_, L"--record=record.txt"), 0u);
  const std::string record = ReadTextFile(tmp_.Join("record.txt"));
  EXPECT_NE(record.find("\ncwd=" + tmp_.path() + "\npath=" + expected + "\n"), std::string::npos)
      << record;
}

TEST_F(PlatformWin32ProcessTest, ExitCodesKeepAllThirtyTwoBits) {
  EXPECT_EQ(ExitCodeOf(probe_, L"--exit=-1"), 0xFFFFFFFFu);
  EXPECT_EQ(ExitCodeOf(probe_, L"--exit=2147483647"), 0x7FFFFFFFu);
  EXPECT_EQ(ExitCodeOf(probe_, L"--sleep-ms=500", false), platform::kStillActive);
}

TEST_F(PlatformWin32ProcessTest, NameWithBlanksIsQuotedForTheShell) {
  const std::string folder = tmp_.Join("Program Files");
  fs::create_directory(folder);
  fs::copy_file(TAVERLY_PROBE_PATH, folder + "\\probe two.exe");
  EXPECT_EQ(ExitCodeOf(Wide(folder + "\\probe two.exe"), L"--exit=3"), 3u);
}

// A program with a time limit is in its job before it runs: however late
// the job comes, nothing it starts is outside it.
TEST_F(PlatformWin32ProcessTest, TimedProgramIsInItsJobBeforeItRuns) {
  const std::string ticks = tmp_.Join("ticks.txt");
  platform::win32::SetBeforeJobForTesting([] { Sleep(1500); });
  platform::ProgramRequest request;
  request.file = probe_;
  request.parameters =
      Wide("--child=--tick=" + ticks + " --child=--sleep-ms=20000 --sleep-ms=20000");
  request.wait = true;
  request.timeout_ms = 1000;
  const platform::ProgramResult result = platform::StartProgram(request);
  platform::win32::SetBeforeJobForTesting(nullptr);
  EXPECT_TRUE(result.timed_out);
  EXPECT_TRUE(result.ended_all);
  EXPECT_FALSE(result.may_have_escaped);
  const size_t before = ReadTextFile(ticks).size();
  EXPECT_GT(before, 0u) << "the child never ran";
  Sleep(600);
  EXPECT_EQ(ReadTextFile(ticks).size(), before) << "the child runs on outside the job";
}

TEST_F(PlatformWin32ProcessTest, LoadLibraryReportsTheLoadersError) {
  uint32_t error = 0;
  EXPECT_EQ(platform::LoadLibraryFile(tmp_.wpath() + L"\\none.dll", &error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
  WriteTextFile(tmp_.Join("junk.dll"), "not a library");
  EXPECT_EQ(platform::LoadLibraryFile(Wide(tmp_.Join("junk.dll")), &error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_BAD_EXE_FORMAT));
}

// A program opened and judged can be neither replaced, renamed nor written
// until its start has returned: the handle shares no write or delete access.
// The start (through the shell, and captured through CreateProcessW) shares it.
TEST_F(PlatformWin32ProcessTest, OpenedProgramCannotBeSwappedBeforeItStarts) {
  const std::wstring program = tmp_.wpath() + L"\\checked.exe";
  const std::wstring other = tmp_.wpath() + L"\\other.exe";
  ASSERT_TRUE(CopyFileW(probe_.c_str(), program.c_str(), FALSE));
  for (const bool capture : {false, true}) {
    SCOPED_TRACE(capture);
    ASSERT_TRUE(CopyFileW(probe_.c_str(), other.c_str(), FALSE));
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(program));
    std::vector<bool> changed;
    platform::SetBeforeOpenedUseForTesting([&] {
      changed.push_back(MoveFileExW(other.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING));
      changed.push_back(MoveFileExW(program.c_str(), (program + L".old").c_str(), 0));
      changed.push_back(DeleteFileW(program.c_str()));
      HANDLE writer = CreateFileW(program.c_str(),
                                  GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr,
                                  OPEN_EXISTING,
                                  0,
                                  nullptr);
      changed.push_back(writer != INVALID_HANDLE_VALUE);
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    });
    platform::ProgramRequest request;
    request.file = program;
    request.parameters = L"--exit=7";
    request.wait = true;
    request.capture_output = capture;
    request.opened = &file;
    const platform::ProgramResult result = platform::StartProgram(request);
    platform::SetBeforeOpenedUseForTesting(nullptr);
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exit_code, 7u);
    EXPECT_EQ(changed, std::vector<bool>(4, false));
  }
  platform::ReadOnlyFile device;
  EXPECT_FALSE(device.Open(tmp_.wpath() + L"\\NUL"));
}

TEST_F(PlatformWin32ProcessTest, StartErrorsAreReportedAndPredicted) {
  WriteTextFile(tmp_.Join("plain"), "no type, no open action");
  platform::ProgramRequest request;
  request.file = Wide(tmp_.Join("plain"));
  request.wait = true;
  const platform::ProgramResult result = platform::StartProgram(request);
  EXPECT_FALSE(result.started);
  EXPECT_NE(result.start_error, 0u);
  uint32_t error = 0;
  EXPECT_FALSE(platform::CanStartProgram(request.file, &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_NO_ASSOCIATION));
  EXPECT_FALSE(platform::CanStartProgram(tmp_.wpath() + L"\\missing.exe", &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(platform::CanStartProgram(probe_, &error));
  EXPECT_EQ(error, 0u);
}

TEST(PlatformWin32Test, TextFilesAreReadInTextMode) {
  TempFolder tmp;
  WriteTextFile(tmp.Join("mod_a.xml"), std::string("<root>\r\n<module/>\r</root>\r\n\x1A after"));
  std::string content;
  ASSERT_TRUE(platform::ReadFileText(Wide(tmp.Join("mod_a.xml")), &content));
  // CR LF reads as LF, a lone CR stays, Ctrl-Z ends the text.
  EXPECT_EQ(content, "<root>\n<module/>\r</root>\n");
  // Another process writing the file does not keep the reader out.
  HANDLE writer = CreateFileW(Wide(tmp.Join("mod_a.xml")).c_str(),
                              GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr,
                              OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(platform::ReadFileText(Wide(tmp.Join("mod_a.xml")), &content));
  CloseHandle(writer);
}

TEST(PlatformWin32Test, RelativeTempFolderIsMadeWhole) {
  wchar_t saved[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", L"rel\\t");
  const std::wstring folder = platform::TempFolder();
  SetEnvironmentVariableW(L"TMP", length > 0 ? saved : nullptr);
  wchar_t cwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  // SYSTEM's newer call names its own folder whatever TMP says.
  if (!platform::IsSystemAccount()) EXPECT_EQ(folder, std::wstring(cwd) + L"\\rel\\t\\");
}

TEST(PlatformWin32Test, TempFolderFallsBackWhenTheNewerCallIsMissing) {
  wchar_t buffer[MAX_PATH] = {};
  ASSERT_GT(GetTempPathW(MAX_PATH, buffer), 0u);
  EXPECT_EQ(platform::win32::TempFolderFrom(nullptr), std::wstring(buffer));
  // For an account other than SYSTEM both calls name the same folder.
  if (platform::win32::FindGetTempPath2() != nullptr && !platform::IsSystemAccount()) {
    EXPECT_EQ(platform::TempFolder(), std::wstring(buffer));
  }
}

}  // namespace
