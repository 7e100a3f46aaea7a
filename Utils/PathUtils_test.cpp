#include "Utils/PathUtils.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/system/system.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace {

using Tokens = std::vector<std::string>;

TEST(SplitTextTest, BehavesLikeStrtok) {
  EXPECT_EQ(SplitText("0;;3010;", ";"), (Tokens{"0", "3010"}));
  EXPECT_EQ(SplitText(";;0;1", ";"), (Tokens{"0", "1"}));
  EXPECT_EQ(SplitText(";;;", ";"), Tokens{});
  EXPECT_EQ(SplitText("", ";"), Tokens{});
  EXPECT_EQ(SplitText("a b;c", "; "), (Tokens{"a", "b", "c"}));
  EXPECT_EQ(SplitText("abc", ";"), Tokens{"abc"});
}

TEST(AnsiToWideTest, CutsAtNul) {
  EXPECT_EQ(AnsiToWide("ab\0cd", 5), L"ab");
  EXPECT_EQ(AnsiToWide("abc", 0), L"");
  EXPECT_EQ(AnsiToWide(nullptr, 3), L"");
}

TEST(WideToAnsiTest, ConvertsUpToTheFirstNul) {
  EXPECT_EQ(WideToAnsi(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(WideToAnsi(static_cast<const wchar_t*>(nullptr)), "");
  EXPECT_EQ(AnsiToUtf8("plain"), "plain");
}

TEST(FileNamePartTest, NoPathOrRefusedCharacterSurvives) {
  EXPECT_EQ(FileNamePart("x\\..\\esc/C:a*b?c\"d<e>f|g"), "x_.._esc_C_a_b_c_d_e_f_g");
  EXPECT_EQ(FileNamePart(std::string("a\nb\0c\x7f", 6)), "a_b_c_");
}

class AddFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = platform::GetEnvironmentValue("PATH");
    saved_cwd_ = std::filesystem::current_path().string();
  }
  void TearDown() override {
    platform::SetPathVariable(saved_path_);
    std::filesystem::current_path(saved_cwd_);
  }
  std::string saved_path_, saved_cwd_;
};

TEST_F(AddFolderTest, AppendsFolderToPathAndMakesItCurrent) {
  TempFolder tmp;
  const std::string sep(1, platform::kPathListSeparator);
  platform::SetPathVariable("/usr/bin" + sep);
  LogCapture log;
  AddFolderToProcessPath(tmp.wpath());
  AddFolderToProcessPath(tmp.wpath());
  std::string expected = "/usr/bin" + sep + sep + tmp.path() + sep + tmp.path();
  EXPECT_EQ(platform::GetEnvironmentValue("PATH"), expected);
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(tmp.path()));
  ASSERT_EQ(log.lines().size(), 4u);
  EXPECT_EQ(log.lines()[2], "I:add PATH:  PATH=" + expected + "  to Process Path");
  EXPECT_EQ(log.lines()[3], "I:set current running path:  " + tmp.path());
  EXPECT_EQ(log.files()[0].substr(0, 14), "PathUtils.cpp:");
}

TEST_F(AddFolderTest, NoFolderNameEndsItsLine) {
  platform::SetPathVariable("/bin");
  LogCapture log;
  AddFolderToProcessPath(L"/p\nE1 x.cpp:1] forged");
  const std::string sep(1, platform::kPathListSeparator);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "I:add PATH:  PATH=/bin" + sep + "/p\\x0AE1 x.cpp:1] forged  to Process Path",
                "I:set current running path:  /p\\x0AE1 x.cpp:1] forged"}));
}

TEST_F(AddFolderTest, EmptyFolderAppendsOnlyTheSeparator) {
  const std::string sep(1, platform::kPathListSeparator);
  platform::SetPathVariable("/bin");
  LogCapture log;
  AddFolderToProcessPath(L"");
  EXPECT_EQ(platform::GetEnvironmentValue("PATH"), "/bin" + sep);
}

}  // namespace
