#include "CallPlugins/ItemRules.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "CallPlugins/RunContext.h"
#include "Platform/platform.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"

namespace {

using Attributes = std::map<std::string, std::string>;

// A bundle with the given attributes, released when the holder goes.
class Bundle {
 public:
  explicit Bundle(const Attributes& attributes) : bundle_(new CLwBundle()) {
    bundle_->AddRef();
    for (const auto& attribute : attributes) {
      bundle_->SetString(attribute.first.c_str(), attribute.second.c_str());
    }
  }
  ~Bundle() { bundle_->Release(); }
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;
  ILwBundle* get() const { return bundle_; }

 private:
  ILwBundle* bundle_;
};

TEST(ItemRulesTest, AttributesReadAsTextAndAnythingElseAsEmpty) {
  Bundle bundle(Attributes{{"type", "Exe"}, {"param", ""}});
  EXPECT_EQ("Exe", ReadItemAttribute(bundle.get(), "type"));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), "param"));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), "file"));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), ""));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), nullptr));
  EXPECT_EQ("", ReadItemAttribute(nullptr, "type"));
}

TEST(ItemRulesTest, ProductPathIsSubstitutedOnceAndExactly) {
  EXPECT_EQ(L"C:\\P\\a C:\\P\\b",
            SubstituteProductPath(L"%productpath%\\a %productpath%\\b", L"C:\\P"));
  EXPECT_EQ(L"%PRODUCTPATH% x", SubstituteProductPath(L"%PRODUCTPATH% x", L"C:\\P"));
  // A folder that holds the token is inserted once and not expanded again.
  EXPECT_EQ(L"/%productpath%/x", SubstituteProductPath(L"%productpath%/x", L"/%productpath%"));
  EXPECT_EQ(L"", SubstituteProductPath(L"%productpath%", L""));
  EXPECT_EQ(L"%productpath", SubstituteProductPath(L"%productpath", L"/p"));
}

TEST(ItemRulesTest, ExpectedCodesReadLikeAtoiAndSayWhetherTheyReadExactly) {
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
}

TEST(ItemRulesTest, FactsFollowTheCommonSteps) {
  Bundle bundle(Attributes{{"file", "bin/tool"},
                           {"type", "Exe"},
                           {"exitcode", "0;;3010;"},
                           {"param", "/i %productpath%/conf"}});
  ItemFacts facts = ReadItemFacts(bundle.get(), L"/P");
  EXPECT_EQ("bin/tool", facts.file);
  EXPECT_EQ(JoinPath(L"/P", L"bin/tool"), facts.file_path);
  EXPECT_EQ("Exe", facts.type);
  EXPECT_TRUE(facts.has_expectation);
  EXPECT_EQ("0;;3010;", facts.exit_codes);
  EXPECT_EQ((std::vector<std::string>{"0", "3010"}), facts.expected_codes);
  EXPECT_EQ(L"/i /P/conf", facts.parameters);

  // Separators alone still make an expectation, with no code in it.
  Bundle separators(Attributes{{"file", "x"}, {"exitcode", ";"}});
  facts = ReadItemFacts(separators.get(), L"/P");
  EXPECT_TRUE(facts.has_expectation);
  EXPECT_TRUE(facts.expected_codes.empty());
  EXPECT_EQ(L"", facts.parameters);

  Bundle bare(Attributes{{"file", "x"}});
  facts = ReadItemFacts(bare.get(), L"/P");
  EXPECT_FALSE(facts.has_expectation);
  EXPECT_EQ("", facts.type);
}

TEST(ItemRulesTest, TypesCompareExactly) {
  EXPECT_EQ(ItemKind::kExe, ItemKindOf("Exe"));
  EXPECT_EQ(ItemKind::kSimpleDll, ItemKindOf("SimpleDll"));
  for (const char* type : {"exe", "EXE", "Exe ", "simpledll", "Dll", ""}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(ItemKind::kSkipped, ItemKindOf(type));
  }
}

TEST(ItemRulesTest, OnlyTheTextOneWaits) {
  Bundle one(Attributes{{"wait_for_exit", "1"}});
  Bundle other(Attributes{{"wait_for_exit", "true"}});
  Bundle none(Attributes{});
  EXPECT_TRUE(ReadWaitForExit(one.get()));
  EXPECT_FALSE(ReadWaitForExit(other.get()));
  EXPECT_FALSE(ReadWaitForExit(none.get()));
}

