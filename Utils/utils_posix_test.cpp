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

TEST(LogTextPosixTest, OutsideAsciiNamesAreUtf8WithTheirStrayBytesEscaped) {
  // The "C" locale converts ASCII alone.
  EXPECT_EQ(LogText(L"/opt/Prod\u00FCkt/bin"), "/opt/Prod\xC3\xBCkt/bin");
  const std::string name = "/opt/prod\xFF/caf\xC3\xA9";
  EXPECT_EQ(LogText(AnsiToWide(name)), "/opt/prod\\xFF/caf\xC3\xA9");
}

}  // namespace
