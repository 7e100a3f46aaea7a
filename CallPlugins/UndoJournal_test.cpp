#include "CallPlugins/UndoJournal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

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
  std::string changed = text;
  changed.replace(changed.find("bin/un"), 3, "sbin");  // written by someone else
  struct Row {
    std::string text;
    std::string product;
    RecordKey key;
    const char* reason;
  };
  const std::vector<Row> rows = {
      {text.substr(0, text.size() - 1), kProduct, Key(1), "it is torn"},
      {text + "end\n", kProduct, Key(1), "it is torn"},
      {text.substr(0, text.find("item=")) + "item=path=%G1\n" + text.substr(text.find("digest=")),
       kProduct,
       Key(1),
       "it is torn"},
      {text.substr(0, text.find("item=")) + "item=path\n" + text.substr(text.find("digest=")),
       kProduct,
       Key(1),
       "it is torn"},
      {changed, kProduct, Key(1), "it is torn"},
      {UndoJournalText(kProduct.substr(1), Key(1).bytes, kBody), kProduct, Key(1), "it is torn"},
      {"taverly-resume/2\n" + text.substr(text.find('\n') + 1), kProduct, Key(1), "it is torn"},
      {text, ProductDigest("/opt/q"), Key(1), "it is for another installation path"},
      {text, kProduct, Key(2), "it was made with another key"},
      {text, kProduct, RecordKey{RecordKeyState::kMissing, L"", "", 0}, "its key cannot be used"},
  };
  for (const Row& row : rows) {
    const UndoJournalRead read = ParseUndoJournal(row.text, row.product, row.key);
    EXPECT_STREQ(RestartRecordRefusal(read.state), row.reason) << row.text;
    EXPECT_TRUE(read.body.items.empty() && read.body.state.empty()) << row.text;
  }
}

TEST(UndoJournalTest, WrittenWholeForThisAccountAndReadOnlyFromARegularFile) {
  TempFolder temp;
  // A log folder, closed to others as the run makes it (Windows: its own DACL).
  const std::string folder = temp.Join("log");
  ASSERT_TRUE(platform::PrepareLogFolder(Wide(folder)));
  const std::string file = folder + static_cast<char>(platform::kPathSeparator) + "journal.dat";
  const std::wstring path = Wide(file);
  EXPECT_EQ(ReadUndoJournal(path, kProduct, Key(1)).state, RestartRecordState::kMissing);
  uint32_t error = 0;
  ASSERT_TRUE(WriteUndoJournal(path, UndoJournalText(kProduct, Key(1).bytes, kBody), &error));
  const UndoJournalRead read = ReadUndoJournal(path, kProduct, Key(1));
  EXPECT_STREQ(RestartRecordRefusal(read.state), "it is usable");
  EXPECT_EQ(read.body.items, kBody.items);
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_EQ(ReadUndoJournal(path, kProduct, Key(1)).state, RestartRecordState::kNotRegular);
}

}  // namespace

#include "CallPlugins/UndoJournalLedger.h"

namespace {

TEST(UndoJournalTest, ALedgerReadBackIsTheLedgerWritten) {
  UndoEntry entry;
  entry.identity = std::string(64, 'a');
  entry.module_file = "mod_core.xml";
  entry.key = "3";
  entry.phase = "open_selfprotect";
  entry.path = L"/opt/p/bin/t\u00e9 \xD800x";  // a lone surrogate, on Windows
  entry.outcome = LedgerOutcome::kFailedAfterStart;
  entry.boundary = true;
  entry.step = {UndoKind::kProgram,
                L"/opt/p/x",
                L"/opt/p/un do",
                L"--k=s\u20ac\n",
                "",
                L"",
                "0;3",
                7,
                true,
                true,
                false};
  entry.undo = {UndoStatus::kUndoFailed, true, -5, 12};
  UndoLedger ledger;
  ledger.Restore(LedgerState::kRollingBack, {entry, UndoEntry()});
  const JournalBody body = JournalBodyOf(ledger);
  UndoLedger back;
  ASSERT_TRUE(RestoreLedger(body, &back));
  EXPECT_EQ(back.state(), LedgerState::kRollingBack);
  ASSERT_EQ(back.entries().size(), 2u);
  EXPECT_EQ(JournalBodyOf(back).items, body.items);
  EXPECT_EQ(back.entries()[0].path, entry.path);
  EXPECT_EQ(back.entries()[0].step.parameters, entry.step.parameters);
  EXPECT_EQ(back.entries()[0].undo.exit_code, -5);
  // A field out of its range, missing or unknown: the journal is torn.
  for (const auto& change : std::vector<std::pair<std::string, std::string>>{
           {"timeout", "86401"}, {"outcome", "done"}, {"boundary", "2"}, {"undo_ms", "-1"}}) {
    JournalBody bad = body;
    for (auto& field : bad.items[0]) {
      if (field.first == change.first) field.second = change.second;
    }
    EXPECT_FALSE(RestoreLedger(bad, &back)) << change.first;
  }
  JournalBody short_of_one = body;
  short_of_one.items[1].pop_back();
  EXPECT_FALSE(RestoreLedger(short_of_one, &back));
  short_of_one = body;
  short_of_one.state = "paused";
  EXPECT_FALSE(RestoreLedger(short_of_one, &back));
  EXPECT_EQ(back.entries().size(), 2u);  // untouched by a refusal
}

}  // namespace
