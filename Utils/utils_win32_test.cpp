// Wide text in log lines through the C runtime that Windows programs use.
#include "Utils/LogText.h"

#include <gtest/gtest.h>

namespace {

// The C runtime's default locale passes the first 256 characters through as
// bytes, so a Latin-1 path keeps its place in a log line.
TEST(LogTextWin32Test, DefaultLocaleIsLatin1) {
  EXPECT_EQ(LogText(L"C:\\Prod\u00FCkt\\bin"), "C:\\Prod\xFCkt\\bin");
}

}  // namespace
