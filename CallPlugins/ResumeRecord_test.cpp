#include "CallPlugins/ResumeRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Bundle/LwBundle.h"

namespace {

const std::string kKey(kRecordKeySize, '\x01');
const std::string kProduct = ProductDigest("/opt/p");
const std::string kA(64, 'a'), kB(64, 'b');

RecordKey Key(const std::string& bytes, RecordKeyState state = RecordKeyState::kUsable) {
  RecordKey key;
  key.state = state;
  key.bytes = bytes;
  return key;
}

// Digests checked against another implementation of BLAKE2b (keyed and not).
TEST(ResumeRecordTest, NamesAndIdentitiesAreTheDigestsTheySayTheyAre) {
  EXPECT_EQ(kProduct, "090f287c0f5eb0f6ca148c4789adc645f1cab4226139be06b8f8e99f036fe517");
  EXPECT_EQ(ResumeRecordName(kProduct), L"TaverlyResumeInfo.090f287c0f5eb0f6.dat");

  CLwBundle* bundle = new CLwBundle();
  bundle->AddRef();
  bundle->SetString("file", "bin/tool");
  bundle->SetString("param", "--secret=hunter2");
  std::string key;
  for (char byte = 0; byte < 32; ++byte) key += byte;
  EXPECT_EQ(ItemIdentity(key, "mod_core.xml", bundle),
            "9c3a1ea2345c367325b2cd1f6fcbc299636667d7247203968f9992099d662260");
  // Without the machine's key there is no identity, never the unkeyed digest
  // ("15d690ad...") that anyone could compute from a guess.
  EXPECT_EQ(ItemIdentity(std::string(), "mod_core.xml", bundle), "");
  bundle->Release();
}

TEST(ResumeRecordTest, RecordIsUsableOnlyForItsProductAndItsKey) {
  const std::string text = ResumeRecordText(kProduct, kKey, {kA, kB, kA});
  ResumeRecord record = ParseResumeRecord(text, kProduct);
  ASSERT_EQ(record.state, ResumeState::kUsable);
  EXPECT_EQ(record.done, (std::map<std::string, int>{{kA, 2}, {kB, 1}}));
  EXPECT_EQ(ParseResumeRecord(text, ProductDigest("/opt/q")).state, ResumeState::kOtherProduct);

  struct Case {
    RecordKey key;
    ResumeState state;
  };
  const Case cases[] = {
      {Key(kKey), ResumeState::kUsable},
      {Key(std::string(kRecordKeySize, '\x02')), ResumeState::kOtherKey},
      {Key(std::string(), RecordKeyState::kMissing), ResumeState::kNoKey},
  };
  for (const Case& c : cases) {
    ResumeRecord judged = ParseResumeRecord(text, kProduct);
    JudgeRecordKey(&judged, kProduct, c.key);
    EXPECT_EQ(judged.state, c.state) << RecordKeyRefusal(c.key.state);
    EXPECT_EQ(judged.key, c.state == ResumeState::kUsable ? kKey : "");
    EXPECT_EQ(judged.done.empty(), c.state != ResumeState::kUsable);
  }
}

TEST(ResumeRecordTest, AnythingButTheWholeFormIsTorn) {
  const std::string whole = ResumeRecordText(kProduct, kKey, {kA});
  const std::string earlier = "taverly-resume/1\ninstall_path=/opt/p\nitem=" + kA + "\nend\n";
  const std::vector<std::string> torn = {
      "",
      whole.substr(0, whole.size() - 1),
      whole + "item=" + kA + "\n",
      earlier,
      ResumeRecordText(kProduct.substr(1), kKey, {kA}),
      ResumeRecordText(kProduct, kKey, {kA.substr(1)}),
      ResumeRecordText(kProduct, kKey, {std::string(64, 'A')}),
  };
  for (const std::string& text : torn) {
    EXPECT_EQ(ParseResumeRecord(text, kProduct).state, ResumeState::kTorn) << text;
  }
}

}  // namespace
