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
      {text.substr(0, text.find("item=")) + "item=path=%G1\n" +
           text.substr(text.find("digest=")),
       kProduct, Key(1), "it is torn"},
      {text.substr(0, text.find("item=")) + "item=path\n" + text.substr(text.find("digest=")),
       kProduct, Key(1), "it is torn"},
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
