// Behaviour of the platform layer that both sides share.
#include "Platform/files/files.h"
#include "Platform/system/system.h"

#include <gtest/gtest.h>

#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(PlatformTextTest, EmptyTextStaysEmpty) {
  EXPECT_EQ(platform::NarrowToWide("", 0), L"");
  EXPECT_EQ(platform::WideToNarrow(L""), "");
  EXPECT_EQ(platform::WideToUtf8(L""), "");
}

TEST(PlatformTextTest, WideToUtf8IsUtf8WhateverTheNarrowCodePage) {
  EXPECT_EQ(platform::WideToUtf8(L"Sch\u00F6n \u20AC \u4E2D"),
            "Sch\xC3\xB6n \xE2\x82\xAC \xE4\xB8\xAD");
}

TEST(PlatformFileTest, FindFilesMatchesPatternAndReportsNoMatch) {
  TempFolder tmp;
  WriteTextFile(tmp.Join("mod_b.xml"), "");
  WriteTextFile(tmp.Join("MOD_A.XML"), "");
  WriteTextFile(tmp.Join("mod_c.txt"), "");
  WriteTextFile(tmp.Join("other.xml"), "");
  std::vector<std::wstring> names;
  uint32_t error = 0;
  ASSERT_TRUE(
      platform::FindFiles(tmp.wpath() + platform::kPathSeparator + L"mod_*.xml", &names, &error));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"MOD_A.XML", L"mod_b.xml"}));

  EXPECT_FALSE(
      platform::FindFiles(tmp.wpath() + platform::kPathSeparator + L"none_*.xml", &names, &error));
  EXPECT_EQ(error, platform::kErrorFileNotFound);
}

TEST(PlatformFileTest, PathExistsForFilesAndFoldersOnly) {
  TempFolder tmp;
  WriteTextFile(tmp.Join("f"), "x");
  EXPECT_TRUE(platform::PathExists(tmp.wpath()));
  EXPECT_TRUE(platform::PathExists(tmp.wpath() + platform::kPathSeparator + L"f"));
  EXPECT_FALSE(platform::PathExists(tmp.wpath() + platform::kPathSeparator + L"g"));
  EXPECT_FALSE(platform::PathExists(L""));
}

TEST(PlatformFileTest, ReadOnlyFileReadsExactRanges) {
  TempFolder tmp;
  WriteTextFile(tmp.Join("f"), "0123456789");
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(tmp.wpath() + platform::kPathSeparator + L"f"));
  uint64_t size = 0;
  ASSERT_TRUE(file.Size(&size));
  EXPECT_EQ(size, 10u);
  char buffer[4] = {};
  ASSERT_TRUE(file.ReadAt(6, buffer, 4));
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_FALSE(file.ReadAt(7, buffer, 4));

  platform::ReadOnlyFile folder;
  EXPECT_FALSE(folder.Open(tmp.wpath()));
}

TEST(PlatformFileTest, WriteProfileStringFailsWithTheSystemError) {
  TempFolder tmp;
  uint32_t error = 0;
  std::wstring path =
      tmp.wpath() + platform::kPathSeparator + L"missing" + platform::kPathSeparator + L"r.dat";
  EXPECT_FALSE(platform::WriteProfileString(L"s", L"k", L"v", path, &error));
  EXPECT_EQ(error, platform_facts::kMissingFolderError);
}

TEST(PlatformFileTest, ReadFileTextReadsRegularFilesOnly) {
  TempFolder tmp;
  WriteTextFile(tmp.Join("f"), "<root>\n\t<module/>\n</root>\n");
  std::string content = "stale";
  EXPECT_TRUE(platform::ReadFileText(tmp.wpath() + platform::kPathSeparator + L"f", &content));
  EXPECT_EQ(content, "<root>\n\t<module/>\n</root>\n");
  for (const std::wstring& path : {tmp.wpath(), tmp.wpath() + platform::kPathSeparator + L"g"}) {
    content = "stale";
    EXPECT_FALSE(platform::ReadFileText(path, &content));
    EXPECT_EQ(content, "");
  }
}

TEST(PlatformFileTest, RemoveProfileFileLeavesFoldersAndMissingFilesAlone) {
  TempFolder tmp;
  const std::wstring file = tmp.wpath() + platform::kPathSeparator + L"r.dat";
  uint32_t error = 0;
  ASSERT_TRUE(platform::WriteProfileString(L"result", L"is_success", L"true", file, &error));
  EXPECT_EQ(platform::RemoveProfileFile(file, &error), platform::RemoveOutcome::kRemoved);
  EXPECT_FALSE(platform::PathExists(file));
  EXPECT_EQ(platform::RemoveProfileFile(file, &error), platform::RemoveOutcome::kNothing);
  const std::wstring folder = tmp.wpath() + platform::kPathSeparator + L"folder.dat";
  ASSERT_TRUE(platform::PrepareLogFolder(folder));
  EXPECT_EQ(platform::RemoveProfileFile(folder, &error), platform::RemoveOutcome::kNothing);
  EXPECT_TRUE(platform::PathExists(folder));
  const std::wstring deeper =
      tmp.wpath() + platform::kPathSeparator + L"missing" + platform::kPathSeparator + L"r.dat";
  EXPECT_EQ(platform::RemoveProfileFile(deeper, &error), platform::RemoveOutcome::kNothing);
}

