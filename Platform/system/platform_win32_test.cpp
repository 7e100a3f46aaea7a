// Windows semantics that only the real Win32 calls show; CI runs them under Wine.
#include "Platform/files/files.h"
#include "Platform/system/system.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
// winbase.h maps the name to WriteProfileStringW; the layer's function is meant.
#undef WriteProfileString

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Platform/win32_support.h"
#include "Rules/utf8.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"
#include "tests/support/dev_signing.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

namespace {

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
  if (!BuildTrustsDevKey1(TAVERLY_DEV_KEY_DIR))
    GTEST_SKIP() << "built with keys other than the development keys";
  TempFolder tmp;
  const std::string file = tmp.Join("signed.dll");
  const std::string signed_content =
      SignedWithDevKey("MZ and the rest of a library", TAVERLY_DEV_KEY_DIR, 1);
  ASSERT_FALSE(signed_content.empty());
  WriteTextFile(file, signed_content);
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
  if (!platform::IsSystemAccount()) {
    EXPECT_EQ(folder, std::wstring(cwd) + L"\\rel\\t\\");
  }
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
