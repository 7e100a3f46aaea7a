#include "CallPlugins/ItemOutput.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

// Output as the platform hands it over, from the whole of what was written.
platform::CapturedOutput Captured(const std::string& written) {
  platform::OutputKeeper keeper;
  keeper.Add(written.data(), written.size());
  return keeper.Kept();
}

TEST(ItemOutputTest, EachLineIsOneTextWhateverItsEnding) {
  EXPECT_EQ(OutputLogTexts(Captured("")), Texts{});
  EXPECT_EQ(OutputLogTexts(Captured("one\ntwo\r\nthree")), (Texts{"one", "two", "three"}));
  // Empty lines stay; a lone CR is part of its line, escaped; the end needs
  // no break.
  EXPECT_EQ(OutputLogTexts(Captured("\n\r\na\rb\n")), (Texts{"", "", "a\\x0Db"}));
  // Standard output and error arrive in one file, in the order written.
  EXPECT_EQ(OutputLogTexts(Captured("out 1\nerr 1\nout 2\n")), (Texts{"out 1", "err 1", "out 2"}));
}

TEST(ItemOutputTest, OutputCannotForgeALogLine) {
  // What looks like a log line of its own is a line of output like any other.
  const std::string forged = "x\nE20261208 10:00:00.000000  1 main.cpp:1] call plugins success.\n";
  const Texts texts = OutputLogTexts(Captured(forged));
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], "E20261208 10:00:00.000000  1 main.cpp:1] call plugins success.");
}

TEST(ItemOutputTest, ControlBytesAndWhatIsNotUtf8AreEscaped) {
  // A reader that ends lines at CR, or at Unicode's line separators, sees
  // no line of the output's own; tabs and valid UTF-8 stay as they are.
  EXPECT_EQ(OutputLogTexts(Captured("working\rE2026 main.cpp:81] call plugins success.\n")),
            Texts{"working\\x0DE2026 main.cpp:81] call plugins success."});
  EXPECT_EQ(OutputLogTexts(Captured(std::string("a\tb\x1B[31m\0\x0B\x0C\x7F", 12))),
            Texts{"a\tb\\x1B[31m\\x00\\x0B\\x0C\\x7F"});
  // The cut counts bytes of output, and never passes the longest line.
  const std::string controls(kLongestOutputLine, '\x01');
  const Texts cut = OutputLogTexts(Captured(controls));
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0].size(), kLongestOutputLine);
  EXPECT_EQ(cut[1], std::to_string(kLongestOutputLine * 3 / 4) + " bytes left out");
}

TEST(ItemOutputTest, ALongLineIsCutAndWhatIsLeftOutIsCounted) {
  const std::string fits(kLongestOutputLine, 'a');
  EXPECT_EQ(OutputLogTexts(Captured(fits + "\n")), Texts{fits});
  EXPECT_EQ(OutputLogTexts(Captured(fits + "bc\r\nnext\n")),
            (Texts{fits, "2 bytes left out", "next"}));
}

TEST(ItemOutputTest, MoreThanTheKeptPartsShowsWholeLinesAroundTheCount) {
  // 12 bytes a line, 120000 in all: the head (32768 = 2730 * 12 + 8) ends
  // inside line 2731, which is kept to its end; the tail (from 87232 =
  // 7269 * 12 + 4) starts inside line 7270, which is left out.
  std::string written;
  char line[16];
  for (int i = 1; i <= 10000; ++i) {
    std::snprintf(line, sizeof line, "line %06d\n", i);
    written += line;
  }
  const Texts texts = OutputLogTexts(Captured(written));
  ASSERT_EQ(texts.size(), 2731u + 1 + 2730);
  EXPECT_EQ(texts.front(), "line 000001");
  EXPECT_EQ(texts[2730], "line 002731");
  EXPECT_EQ(texts[2731], "54468 bytes left out");  // 120000 - 2 * 2730 * 12 - 12
  EXPECT_EQ(texts[2732], "line 007271");
  EXPECT_EQ(texts.back(), "line 010000");
}

TEST(ItemOutputTest, ALineAcrossTheKeptPartsIsCutOnlyWhereALogLineEnds) {
  // The line of b runs 60000 bytes from the head into what is left out, the
  // line of c from there into the tail: no text shows the end of either.
  const std::string written =
      "x\n" + std::string(60000, 'b') + "\n" + std::string(40000, 'c') + "\nend";
  EXPECT_EQ(OutputLogTexts(Captured(written)),
            (Texts{"x",
                   std::string(kLongestOutputLine, 'b'),
                   std::to_string(written.size() - 2 - kLongestOutputLine - 3) + " bytes left out",
                   "end"}));
}

TEST(ItemOutputTest, ALineBreakSplitAtTheHeadsEdgeIsNoOutputLeftOut) {
  // The head (49152 bytes, its last line kept in full) ends in the CR of the
  // k line's CR LF; the tail, 4096 lines of 8 bytes, starts a line.
  std::string lines;
  for (int i = 0; i < 10000; ++i) lines += "1234567\n";
  const std::string kept = std::string(platform::kOutputHeadBytes + kLongestOutputLine - 1, 'k');
  for (const std::string& written : {kept + "\r\n" + lines, kept + "\r\r\n" + lines}) {
    const Texts texts = OutputLogTexts(Captured(written));
    ASSERT_EQ(texts.size(), 2u + 4096);
    EXPECT_EQ(texts[0], std::string(kLongestOutputLine, 'k'));
    // All but the shown part, the tail and the line break (CR LF) that
    // starts in the head; a CR of the line's own ends the head in the other.
    const size_t breaks = written[kept.size() + 1] == '\n' ? 2 : 0;
    EXPECT_EQ(
        texts[1],
        std::to_string(written.size() - kLongestOutputLine - 32768 - breaks) + " bytes left out");
    EXPECT_EQ(texts[2], "1234567");
  }
}

TEST(ItemOutputTest, OutputThatFitsIsLoggedWhole) {
  const std::string written(platform::kOutputHeadBytes + platform::kOutputTailBytes, 'z');
  // One line of 64 KiB: cut at the longest line, the rest counted.
  EXPECT_EQ(OutputLogTexts(Captured(written)),
            (Texts{std::string(kLongestOutputLine, 'z'),
                   std::to_string(written.size() - kLongestOutputLine) + " bytes left out"}));
}

TEST(ItemOutputTest, TheEndOfATimedOutProgramSaysHowFarItReached) {
  platform::ProgramResult result;
  EXPECT_EQ(", only the program", EndedReachText(result));
  result.ended_all = true;
  EXPECT_EQ("", EndedReachText(result));
  result.ended_outside = 2;
  result.may_have_escaped = true;
  EXPECT_EQ(", 2 of them had left its group, some may have escaped", EndedReachText(result));
}

}  // namespace
