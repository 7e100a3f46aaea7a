#include "Rules/ini_text.h"

#include <gtest/gtest.h>

namespace {

TEST(IniTextTest, NewFileGetsSectionAndKey) {
  EXPECT_EQ(SetIniValue("", "result", "is_success", "false"), "[result]\nis_success=false\n");
}

TEST(IniTextTest, FailureFormWrittenKeyByKey) {
  std::string text = SetIniValue("", "result", "is_success", "false");
  text = SetIniValue(text, "error_info", "error_path", "");
  text = SetIniValue(text, "error_info", "error_code", "InstallError:50");
  text = SetIniValue(text, "error_info", "error_detail", "x");
  EXPECT_EQ(text,
            "[result]\nis_success=false\n[error_info]\nerror_path=\n"
            "error_code=InstallError:50\nerror_detail=x\n");
}

TEST(IniTextTest, ReplacesInPlaceIgnoringCaseAndKeepsOtherLines) {
  std::string before =
      "; written by the installer\r\n[RESULT]\r\n IS_SUCCESS = false\r\nother=1\r\n\r\n"
      "[error_info]\r\nerror_code=GLE:2\r\n";
  EXPECT_EQ(SetIniValue(before, "result", "is_success", "true"),
            "; written by the installer\r\n[RESULT]\r\nIS_SUCCESS=true\r\nother=1\r\n\r\n"
            "[error_info]\r\nerror_code=GLE:2\r\n");
}

TEST(IniTextTest, MissingKeyGoesAfterTheLastEntryOfItsSection) {
  std::string before = "[result]\nis_success=true\n\n[other]\na=b\n";
  EXPECT_EQ(SetIniValue(before, "result", "extra", "1"),
            "[result]\nis_success=true\nextra=1\n\n[other]\na=b\n");
}

TEST(IniTextTest, LastLineWithoutBreakIsCompletedBeforeAppending) {
  EXPECT_EQ(SetIniValue("[a]\nk=v", "b", "x", "y"), "[a]\nk=v\n[b]\nx=y\n");
  EXPECT_EQ(SetIniValue("[a]\nk=v", "a", "x", "y"), "[a]\nk=v\nx=y\n");
}

TEST(IniTextTest, OnlyTheFirstMatchingSectionIsUsed) {
  std::string before = "[s]\nk=1\n[s]\nk=2\n";
  EXPECT_EQ(SetIniValue(before, "s", "k", "3"), "[s]\nk=3\n[s]\nk=2\n");
}

TEST(IniTextTest, ReadsBackWhatItWrote) {
  std::string text = SetIniValue("[x]\nnot a key\n", "Result", "Key", "a=b c");
  std::string value;
  ASSERT_TRUE(GetIniValue(text, "result", "key", &value));
  EXPECT_EQ(value, "a=b c");
  EXPECT_FALSE(GetIniValue(text, "x", "not a key", &value));
  EXPECT_FALSE(GetIniValue(text, "missing", "key", &value));
}

TEST(IniTextTest, RemovingAKeyKeepsEveryOtherLine) {
  const std::string before =
      "[RESULT]\r\nis_success=true\r\n Reboot_Required = true\r\n[error_info]\r\n"
      "reboot_required=kept\r\n";
  bool found = false;
  EXPECT_EQ(RemoveIniValue(before, "result", "reboot_required", &found),
            "[RESULT]\r\nis_success=true\r\n[error_info]\r\nreboot_required=kept\r\n");
  EXPECT_TRUE(found);
  EXPECT_EQ(RemoveIniValue(before, "result", "missing", &found), before);
  EXPECT_FALSE(found);
  EXPECT_EQ(RemoveIniValue(before, "missing", "reboot_required", &found), before);
  EXPECT_FALSE(found);
  EXPECT_EQ(RemoveIniValue("[result]\nk=v", "result", "k", &found), "[result]\n");
  EXPECT_TRUE(found);
}

}  // namespace
