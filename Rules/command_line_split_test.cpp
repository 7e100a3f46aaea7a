#include "Rules/command_line_split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

struct SplitCase {
  const wchar_t* text;
  Args expected;
};

void ExpectSplits(const std::vector<SplitCase>& cases) {
  for (const SplitCase& c : cases) {
    EXPECT_EQ(SplitCommandLineArguments(c.text), c.expected) << "text: [" << c.text << "]";
  }
}

TEST(CommandLineSplit, BlanksAndTabsSeparate) {
  ExpectSplits({
      {L"", {}},
      {L"   \t ", {}},
      {L"a", {L"a"}},
      {L"a b", {L"a", L"b"}},
      {L"a\tb", {L"a", L"b"}},
      {L"  a \t  b\t\t", {L"a", L"b"}},
      {L"a\nb", {L"a\nb"}},
  });
}

TEST(CommandLineSplit, QuotesGroupAndAreRemoved) {
  ExpectSplits({
      {L"a \"b c\" d", {L"a", L"b c", L"d"}},
      {L"\"a\tb\"", {L"a\tb"}},
      {L"a\"b c\"d e", {L"ab cd", L"e"}},
      {L"\"C:\\Program Files\\x.exe\" -q", {L"C:\\Program Files\\x.exe", L"-q"}},
      {L"\"a b", {L"a b"}},
      {L"a \"b ", {L"a", L"b "}},
  });
}

TEST(CommandLineSplit, EmptyQuotesGiveAnEmptyArgument) {
  ExpectSplits({
      {L"\"\"", {L""}},
      {L"a \"\" b", {L"a", L"", L"b"}},
      {L"a \"\"", {L"a", L""}},
      {L"\"\"\"\"", {L"\""}},
      {L"\"", {L""}},
  });
}

TEST(CommandLineSplit, BackslashesBeforeQuotes) {
  ExpectSplits({
      {L"\"a\\\"b\"", {L"a\"b"}},
      {L"a\\\"b", {L"a\"b"}},
      {L"a\\\\\\\"b", {L"a\\\"b"}},
      {L"a\\\\\"b c\" d", {L"a\\b c", L"d"}},
      {L"a\\\\\\\\\"b c\" d e", {L"a\\\\b c", L"d", L"e"}},
      {L"\"a\\\\\" b", {L"a\\", L"b"}},
  });
}

TEST(CommandLineSplit, BackslashesElsewhereAreLiteral) {
  ExpectSplits({
      {L"a\\\\b", {L"a\\\\b"}},
      {L"a\\b d\"e f\"g h", {L"a\\b", L"de fg", L"h"}},
      {L"C:\\dir\\ x", {L"C:\\dir\\", L"x"}},
      {L"a\\", {L"a\\"}},
      {L"\"a b\\\\\\\\c\"", {L"a b\\\\\\\\c"}},
  });
}

TEST(CommandLineSplit, DoubledQuoteInsideQuotingIsLiteralAndQuotingGoesOn) {
  ExpectSplits({
      {L"a\"b\"\" c d", {L"ab\" c d"}},
      {L"\"a\"\"b\" c", {L"a\"b", L"c"}},
      {L"\"\"\"a b\"\"\" c", {L"\"a b\"", L"c"}},
  });
}

}  // namespace
