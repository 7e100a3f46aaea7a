// Text conversions and log text where the narrow code page is UTF-8.
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

#include <gtest/gtest.h>

namespace {

TEST(AnsiToWidePosixTest, DropsTheByteOrderMark) {
  std::string bom = "\xEF\xBB\xBFmod";
  EXPECT_EQ(AnsiToWide(bom.data(), bom.size()), L"mod");
  EXPECT_EQ(AnsiToWide(bom.data(), 3), L"");
}

TEST(LogTextPosixTest, DefaultLocaleIsAsciiOnly) {
  EXPECT_EQ(LogText(L"/opt/Prod\u00FCkt/bin"), "");
}

}  // namespace
