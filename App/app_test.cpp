#include "App/app.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "App/main.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "Platform/system/system.h"
#include "Rules/ini_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(AppTest, LogFolderIsCachedAndHoldsTheResultFile) {
  App app(RemoveOutdatedResultFile);
  std::wstring first = app.GetLogDir();
  std::wstring expected = platform::CombinePath(platform::TempFolder(), L"hoxinst_log");
  EXPECT_EQ(first, expected);
  EXPECT_EQ(app.GetLogDir(), first);
  EXPECT_EQ(app.run().log_folder, first);
  EXPECT_EQ(app.GetResultFilePath(), first + platform::kPathSeparator + L"TaverlyResultInfo.dat");
}

TEST(ResultFileTest, ValuesWithLineBreaksStayOnOneLine) {
  TempFolder tmp;
  std::wstring path = tmp.wpath() + platform::kPathSeparator + L"r.dat";
  WriteResultValue(path, L"error_info", L"error_detail", L"a\r\nb\nc");
  WriteResultValue(path, L"result", L"is_success", L"false");
  std::string text = ReadTextFile(tmp.Join("r.dat"));
  std::string value;
  ASSERT_TRUE(GetIniValue(text, "error_info", "error_detail", &value));
  EXPECT_EQ(value, "a  b c");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
}

TEST(ResultFileTest, FailedWriteIsLoggedWithTheSystemError) {
  TempFolder tmp;
  std::wstring path =
      tmp.wpath() + platform::kPathSeparator + L"missing" + platform::kPathSeparator + L"r.dat";
  LogCapture log;
  WriteResultValue(path, L"result", L"is_success", L"true");
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "E:WritePrivateProfileStringW failed, path: " + tmp.Join("missing") +
                static_cast<char>(platform::kPathSeparator) +
                "r.dat, result: true, GLE: " + std::to_string(platform_facts::kMissingFolderError));
}

}  // namespace
