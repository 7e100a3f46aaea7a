#include "CallPlugins/Item.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CallPlugins/RunContext.h"
#include "CallPlugins/RunModel.h"
#include "Platform/system/system.h"
#include "tests/support/builders.h"
#include "tests/support/platform_facts.h"

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

Item Parsed(const Attributes& attributes) {
  Bundle bundle(attributes);
  return ParseItem(bundle.get(), L"/P");
}

// A waited-for Exe item with the extra attributes.
Item WaitedExe(Attributes extra) {
  extra.insert({{"type", "Exe"}, {"file", "bin/tool.exe"}, {"wait_for_exit", "1"}});
  return Parsed(extra);
}

std::vector<int32_t> Values(const std::vector<ExpectedCode>& codes) {
  std::vector<int32_t> values;
  for (const ExpectedCode& code : codes) values.push_back(code.value);
  return values;
}

TEST(ItemTest, AttributesReadAsTextAndAnythingElseAsEmpty) {
  Bundle bundle(Attributes{{"type", "Exe"}, {"param", ""}});
  EXPECT_EQ("Exe", ReadItemAttribute(bundle.get(), "type"));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), "param"));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), "file"));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), ""));
  EXPECT_EQ("", ReadItemAttribute(bundle.get(), nullptr));
  EXPECT_EQ("", ReadItemAttribute(nullptr, "type"));
}

TEST(ItemTest, ProductPathIsSubstitutedOnceAndExactly) {
  EXPECT_EQ(L"C:\\P\\a C:\\P\\b",
            SubstituteProductPath(L"%productpath%\\a %productpath%\\b", L"C:\\P"));
  EXPECT_EQ(L"%PRODUCTPATH% x", SubstituteProductPath(L"%PRODUCTPATH% x", L"C:\\P"));
  // A folder that holds the token is inserted once and not expanded again.
  EXPECT_EQ(L"/%productpath%/x", SubstituteProductPath(L"%productpath%/x", L"/%productpath%"));
  EXPECT_EQ(L"", SubstituteProductPath(L"%productpath%", L""));
  EXPECT_EQ(L"%productpath", SubstituteProductPath(L"%productpath", L"/p"));
}

TEST(ItemTest, TheCommonStepsReadEveryItem) {
  const Item item = Parsed({{"file", "bin/tool"},
                            {"type", "Exe"},
                            {"exitcode", "0;;3010;"},
                            {"param", "/i %productpath%/c"}});
  EXPECT_EQ("bin/tool", item.file);
  EXPECT_EQ(JoinPath(L"/P", L"bin/tool"), item.path);
  EXPECT_EQ(ItemKind::kExe, item.kind);
  EXPECT_TRUE(item.has_expectation);
  EXPECT_EQ((std::vector<int32_t>{0, 3010}), Values(item.expected_codes));
  EXPECT_EQ("/i %productpath%/c", item.param);
  EXPECT_EQ(L"/i /P/c", item.parameters);
  EXPECT_TRUE(item.Accepts(3010));
  EXPECT_FALSE(item.Accepts(1));

  // Separators alone still make an expectation, with no code in it.
  const Item separators = Parsed({{"file", "x"}, {"exitcode", ";"}});
  EXPECT_TRUE(separators.has_expectation);
  EXPECT_TRUE(separators.expected_codes.empty());
  EXPECT_FALSE(separators.Accepts(0));
  const Item bare = Parsed({{"file", "x"}});
  EXPECT_FALSE(bare.has_expectation);
  EXPECT_TRUE(bare.Accepts(0xFFFFFFFFu));
  EXPECT_EQ(L"", bare.parameters);
  EXPECT_EQ(ItemKind::kSkipped, bare.kind);

  for (const char* type : {"exe", "EXE", "Exe ", "simpledll", "Dll", ""}) {
    EXPECT_EQ(ItemKind::kSkipped, ItemKindOf(type)) << type;
  }
  EXPECT_EQ(ItemKind::kSimpleDll, ItemKindOf("SimpleDll"));
}

