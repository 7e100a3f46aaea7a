#include "CallPlugins/UndoJournal.h"

#include <gtest/gtest.h>

#include "CallPlugins/UndoJournalLedger.h"

namespace {

const std::string kProduct = ProductDigest("/opt/p");

RecordKey Key(char byte) {
  return RecordKey{RecordKeyState::kUsable, L"", std::string(kRecordKeySize, byte), 0};
}

const JournalBody kBody = {
    "running",
    {{{"path", "bin/un do"}, {"param", "--x=%1\n[result]\r\t\xc3\xa9"}, {"entry", ""}},
     {{"boundary", "1"}}}};

TEST(UndoJournalTest, WhatIsWrittenReadsBackAsItWasAndNoValueEndsALine) {
  EXPECT_EQ(UndoJournalName(kProduct), L"TaverlyUndoJournal.090f287c0f5eb0f6.dat");
  const std::string text = UndoJournalText(kProduct, Key(1).bytes, kBody);
  const std::string item =
      "item=path=bin/un%20do param=--x=%251%0A[result]%0D%09%C3%A9 entry=\nitem=boundary=1\n";
  EXPECT_NE(text.find("\nstate=running\n" + item + "digest="), std::string::npos) << text;
  const UndoJournalRead read = ParseUndoJournal(text, kProduct, Key(1));
  ASSERT_EQ(read.state, RestartRecordState::kUsable);
  EXPECT_EQ(read.body.state, kBody.state);
  EXPECT_EQ(read.body.items, kBody.items);
}

TEST(UndoJournalTest, EachRefusalIsTheRestartRecordsReason) {
  const std::string text = UndoJournalText(kProduct, Key(1).bytes, kBody);
  const auto items = [&](const std::string& lines) {
    return text.substr(0, text.find("item=")) + lines + text.substr(text.find("digest="));
  };
  std::string changed = text;
  changed.replace(changed.find("bin/un"), 3, "sbin");  // written by someone else
  const std::vector<std::string> torn = {text.substr(0, text.size() - 1),
                                         text + "end\n",
                                         items("item=path=%G1\n"),
                                         items("item=path\n"),
                                         UndoJournalText(kProduct.substr(1), Key(1).bytes, kBody),
                                         "taverly-resume/2\n" + text.substr(text.find('\n') + 1)};
  for (const std::string& row : torn) {
    const UndoJournalRead read = ParseUndoJournal(row, kProduct, Key(1));
    EXPECT_STREQ(RestartRecordRefusal(read.state), "it is torn") << row;
    EXPECT_TRUE(read.body.items.empty() && read.body.state.empty()) << row;
  }
  EXPECT_STREQ(RestartRecordRefusal(ParseUndoJournal(changed, kProduct, Key(1)).state),
               "it was changed after it was written");
  EXPECT_STREQ(RestartRecordRefusal(ParseUndoJournal(text, ProductDigest("/q"), Key(1)).state),
               "it is for another installation path");
  EXPECT_STREQ(RestartRecordRefusal(ParseUndoJournal(text, kProduct, Key(2)).state),
               "it was made with another key");
  EXPECT_STREQ(RestartRecordRefusal(ParseUndoJournal(text, kProduct, RecordKey()).state),
               "its key cannot be used");
}

TEST(UndoJournalTest, ALedgerReadBackIsTheLedgerWritten) {
  UndoEntry entry;
  entry.identity = std::string(64, 'a');
  entry.key = "3";
  entry.path = L"/opt/p/bin/t\u00e9 \xD800x";  // a lone surrogate, on Windows
  entry.outcome = LedgerOutcome::kFailedAfterStart;
  entry.boundary = true;
  UndoStep& step = entry.step;
  step.kind = UndoKind::kProgram;
  step.program = L"/opt/p/un do";
  step.parameters = L"--k=s\u20ac\n";
  step.exit_codes = "0;3";
  step.timeout_seconds = 7;
  step.signed_file = step.sensitive = true;
  entry.undo = {UndoStatus::kUndoFailed, true, -5, 12};
  UndoLedger ledger;
  ledger.Restore(LedgerState::kRollingBack, {entry, UndoEntry()});
  const JournalBody body = JournalBodyOf(ledger);
  UndoLedger back;
  ASSERT_TRUE(RestoreLedger(body, &back));
  EXPECT_EQ(back.state(), LedgerState::kRollingBack);
  ASSERT_EQ(back.entries().size(), 2u);
  EXPECT_EQ(JournalBodyOf(back).items, body.items);  // every field, the surrogate too
  // A field out of its range, missing or unknown, an unknown state: torn.
  for (const auto& change : std::vector<std::pair<std::string, std::string>>{{"timeout", "86401"},
                                                                             {"outcome", "done"},
                                                                             {"boundary", "2"},
                                                                             {"undo_ms", "-1"},
                                                                             {"missing", ""},
                                                                             {"state", "paused"}}) {
    JournalBody bad = body;
    bad.state = change.first == "state" ? change.second : bad.state;
    if (change.first == "missing") bad.items[1].pop_back();
    for (auto& field : bad.items[0]) {
      if (field.first == change.first) field.second = change.second;
    }
    EXPECT_FALSE(RestoreLedger(bad, &back)) << change.first;
  }
  EXPECT_EQ(back.entries().size(), 2u);  // untouched by a refusal
}

}  // namespace
