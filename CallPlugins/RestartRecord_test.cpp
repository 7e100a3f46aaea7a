#include "CallPlugins/RestartRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Bundle/LwBundle.h"

namespace {

const std::string kProduct = ProductDigest("/opt/p");
const std::string kA(64, 'a');

// The digests as another implementation of BLAKE2b gives them.
TEST(RestartRecordTest, NamesAndIdentitiesAreTheDigestsTheySayTheyAre) {
  EXPECT_EQ(kProduct, "090f287c0f5eb0f6ca148c4789adc645f1cab4226139be06b8f8e99f036fe517");
  EXPECT_EQ(RestartRecordName(kProduct), L"TaverlyResumeInfo.090f287c0f5eb0f6.dat");
  CLwBundle* bundle = new CLwBundle();
  bundle->AddRef();
  bundle->SetString("file", "bin/tool");
  bundle->SetString("param", "--secret=hunter2");
  std::string key;
  for (char byte = 0; byte < 32; ++byte) key += byte;
  EXPECT_EQ(ItemIdentity(key, "mod_core.xml", bundle),
            "9c3a1ea2345c367325b2cd1f6fcbc299636667d7247203968f9992099d662260");
  // Never the digest without a key ("15d690ad..."), which a guess reproduces.
  EXPECT_EQ(ItemIdentity(std::string(), "mod_core.xml", bundle), "");
  bundle->Release();
}

TEST(RestartRecordTest, OnlyTheWholeFormForThisProductIsUsable) {
  const std::string key(kRecordKeySize, '\x01');
  const std::string whole = RestartRecordText(kProduct, key, {kA, kA});
  RestartRecord record = ParseRestartRecord(whole, kProduct);
  EXPECT_EQ(record.state, RestartRecordState::kUsable);
  EXPECT_EQ(record.done, (std::map<std::string, int>{{kA, 2}}));
  EXPECT_EQ(ParseRestartRecord(whole, ProductDigest("/opt/q")).state,
            RestartRecordState::kOtherProduct);
  const std::vector<std::string> torn = {
      whole.substr(0, whole.size() - 1),
      whole + "end\n",
      "taverly-resume/1\ninstall_path=/opt/p\nitem=" + kA + "\nend\n",
      RestartRecordText(kProduct.substr(1), key, {kA}),
      RestartRecordText(kProduct, key, {std::string(64, 'A')}),
  };
  for (const std::string& text : torn) {
    EXPECT_EQ(ParseRestartRecord(text, kProduct).state, RestartRecordState::kTorn) << text;
  }
}

}  // namespace

namespace {

TEST(RestartRecordTest, TheMachinesKeyDecidesAndEachItemIsTakenOncePerEntry) {
  const std::string key(kRecordKeySize, '\x02');
  const std::string b(64, 'b');
  RestartRecord record =
      ParseRestartRecord(RestartRecordText(kProduct, key, {kA, b, kA}), kProduct);
  ASSERT_EQ(record.state, RestartRecordState::kUsable);

  RecordKey machine;
  machine.state = RecordKeyState::kUsable;
  machine.bytes = std::string(kRecordKeySize, '\x03');
  RestartRecord other = record;
  JudgeRecordKey(&other, kProduct, machine);
  EXPECT_EQ(other.state, RestartRecordState::kOtherKey);
  EXPECT_TRUE(other.done.empty());
  RestartRecord no_key = record;
  JudgeRecordKey(&no_key, kProduct, RecordKey{RecordKeyState::kTorn, L"", "", 0});
  EXPECT_EQ(no_key.state, RestartRecordState::kNoKey);

  machine.bytes = key;
  JudgeRecordKey(&record, kProduct, machine);
  ASSERT_EQ(record.state, RestartRecordState::kUsable);
  EXPECT_EQ(record.key, key);
  EXPECT_TRUE(TakeDoneItem(&record, kA));
  EXPECT_TRUE(TakeDoneItem(&record, kA));
  EXPECT_FALSE(TakeDoneItem(&record, kA));  // listed twice: two items had it
  EXPECT_TRUE(TakeDoneItem(&record, b));
  EXPECT_TRUE(record.done.empty());
  EXPECT_STREQ(RestartRecordRefusal(RestartRecordState::kOtherKey), "it was made with another key");
}

}  // namespace