// Each text of an attribute against what the item makes of it, for an Exe
// item that waits, one that does not and a library item.
TEST(ItemTest, TimeoutServesWaitedForExeItemsWithWholeSecondsFromOneToADay) {
  const struct {
    const char* text;
    uint32_t seconds;
    Unused unused;
  } cases[] = {
      {"", 0, Unused::kNo},
      {"1", 1, Unused::kNo},
      {"86400", 86400, Unused::kNo},
      {"030", 30, Unused::kNo},
      {"0", 0, Unused::kBadValue},
      {"86401", 0, Unused::kBadValue},
      {"5 ", 0, Unused::kBadValue},
      {" 5", 0, Unused::kBadValue},
      {"+5", 0, Unused::kBadValue},
      {"-5", 0, Unused::kBadValue},
      {"soon", 0, Unused::kBadValue},
      {"1e3", 0, Unused::kBadValue},
      {"99999999999999999999", 0, Unused::kBadValue},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Item item = WaitedExe({{"timeout", c.text}});
    EXPECT_EQ(c.seconds, item.timeout_seconds);
    EXPECT_EQ(c.unused, item.UnusedWhy("timeout"));
  }
  // A bad text is bad whether the item waits or not; a good one waits.
  EXPECT_EQ(Unused::kBadValue, Parsed({{"type", "Exe"}, {"timeout", "soon"}}).UnusedWhy("timeout"));
  const Item not_waited = Parsed({{"type", "Exe"}, {"timeout", "30"}});
  EXPECT_EQ(Unused::kNotWaited, not_waited.UnusedWhy("timeout"));
  EXPECT_EQ(0u, not_waited.timeout_seconds);
  const Item library = Parsed({{"type", "SimpleDll"}, {"wait_for_exit", "1"}, {"timeout", "30"}});
  EXPECT_EQ(Unused::kNotExe, library.UnusedWhy("timeout"));
  EXPECT_FALSE(library.wait);
}

TEST(ItemTest, LogOutputOneCapturesWhatAWaitedForProgramWrites) {
  EXPECT_TRUE(WaitedExe({{"log_output", "1"}}).capture_output);
  for (const char* text : {"", "0"}) {
    EXPECT_EQ(Unused::kNo, WaitedExe({{"log_output", text}}).UnusedWhy("log_output")) << text;
  }
  const Item yes = WaitedExe({{"log_output", "yes"}});
  EXPECT_EQ(Unused::kBadValue, yes.UnusedWhy("log_output"));
  EXPECT_FALSE(yes.capture_output);
  EXPECT_EQ(Unused::kNotWaited,
            Parsed({{"type", "Exe"}, {"log_output", "1"}}).UnusedWhy("log_output"));
  EXPECT_EQ(Unused::kNotExe,
            Parsed({{"type", "SimpleDll"}, {"log_output", "0"}}).UnusedWhy("log_output"));
  const Item document = Parsed(
      {{"type", "Exe"}, {"file", "readme.txt"}, {"wait_for_exit", "1"}, {"log_output", "1"}});
  EXPECT_EQ(platform_facts::kCapturesDocumentOutput, document.capture_output);
  EXPECT_EQ(platform_facts::kCapturesDocumentOutput ? Unused::kNo : Unused::kCannotCapture,
            document.UnusedWhy("log_output"));
}