TEST(PlatformFileTest, DeleteProfileKeyTouchesOnlyAFileThatHasTheKey) {
  TempFolder tmp;
  const std::wstring file = tmp.wpath() + platform::kPathSeparator + L"r.dat";
  uint32_t error = 0;
  // No file: nothing is made.
  EXPECT_TRUE(platform::DeleteProfileKey(L"result", L"reboot_required", file, &error));
  EXPECT_FALSE(platform::PathExists(file));
  ASSERT_TRUE(platform::WriteProfileString(L"result", L"is_success", L"true", file, &error));
  ASSERT_TRUE(platform::WriteProfileString(L"result", L"reboot_required", L"true", file, &error));
  const std::string line_break =
      ReadTextFile(tmp.Join("r.dat")).find("\r\n") != std::string::npos ? "\r\n" : "\n";
  EXPECT_TRUE(platform::DeleteProfileKey(L"result", L"reboot_required", file, &error));
  EXPECT_EQ(ReadTextFile(tmp.Join("r.dat")),
            "[result]" + line_break + "is_success=true" + line_break);
  // Without the key, the file stays as it is, byte for byte.
  WriteTextFile(tmp.Join("r.dat"), "[result]\r\nis_success=true\n;own note\n");
  EXPECT_TRUE(platform::DeleteProfileKey(L"result", L"reboot_required", file, &error));
  EXPECT_EQ(ReadTextFile(tmp.Join("r.dat")), "[result]\r\nis_success=true\n;own note\n");
}

TEST(PlatformFileTest, ReplaceFileContentReplacesWholeAndLeavesNothingElse) {
  TempFolder tmp;
  const std::wstring file = tmp.wpath() + platform::kPathSeparator + L"report.json";
  uint32_t error = 0;
  ASSERT_TRUE(platform::ReplaceFileContent(file, "{\"a\": 1}\n", false, &error));
  ASSERT_TRUE(platform::ReplaceFileContent(file, "{}\n", true, &error));
  EXPECT_EQ(ReadTextFile(tmp.Join("report.json")), "{}\n");
  const auto entries = [&tmp] {
    std::vector<std::wstring> names, found;
    uint32_t ignored = 0;
    platform::FindFiles(tmp.wpath() + platform::kPathSeparator + L"*", &names, &ignored);
    for (const std::wstring& name : names) {
      if (name != L"." && name != L"..") found.push_back(name);
    }
    return found;
  };
  EXPECT_EQ(entries(), std::vector<std::wstring>{L"report.json"});

  // A folder in the file's place: refused with the system's error, nothing left over.
  const std::wstring folder = tmp.wpath() + platform::kPathSeparator + L"taken.json";
  ASSERT_TRUE(platform::PrepareLogFolder(folder));
  error = 0;
  EXPECT_FALSE(platform::ReplaceFileContent(folder, "{}", true, &error));
  EXPECT_NE(error, 0u);
  EXPECT_EQ(entries(), (std::vector<std::wstring>{L"report.json", L"taken.json"}));
}

TEST(PlatformFileTest, CreateNewFileMakesOnlyWhatIsNotThere) {
  TempFolder tmp;
  const std::wstring file = tmp.wpath() + platform::kPathSeparator + L"new.key";
  uint32_t error = 0;
  ASSERT_TRUE(platform::CreateNewFile(file, "secret\n", true, &error)) << error;
  EXPECT_EQ(ReadTextFile(tmp.Join("new.key")), "secret\n");
  EXPECT_FALSE(platform::CreateNewFile(file, "other\n", false, &error));
  EXPECT_NE(error, 0u);
  EXPECT_EQ(ReadTextFile(tmp.Join("new.key")), "secret\n");
  const std::wstring nowhere =
      tmp.wpath() + platform::kPathSeparator + L"no" + platform::kPathSeparator + L"new.key";
  error = 0;
  EXPECT_FALSE(platform::CreateNewFile(nowhere, "x", false, &error));
  EXPECT_NE(error, 0u);
}

TEST(PlatformTextTest, ErrorTextPutsTheNumberFirst) {
  const std::string text = platform::ErrorText(platform::kErrorFileNotFound);
  EXPECT_EQ(text.rfind("error 2: ", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("error 2: ").size());
}

}  // namespace
