#include "Utils/LogText.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

TEST(LogTextTest, ValuesOutsideTheDefaultLocaleAreWrittenInUtf8Escaped) {
  EXPECT_EQ(LogText(L"C:\\P\\bin\\tool.exe"), "C:\\P\\bin\\tool.exe");
  EXPECT_EQ(LogText(L""), "");
  EXPECT_EQ(LogText(static_cast<const wchar_t*>(nullptr)), "");
  // The euro sign converts in no "C" locale; the whole value is then UTF-8,
  // a line break in it escaped, as far as its first NUL.
  EXPECT_EQ(LogText(std::wstring(L"/opt/Soci\u00E9t\u00E9\u20AC/a\nb\0c", 19)),
            "/opt/Soci\xC3\xA9t\xC3\xA9\xE2\x82\xAC/a\\x0Ab");
  LogCapture log;
  LOG(INFO) << "load module config folder path: " << LogText(L"/opt/\u20AC/modularize");
  EXPECT_EQ(
      log.lines(),
      std::vector<std::string>{"I:load module config folder path: /opt/\xE2\x82\xAC/modularize"});
}

TEST(LogTextTest, ValuesTheLocaleConvertsKeepNoControlCharacter) {
  // Printable ASCII stays byte for byte; TAB stays.
  EXPECT_EQ(LogText(L"a\tb c~"), "a\tb c~");
  EXPECT_EQ(LogText(L"a\nE2026 x.cpp:1] forged\r\x7F\x1B"),
            "a\\x0AE2026 x.cpp:1] forged\\x0D\\x7F\\x1B");
  EXPECT_EQ(NarrowLogText("p\nq"), "p\\x0Aq");
  EXPECT_EQ(NarrowLogText("plain"), "plain");
}

TEST(LogTextTest, EscapedTextIsValidUtf8WithoutLineBreaksOfAnyKind) {
  // Valid UTF-8 stays; a stray byte, C1's NEL and the line separator do not.
  EXPECT_EQ(EscapedLogText(std::string("\xC3\xB6 \xFF \xC2\x85 \xE2\x80\xA8 \xC3")),
            "\xC3\xB6 \\xFF \\xC2\\x85 \\xE2\\x80\\xA8 \\xC3");
  // Nor do the bidirectional controls and U+FEFF; their neighbours stay.
  EXPECT_EQ(
      EscapedLogText("\u2029\u2066\u2069\u202E\u202A\uFEFF\u2067\u200F\u061C\u202F\u2065\u200D"),
      "\\xE2\\x80\\xA9\\xE2\\x81\\xA6\\xE2\\x81\\xA9\\xE2\\x80\\xAE\\xE2\\x80\\xAA\\xEF\\xBB\\xBF"
      "\\xE2\\x81\\xA7\\xE2\\x80\\x8F\\xD8\\x9C\u202F\u2065\u200D");
  EXPECT_EQ(EscapedLogText(L"a\nb"), "a\\x0Ab");
  size_t used = 0;
  EXPECT_EQ(EscapedLogText("ab\x01", 5, &used), "ab");
  EXPECT_EQ(used, 2u);
}

// A reader for text in which every byte but 0x80 is the character of its
// value (ISO 8859-1, with one gap).
size_t Latin1WithAGap(const char* bytes, size_t count, char32_t* code_point) {
  if (count == 0 || bytes[0] == '\x80') return 0;
  *code_point = static_cast<unsigned char>(bytes[0]);
  return 1;
}

TEST(LogTextTest, TextOfAnotherEncodingIsWrittenInUtf8AndEscapedByItsOwnBytes) {
  // The C1 control 0x85 and the gap are escaped as the bytes that stood there.
  EXPECT_EQ(EscapedLogText("\xE9 \x85 \x80\t\r", Latin1WithAGap, SIZE_MAX, nullptr),
            "\xC3\xA9 \\x85 \\x80\t\\x0D");
  // The limit counts bytes of the log text, used bytes of the text read.
  size_t used = 0;
  EXPECT_EQ(EscapedLogText("a\xE9\xE9", Latin1WithAGap, 4, &used), "a\xC3\xA9");
  EXPECT_EQ(used, 2u);
}

}  // namespace