TEST(ItemTest, OnlyTheTextOneTurnsAnAttributeOn) {
  const Item off = WaitedExe({{"sensitive", "true"}, {"signed", "yes"}, {"system", "01"}});
  EXPECT_FALSE(off.sensitive);
  EXPECT_FALSE(off.signed_item);
  EXPECT_EQ(SystemRequirement::kNone, off.system_requirement);
  EXPECT_FALSE(Parsed({{"type", "Exe"}, {"wait_for_exit", "true"}}).wait);

  const Item on = WaitedExe(
      {{"sensitive", "1"}, {"signed", "1"}, {"system", "1"}, {"param", "--key=%productpath%"}});
  EXPECT_TRUE(on.wait);
  EXPECT_TRUE(on.sensitive);
  EXPECT_TRUE(on.signed_item);
  EXPECT_EQ(SystemRequirement::kSystemAccount, on.system_requirement);
  EXPECT_EQ(L"--key=/P", on.parameters);  // what the program gets
  EXPECT_EQ(L"***", on.ShownParameters());
  // Program texts that are not used are hidden as the parameters are; other texts are not.
  const Item hidden = WaitedExe(
      {{"sensitive", "1"}, {"undo", "\"\" --key"}, {"if_program", "\"\" --key"}, {"timeout", "x"}});
  ASSERT_EQ(3u, hidden.unused.size());
  for (const UnusedAttribute& unused : hidden.unused) {
    EXPECT_EQ(std::string(unused.name) == "timeout" ? "x" : "***", hidden.ShownText(unused));
  }
  EXPECT_EQ(SystemRequirement::kOtherAccount, WaitedExe({{"system", "0"}}).system_requirement);

  // A library item is signed like a program; the rest serves programs only.
  const Item library = Parsed({{"type", "SimpleDll"},
                               {"sensitive", "1"},
                               {"signed", "1"},
                               {"system", "1"},
                               {"entry", "Register"},
                               {"param", "x"}});
  EXPECT_TRUE(library.signed_item);
  EXPECT_FALSE(library.sensitive);
  EXPECT_EQ(L"x", library.ShownParameters());
  EXPECT_EQ(SystemRequirement::kNone, library.system_requirement);
  EXPECT_EQ("1", library.system);
  EXPECT_EQ("Register", library.entry);
}

TEST(ItemTest, SystemGateHoldsForOneAndZeroOnly) {
  const struct {
    SystemRequirement requirement;
    bool system_account;
    SystemGate gate;
  } cases[] = {
      {SystemRequirement::kSystemAccount, false, SystemGate::kSkipNeedsSystem},
      {SystemRequirement::kSystemAccount, true, SystemGate::kRun},
      {SystemRequirement::kOtherAccount, true, SystemGate::kSkipNeedsOtherAccount},
      {SystemRequirement::kOtherAccount, false, SystemGate::kRun},
      {SystemRequirement::kNone, true, SystemGate::kRun},
      {SystemRequirement::kNone, false, SystemGate::kRun},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.gate, DecideSystemGate(c.requirement, c.system_account));
  }
}

TEST(ItemTest, RestartCodesServeWaitedForExeItemsAndReadLikeExpectedCodes) {
  const Item item = WaitedExe({{"reboot_exitcode", ";3010;;1641;abc"}});
  EXPECT_EQ((std::vector<int32_t>{3010, 1641, 0}), Values(item.restart_codes));  // as atoi
  EXPECT_EQ(Unused::kNo, item.UnusedWhy("reboot_exitcode"));
  EXPECT_TRUE(item.AsksForRestart(1641));
  EXPECT_TRUE(item.AsksForRestart(0));
  EXPECT_FALSE(item.AsksForRestart(1));
  EXPECT_TRUE(WaitedExe({{"reboot_exitcode", "-1"}}).AsksForRestart(0xFFFFFFFFu));
  EXPECT_FALSE(WaitedExe({{"reboot_exitcode", ";"}}).AsksForRestart(0));

  const Item not_waited = Parsed({{"type", "Exe"}, {"reboot_exitcode", "3010"}});
  EXPECT_EQ(Unused::kNotWaited, not_waited.UnusedWhy("reboot_exitcode"));
  EXPECT_FALSE(not_waited.AsksForRestart(3010));
  EXPECT_EQ((std::vector<int32_t>{3010}), Values(not_waited.restart_codes));  // still shown
  EXPECT_EQ(
      Unused::kNotExe,
      Parsed({{"type", "SimpleDll"}, {"reboot_exitcode", "3010"}}).UnusedWhy("reboot_exitcode"));
}

