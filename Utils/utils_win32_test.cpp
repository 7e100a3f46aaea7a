// Wide text in log lines through the C runtime that Windows programs use.
#include "Utils/LogText.h"

#include <gtest/gtest.h>

namespace {

// The C runtime's default locale passes the first 256 characters through as
// bytes, so a Latin-1 path keeps its place in a log line.
TEST(LogTextWin32Test, DefaultLocaleIsLatin1) {
  EXPECT_EQ(LogText(L"C:\\Prod\u00FCkt\\bin"), "C:\\Prod\xFCkt\\bin");
}

// What it cannot pass through is UTF-8, the whole value; an unpaired
// surrogate is escaped as the three bytes of its value.
TEST(LogTextWin32Test, BeyondLatin1TheValueIsUtf8) {
  EXPECT_EQ(LogText(L"C:\\Soci\u00E9t\u00E9\\\u20AC"), "C:\\Soci\xC3\xA9t\xC3\xA9\\\xE2\x82\xAC");
  EXPECT_EQ(LogText(L"C:\\\U0001F600\xD800.xml"), "C:\\\xF0\x9F\x98\x80\\xED\\xA0\\x80.xml");
}

}  // namespace