TEST(ItemRulesTest, SystemGateHoldsForOneAndZeroOnly) {
  const struct {
    const char* system;
    bool system_account;
    SystemGate gate;
  } cases[] = {
      {"1", false, SystemGate::kSkipNeedsSystem},
      {"1", true, SystemGate::kRun},
      {"0", true, SystemGate::kSkipNeedsOtherAccount},
      {"0", false, SystemGate::kRun},
      {"", true, SystemGate::kRun},
      {"01", true, SystemGate::kRun},
      {"yes", false, SystemGate::kRun},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.system) + (c.system_account ? " as system" : " as other"));
    EXPECT_EQ(c.gate, DecideSystemGate(c.system, c.system_account));
  }
}

TEST(ItemRulesTest, FolderAndSecurityBasePathsArePlainJoins) {
  RunContext run;
  EXPECT_EQ(L"", run.product_folder());
  run.SetInstallPath("/opt/p");
  EXPECT_EQ(L"/opt/p", run.product_folder());
  EXPECT_EQ(JoinPath(L"/opt/p", platform::kSecurityBaseLibrary), SecurityBasePath(L"/opt/p"));
  // A folder that ends in a separator keeps it: two separators in a row.
  const std::wstring trailing = std::wstring(L"/opt/p") + platform::kPathSeparator;
  EXPECT_EQ(JoinPath(trailing, platform::kSecurityBaseLibrary), SecurityBasePath(trailing));
}

}  // namespace

namespace {

TEST(ItemRulesTest, TimeoutIsWholeSecondsFromOneToADay) {
  uint32_t seconds = 0;
  EXPECT_TRUE(ParseTimeoutSeconds("1", &seconds));
  EXPECT_EQ(seconds, 1u);
  EXPECT_TRUE(ParseTimeoutSeconds("86400", &seconds));
  EXPECT_EQ(seconds, 86400u);
  EXPECT_TRUE(ParseTimeoutSeconds("030", &seconds));
  EXPECT_EQ(seconds, 30u);
  for (const char* text :
       {"", "0", "86401", "-5", "+5", " 5", "5 ", "5s", "1.5", "1e3", "99999999999999999999"}) {
    EXPECT_FALSE(ParseTimeoutSeconds(text, &seconds)) << text;
  }
}

TEST(ItemRulesTest, RestartCodesReadLikeExpectedCodes) {
  EXPECT_TRUE(AsksForRestart("3010;1641", 1641));
  EXPECT_TRUE(AsksForRestart(";;100;", 100));
  EXPECT_TRUE(AsksForRestart("-1", 0xFFFFFFFFu));
  EXPECT_TRUE(AsksForRestart("abc", 0));  // as atoi reads it
  EXPECT_FALSE(AsksForRestart("3010", 0));
  EXPECT_FALSE(AsksForRestart("", 0));
  EXPECT_FALSE(AsksForRestart(";", 0));
}

TEST(ItemRulesTest, SupervisionServesOnlyItemsThatWait) {
  Supervision plain = DecideSupervision(true, "", "");
  EXPECT_EQ(plain.timeout_seconds, 0u);
  EXPECT_FALSE(plain.timeout_unused);
  EXPECT_FALSE(plain.capture_output);
  EXPECT_FALSE(plain.capture_unused);

  Supervision both = DecideSupervision(true, "30", "1");
  EXPECT_EQ(both.timeout_seconds, 30u);
  EXPECT_TRUE(both.capture_output);

  Supervision no_wait = DecideSupervision(false, "30", "1");
  EXPECT_EQ(no_wait.timeout_seconds, 0u);
  EXPECT_TRUE(no_wait.timeout_unused);
  EXPECT_FALSE(no_wait.capture_output);
  EXPECT_TRUE(no_wait.capture_unused);

  Supervision bad = DecideSupervision(true, "soon", "yes");
  EXPECT_EQ(bad.timeout_seconds, 0u);
  EXPECT_TRUE(bad.timeout_unused);
  // Only "1" asks for the output, as only "1" waits; anything else is off.
  EXPECT_FALSE(bad.capture_output);
  EXPECT_FALSE(bad.capture_unused);
}

}  // namespace
