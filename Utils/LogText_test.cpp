#include "Utils/LogText.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

TEST(LogTextTest, ValuesOutsideTheDefaultLocaleAreLeftOutWhole) {
  EXPECT_EQ(LogText(L"C:\\P\\bin\\tool.exe"), "C:\\P\\bin\\tool.exe");
  EXPECT_EQ(LogText(L"/opt/Produ\u20ACt/bin"), "");
  EXPECT_EQ(LogText(L""), "");
  EXPECT_EQ(LogText(static_cast<const wchar_t*>(nullptr)), "");
}

TEST(LogTextTest, TheRestOfTheLineIsStillWritten) {
  LogCapture log;
  LOG(INFO) << "load module config folder path: " << LogText(L"/opt/\u20AC/modularize");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"I:load module config folder path: "});
}

}  // namespace
