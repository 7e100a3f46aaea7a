// The portable pieces of the platform layer: both builds run these.
#include <gtest/gtest.h>

#include <string>

#include "Platform/process/process.h"
#include "Rules/ascii_case.h"
#include "Rules/folder_trust.h"
#include "Rules/instance_guard.h"
#include "Rules/program_names.h"
#include "Rules/utf8.h"
#include "Rules/wildcard.h"

namespace {

using platform::DecodeUtf8;
using platform::EncodeUtf8;

std::u32string Decode(const std::string& bytes) { return DecodeUtf8(bytes.data(), bytes.size()); }
std::string Encode(const std::u32string& text) { return EncodeUtf8(text.data(), text.size()); }

TEST(Utf8Test, RoundTripsEveryLengthOfSequence) {
  const std::string text = "a\xC3\xB6\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(Decode(text), (std::u32string{U'a', U'\u00F6', U'\u20AC', U'\U0001F600'}));
  EXPECT_EQ(Encode(Decode(text)), text);
  EXPECT_EQ(Decode(""), U"");
  EXPECT_EQ(DecodeUtf8(nullptr, 3), U"");
}

TEST(Utf8Test, EachByteThatStartsNoCharacterBecomesOneReplacement) {
  // A stray continuation byte, a truncated sequence at the end.
  EXPECT_EQ(Decode("a\xFF"
                   "b\xC3"),
            U"a\uFFFDb\uFFFD");
  // Overlong forms and encoded surrogates are not characters either; each of
  // their bytes is replaced on its own.
  EXPECT_EQ(Decode("\xC0\xAF\xED\xA0\x80"), std::u32string(5, U'\uFFFD'));
  // Past U+10FFFF.
  EXPECT_EQ(Decode("\xF4\x90\x80\x80"), std::u32string(4, U'\uFFFD'));
  // A sequence cut short by an ASCII byte gives the ASCII byte back.
  EXPECT_EQ(Decode("\xE2\x82"
                   "x"),
            U"\uFFFD\uFFFDx");
}

TEST(Utf8Test, WhatIsNoCharacterIsEncodedAsTheReplacement) {
  const std::u32string text = {
      U'x', static_cast<char32_t>(0xD800), static_cast<char32_t>(0x110000)};
  EXPECT_EQ(Encode(text), "x\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8Test, StrayBytesKeptAsReservedCodePointsComeBackAsTheSameBytes) {
  using platform::StrayBytes;
  const std::string name = "/opt/prod\xFF/\xC3\xB6\xC3\x80\xED\xA0\x80";
  const std::u32string wide = DecodeUtf8(name.data(), name.size(), StrayBytes::kKeep);
  EXPECT_EQ(wide.substr(9, 1), std::u32string(1, static_cast<char32_t>(0xDCFF)));
  EXPECT_EQ(EncodeUtf8(wide.data(), wide.size(), StrayBytes::kKeep), name);
  // Asked for UTF-8, they are replaced; a surrogate outside the reserved
  // range never encodes to a byte of its own.
  EXPECT_EQ(Encode(wide.substr(8, 2)), "d\xEF\xBF\xBD");
  const std::u32string other = {static_cast<char32_t>(0xDC7F)};
  EXPECT_EQ(EncodeUtf8(other.data(), 1, StrayBytes::kKeep), "\xEF\xBF\xBD");
}

TEST(Utf8Test, Utf16KeepsItsUnpairedSurrogatesAsBytesThatAreNotUtf8) {
  const std::u16string text = {u'a', 0xD83D, 0xDE00, 0xDC80, u'b', 0xD800};
  const std::string bytes = platform::EncodeUtf16AsUtf8(text.data(), text.size());
  EXPECT_EQ(bytes,
            "a\xF0\x9F\x98\x80\xED\xB2\x80"
            "b\xED\xA0\x80");
  EXPECT_FALSE(platform::IsUtf8(bytes.data(), bytes.size()));
  EXPECT_TRUE(platform::IsUtf8(bytes.data(), 5));
  EXPECT_TRUE(platform::IsUtf8("", 0));
}

TEST(OutputKeeperTest, KeepsTheFirstAndLastPartsWhateverThePiecesAre) {
  const size_t kept = platform::kOutputHeadBytes + platform::kOutputTailBytes;
  // The head's last line ends 100 bytes after the head; it is kept whole.
  const size_t head = platform::kOutputHeadBytes + 101;
  for (size_t total : {size_t(0), size_t(5), kept, kept + 101, kept + 102, 5 * kept + 3}) {
    std::string written;
    for (size_t i = 0; i < total; ++i) written += static_cast<char>('a' + (i * 7 + i / 26) % 26);
    if (total >= head) written[head - 1] = '\n';
    for (size_t piece : {size_t(1), size_t(4093), size_t(70000)}) {
      SCOPED_TRACE(std::to_string(total) + " in pieces of " + std::to_string(piece));
      platform::OutputKeeper keeper;
      for (size_t at = 0; at < total; at += piece) {
        keeper.Add(written.data() + at, std::min(piece, total - at));
      }
      const platform::CapturedOutput output = keeper.Kept();
      EXPECT_EQ(output.size, total);
      if (total <= head + platform::kOutputTailBytes) {
        EXPECT_EQ(output.head, written);
        EXPECT_EQ(output.tail, "");
      } else {
        EXPECT_EQ(output.head, written.substr(0, head));
        EXPECT_EQ(output.tail, written.substr(total - platform::kOutputTailBytes));
        EXPECT_FALSE(output.tail_starts_line);
      }
    }
  }
  // A tail starts a line when the byte before it ends one.
  const std::string lines(kept + 1000, '\n');
  platform::OutputKeeper keeper;
  keeper.Add(lines.data(), lines.size());
  EXPECT_TRUE(keeper.Kept().tail_starts_line);
}

TEST(AsciiCaseTest, OnlyAsciiLettersFoldAndOrderIsByUnsignedBytes) {
  EXPECT_TRUE(platform::EqualIgnoringAsciiCase("Mod_A.XML", "mod_a.xml"));
  EXPECT_FALSE(platform::EqualIgnoringAsciiCase("\xC3\x96", "\xC3\xB6"));  // Ö is not ö
  EXPECT_FALSE(platform::EqualIgnoringAsciiCase("abc", "ab"));
  EXPECT_TRUE(platform::LessIgnoringAsciiCase("ab", "ABC"));
  EXPECT_TRUE(platform::LessIgnoringAsciiCase("B", "c"));
  EXPECT_FALSE(platform::LessIgnoringAsciiCase("b", "B"));
  // Bytes above 0x7F sort after every ASCII letter, as unsigned values.
  EXPECT_TRUE(platform::LessIgnoringAsciiCase("z", "\xC3\xA4"));
  // Letters compare in lower case, so "_" (0x5F) sorts before every letter.
  EXPECT_TRUE(platform::LessIgnoringAsciiCase("mod_", "moda"));
}

// The extension decides, in any letter case, and only at the very end.
TEST(ProgramNamesTest, ScriptsAndProgramsAreKnownByTheirLastExtension) {
  const struct {
    const wchar_t* file;
    bool script, program;
  } cases[] = {
      {L"C:\\bin\\Setup.CMD", true, false},
      {L"a.bat", true, false},
      {L".bat", true, false},
      {L"a.Exe", false, true},
      {L"tool.com", false, true},
      {L"a.cmdx", false, false},
      {L"cmd", false, false},
      {L"a.bat ", false, false},
      {L"a.bat.", false, false},
      {L"dir.exe\\prog", false, false},
      {L"a.exe.bat", true, false},
      {L"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::IsCommandScriptName(std::wstring(c.file)), c.script) << c.file;
    EXPECT_EQ(platform::IsProgramName(c.file), c.program) << c.file;
  }
  EXPECT_TRUE(platform::IsCommandScriptName(std::string("bin/Setup.CMD")));
  EXPECT_FALSE(platform::IsCommandScriptName(std::string("a.cmdx")));
}

TEST(WildcardTest, StarsAndQuestionMarksMatchLikeAFolderSearch) {
  EXPECT_TRUE(platform::WildcardMatch("mod_*.xml", "mod_core.xml"));
  EXPECT_TRUE(platform::WildcardMatch("mod_*.xml", "MOD_Core.XML"));
  EXPECT_TRUE(platform::WildcardMatch("mod_*.xml", "mod_.xml"));
  EXPECT_TRUE(platform::WildcardMatch("mod_*.xml", "mod_a.xml.xml"));
  EXPECT_FALSE(platform::WildcardMatch("mod_*.xml", "mod_a.xml.bak"));
  EXPECT_FALSE(platform::WildcardMatch("mod_*.xml", "xmod_a.xml"));
  EXPECT_TRUE(platform::WildcardMatch("a?c", "abc"));
  EXPECT_FALSE(platform::WildcardMatch("a?c", "ac"));
  EXPECT_TRUE(platform::WildcardMatch("*", ""));
  EXPECT_FALSE(platform::WildcardMatch("", "a"));
  EXPECT_TRUE(platform::WildcardMatch("**a*b", "xxaxxbxb"));
}

TEST(FolderTrustTest, OwnersAreClassifiedBySidText) {
  const std::string account = "S-1-5-21-1-2-3-1001";
  EXPECT_EQ(platform::ClassifyOwnerSid(account, account), platform::FolderOwner::kRunningAccount);
  EXPECT_EQ(platform::ClassifyOwnerSid("s-1-5-21-1-2-3-1001", account),
            platform::FolderOwner::kRunningAccount);
  EXPECT_EQ(platform::ClassifyOwnerSid("S-1-5-18", account), platform::FolderOwner::kSystem);
  EXPECT_EQ(platform::ClassifyOwnerSid("S-1-5-32-544", account),
            platform::FolderOwner::kAdministrators);
  // Another user, the Users group, a prefix of a trusted SID, and no owner at all.
  EXPECT_EQ(platform::ClassifyOwnerSid("S-1-5-21-1-2-3-1002", account),
            platform::FolderOwner::kOther);
  EXPECT_EQ(platform::ClassifyOwnerSid("S-1-5-32-545", account), platform::FolderOwner::kOther);
  EXPECT_EQ(platform::ClassifyOwnerSid("S-1-5-1", account), platform::FolderOwner::kOther);
  EXPECT_EQ(platform::ClassifyOwnerSid("", ""), platform::FolderOwner::kOther);
}

TEST(FolderTrustTest, OnlyARealFolderOfATrustedOwnerClosedToOthersIsWrittenThrough) {
  platform::FolderFacts ours;
  ours.is_folder = true;
  ours.owner = platform::FolderOwner::kRunningAccount;
  EXPECT_TRUE(platform::MayWriteThroughFolder(ours));
  for (platform::FolderOwner owner :
       {platform::FolderOwner::kSystem, platform::FolderOwner::kAdministrators}) {
    platform::FolderFacts facts = ours;
    facts.owner = owner;
    EXPECT_TRUE(platform::MayWriteThroughFolder(facts));
  }

  platform::FolderFacts planted = ours;
  planted.owner = platform::FolderOwner::kOther;
  EXPECT_FALSE(platform::MayWriteThroughFolder(planted));
  platform::FolderFacts junction = ours;
  junction.is_link = true;
  EXPECT_FALSE(platform::MayWriteThroughFolder(junction));
  platform::FolderFacts file = ours;
  file.is_folder = false;
  EXPECT_FALSE(platform::MayWriteThroughFolder(file));
  platform::FolderFacts open = ours;
  open.writable_by_others = true;
  EXPECT_FALSE(platform::MayWriteThroughFolder(open));
}

// A guard that was there is a running copy only when SYSTEM or Administrators
// made it; another owner, the running account's included, or none, is not.
TEST(InstanceGuardTest, OnlyAGuardOfATrustedOwnerIsARunningCopy) {
  using platform::FolderOwner;
  using platform::InstanceClaim;
  using platform::SecondGuard;
  const struct {
    platform::GuardFacts facts;
    InstanceClaim claim;
  } cases[] = {
      {{true, false, FolderOwner::kOther}, InstanceClaim::kOnlyCopy},
      {{true, true, FolderOwner::kSystem}, InstanceClaim::kAlreadyRunning},
      {{true, true, FolderOwner::kAdministrators}, InstanceClaim::kAlreadyRunning},
      {{true, true, FolderOwner::kOther}, InstanceClaim::kHeldByOtherAccount},
      {{true, true, FolderOwner::kRunningAccount}, InstanceClaim::kHeldByOtherAccount},
      {{false, true, FolderOwner::kSystem}, InstanceClaim::kNoHandle},
      // Whatever became of the named guard, a second one a copy holds tells it.
      {{false, false, FolderOwner::kOther, SecondGuard::kTaken}, InstanceClaim::kAlreadyRunning},
      {{true, true, FolderOwner::kOther, SecondGuard::kTaken}, InstanceClaim::kAlreadyRunning},
      {{true, false, FolderOwner::kOther, SecondGuard::kTaken}, InstanceClaim::kAlreadyRunning},
      {{false, false, FolderOwner::kOther, SecondGuard::kHeld}, InstanceClaim::kNoHandle},
      {{true, true, FolderOwner::kOther, SecondGuard::kHeld}, InstanceClaim::kHeldByOtherAccount},
      {{true, false, FolderOwner::kOther, SecondGuard::kNone, true}, InstanceClaim::kMadeAnew},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::DecideInstanceClaim(c.facts), c.claim);
}

}  // namespace
