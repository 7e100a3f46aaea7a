#include "App/JsonGuard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string Repeat(const std::string& text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += text;
  return out;
}

// The quick test may only settle texts that the full walk would pass: at each
// of its limits, the answer must stay the walk's.
TEST(JsonGuardTest, QuickTestKeepsTheWalksAnswerAtItsLimits) {
  const std::string cases[] = {
      Repeat("[", kMaxJsonNesting),                      // at the bound: passes
      Repeat("[", kMaxJsonNesting + 1),                  // one past: refused
      Repeat("[]", kMaxJsonNesting + 1),                 // many, never deep
      "[\"" + Repeat("{", 2 * kMaxJsonNesting) + "\"]",  // inside a string
      "[1e9999999]",                                     // seven digits
      "[1e99999999]",                                    // eight, below the bound
      "[1e100000000]",                                   // at the bound: refused
      "[12345678, \"99999999\"]",                        // long runs, no exponent
      "[1." + std::string(1000, '0') + "e-99999000]",    // fraction digits count
      "[1." + std::string(999, '0') + "e-99999000]",
      std::string("[0]\0", 4) + Repeat("[", kMaxJsonNesting + 1),  // after the NUL
      // An escaped NUL does not end the walk: the string closes after it.
      "[\"\\" + std::string(1, '\0') + "\"" + Repeat("[", kMaxJsonNesting + 1),
  };
  const bool expected[] = {
      true, false, true, true, true, true, false, true, false, true, true, false};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i], JsonWalkIsSafe(cases[i]));
    EXPECT_EQ(expected[i], IsJsonSafeToParse(cases[i]));
  }
}

TEST(JsonGuardTest, QuickTestAgreesWithTheWalkOnRandomTexts) {
  // Few characters, so digit runs grow long; the second alphabet piles up
  // brackets around the nesting bound, with quotes that hide some of them.
  const std::string alphabets[] = {std::string("[]{}\"\\0123456789eE-+., \0x", 25),
                                   "[[[[{{{]}\"\\"};
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    const std::string& alphabet = alphabets[round % 2];
    const size_t length = random() % (round % 3 == 0 ? 64 : 1400);
    std::string text;
    for (size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    ASSERT_EQ(JsonWalkIsSafe(text), IsJsonSafeToParse(text)) << text;
  }
}

}  // namespace
