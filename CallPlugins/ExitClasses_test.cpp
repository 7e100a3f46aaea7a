#include "CallPlugins/ExitClasses.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

TEST(ExitClassesTest, ExpectedCodesReadLikeAtoiAndSayWhetherTheyReadExactly) {
  const struct {
    const char* text;
    int32_t value;
    bool exact;
  } cases[] = {
      {"0", 0, true},
      {"3010", 3010, true},
      {" 42", 42, true},
      {"-1", -1, true},
      {"+7 ", 7, true},
      {"abc", 0, false},
      {"", 0, false},
      {"-", 0, false},
      {"3010x", 3010, false},
      {"1 2", 1, false},
      {"4294967295", INT32_MAX, false},
      {"2147483647", INT32_MAX, true},
      {"-99999999999", INT32_MIN, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    bool exact = !c.exact;
    EXPECT_EQ(c.value, ParseExpectedCode(c.text, &exact));
    EXPECT_EQ(c.exact, exact);
    EXPECT_EQ(c.value, ParseExpectedCode(c.text));
  }
  const std::vector<ExpectedCode> codes = ReadExpectedCodes(";-1;;x3;");
  ASSERT_EQ(2u, codes.size());
  EXPECT_EQ("x3", codes[1].text);
  EXPECT_FALSE(codes[1].exact);
  EXPECT_TRUE(InExpectedCodes(codes, 0xFFFFFFFFu));  // -1 as 32 bits
  EXPECT_TRUE(InExpectedCodes(codes, 0));            // "x3" reads as 0
  EXPECT_FALSE(InExpectedCodes(codes, 3));
}

TEST(ExitClassesTest, ClassListsAreWholeNumbersAndCountsHaveRanges) {
  std::vector<int32_t> codes;
  EXPECT_TRUE(ParseExitCodeList(" 1 ;;-2; 3010", &codes));
  EXPECT_EQ((std::vector<int32_t>{1, -2, 3010}), codes);
  for (const char* text : {"", ";", " ; ", "1;x", "1;2.5", "4294967296", "abc"}) {
    EXPECT_FALSE(ParseExitCodeList(text, &codes)) << text;
    EXPECT_TRUE(codes.empty()) << text;
  }
  uint32_t value = 99;
  EXPECT_TRUE(ParseWholeNumber("010", 1, 10, &value));
  EXPECT_EQ(10u, value);
  EXPECT_TRUE(ParseWholeNumber("0", 0, 3600, &value));
  EXPECT_EQ(0u, value);
  for (const char* text : {"", "11", "-1", "+1", " 1", "1 ", "1e1", "9999999999"}) {
    value = 99;
    EXPECT_FALSE(ParseWholeNumber(text, 1, 10, &value)) << text;
    EXPECT_EQ(99u, value) << text;
  }
}

std::vector<std::string> UnusedNames(const ExitClasses& classes) {
  std::vector<std::string> names;
  for (const UnusedAttribute& unused : classes.unused) names.push_back(unused.name);
  return names;
}

TEST(ExitClassesTest, ClassesServeWaitedForExeItemsWithValuesInRange) {
  const ExitClassTexts all = {"1618;5", "2", "0", "1641"};
  const ExitClasses used = DecideExitClasses(true, all);
  EXPECT_EQ((std::vector<int32_t>{1618, 5}), used.retry_codes);
  EXPECT_EQ(2u, used.retries);
  EXPECT_EQ(0u, used.retry_delay);
  EXPECT_EQ((std::vector<int32_t>{1641}), used.restart_now_codes);
  EXPECT_TRUE(used.unused.empty());

  // Any other item uses none of them, each said with its text, in order.
  const ExitClasses other = DecideExitClasses(false, all);
  EXPECT_TRUE(other.retry_codes.empty());
  EXPECT_TRUE(other.restart_now_codes.empty());
  EXPECT_EQ(
      (std::vector<std::string>{"retry_exitcode", "retries", "retry_delay", "reboot_now_exitcode"}),
      UnusedNames(other));
  EXPECT_EQ("1618;5", other.unused[0].text);

  // Counts out of range keep their defaults; without a retry class they serve nothing.
  const ExitClasses out_of_range = DecideExitClasses(true, {"5", "11", "3601", "x"});
  EXPECT_EQ(kDefaultRetries, out_of_range.retries);
  EXPECT_EQ(kDefaultRetryDelay, out_of_range.retry_delay);
  EXPECT_EQ((std::vector<std::string>{"retries", "retry_delay", "reboot_now_exitcode"}),
            UnusedNames(out_of_range));
  EXPECT_EQ((std::vector<std::string>{"retry_exitcode", "retries"}),
            UnusedNames(DecideExitClasses(true, {"none", "3", "", ""})));
  EXPECT_TRUE(DecideExitClasses(true, {}).unused.empty());
}

TEST(ExitClassesTest, OverlapsNameEachClassOnceInJudgingOrder) {
  const ExitClasses classes = DecideExitClasses(true, {"5;7;7", "", "", "7;1641"});
  const std::vector<CodeOverlap> overlaps =
      FindCodeOverlaps(classes, ReadExpectedCodes("7;3010"), ReadExpectedCodes("0;5;7"));
  ASSERT_EQ(2u, overlaps.size());
  EXPECT_EQ(5, overlaps[0].code);
  EXPECT_EQ((std::vector<CodeClass>{CodeClass::kRetry, CodeClass::kAccepted}), overlaps[0].classes);
  EXPECT_EQ(7, overlaps[1].code);
  EXPECT_EQ(
      (std::vector<CodeClass>{
          CodeClass::kRestartNow, CodeClass::kRestart, CodeClass::kRetry, CodeClass::kAccepted}),
      overlaps[1].classes);
  EXPECT_STREQ("restart-now", CodeClassName(overlaps[1].classes[0]));
  EXPECT_STREQ("refused", CodeClassName(CodeClass::kRefused));
}

}  // namespace