TEST(ItemTest, ExitCodesAreJudgedRestartNowRestartRetryAcceptedRefused) {
  const Item item = WaitedExe({{"exitcode", "0;5"},
                               {"reboot_exitcode", "3010;7"},
                               {"retry_exitcode", "5;7;9"},
                               {"reboot_now_exitcode", "1641;7"}});
  const struct {
    bool has_process;
    uint32_t code;
    bool retries_left;
    CodeClass expected;
  } cases[] = {
      {true, 1641, true, CodeClass::kRestartNow},
      {true, 7, true, CodeClass::kRestartNow},  // listed three times: the first class decides
      {true, 3010, true, CodeClass::kRestart},
      {true, 5, true, CodeClass::kRetry},
      {true, 5, false, CodeClass::kAccepted},  // no attempt left: "exitcode" decides
      {true, 9, false, CodeClass::kRefused},
      {true, 0, true, CodeClass::kAccepted},
      {false, 1641, true, CodeClass::kRefused},  // no process: only 0xFFFFFFFF is judged
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(c.expected, ClassOfExitCode(item, c.has_process, c.code, c.retries_left));
  }
  EXPECT_EQ(CodeClass::kAccepted,
            ClassOfExitCode(WaitedExe({{"exitcode", "-1"}}), false, 0, false));
  // Without an expectation any code is accepted; a program not waited for has no classes.
  const Item plain =
      Parsed({{"type", "Exe"}, {"reboot_now_exitcode", "1"}, {"retry_exitcode", "2"}});
  EXPECT_EQ(CodeClass::kAccepted, ClassOfExitCode(plain, true, 1, true));
  EXPECT_EQ(CodeClass::kAccepted, ClassOfExitCode(plain, true, 2, true));
  EXPECT_EQ(2u, plain.unused.size());
}

TEST(ItemTest, FolderAndSecurityBasePathsArePlainJoins) {
  RunContext run;
  EXPECT_EQ(L"", run.product_folder());
  run.SetInstallPath("/opt/p");
  EXPECT_EQ(L"/opt/p", run.product_folder());
  EXPECT_EQ(JoinPath(L"/opt/p", platform::kSecurityBaseLibrary), SecurityBasePath(L"/opt/p"));
  // A folder that ends in a separator keeps it: two separators in a row.
  const std::wstring trailing = std::wstring(L"/opt/p") + platform::kPathSeparator;
  EXPECT_EQ(JoinPath(trailing, platform::kSecurityBaseLibrary), SecurityBasePath(trailing));
  EXPECT_EQ(trailing + platform::kPathSeparator + L"bin", ItemFilePath(trailing, "bin"));
}

TEST(ItemTest, UndoAttributesAreReadWithTheirRulesAndSayWhenNotUsed) {
  struct Case {
    Attributes attributes;
    const char* unused;  // the attribute not used, with kBadValue unless said
    Unused why;
  };
  const Case cases[] = {
      {{{"undo", "  "}}, "undo", Unused::kBadValue},
      {{{"undo_entry", "Unregister"}}, "undo_entry", Unused::kNotLibrary},
      {{{"undo_timeout", "86401"}}, "undo_timeout", Unused::kBadValue},
      {{{"rollback_boundary", "yes"}}, "rollback_boundary", Unused::kBadValue},
      {{{"undo_exitcode", ";"}}, "undo_exitcode", Unused::kBadValue},
      {{{"undo_exitcode", "0;3 x"}}, "undo_exitcode", Unused::kBadValue},
  };
  for (const Case& c : cases) {
    const Item item = WaitedExe(c.attributes);
    EXPECT_EQ(c.why, item.UnusedWhy(c.unused)) << c.unused;
    EXPECT_EQ(1u, item.unused.size()) << c.unused;
    EXPECT_EQ(std::vector<int32_t>{0}, Values(item.undo.expected_codes)) << c.unused;
  }
  const Item exe = WaitedExe({{"undo", "\"bin/un do\" --all %productpath%"},
                              {"undo_exitcode", "0; 3010"},
                              {"undo_timeout", "30"},
                              {"rollback_boundary", "1"}});
  EXPECT_TRUE(exe.unused.empty());
  EXPECT_EQ(JoinPath(L"/P", L"bin/un do"), exe.undo.program_path);
  EXPECT_EQ(L"--all /P", exe.undo.program_parameters);
  EXPECT_EQ((std::vector<int32_t>{0, 3010}), Values(exe.undo.expected_codes));
  EXPECT_TRUE(exe.undo.boundary && exe.undo.Any() && exe.undo.timeout_seconds == 30);
  const Item library = Parsed(
      {{"type", "SimpleDll"}, {"file", "l.so"}, {"undo_entry", "Unregister"}, {"undo", "x"}});
  EXPECT_EQ("Unregister", library.undo.entry);
  EXPECT_EQ(Unused::kEntryUndoes, library.UnusedWhy("undo"));
}

}  // namespace
