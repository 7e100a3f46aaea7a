#include "CallPlugins/InstallErrorRecord.h"

#include <gtest/gtest.h>

namespace {

TEST(InstallErrorRecordTest, SettersReplaceTheirFieldOnly) {
  InstallErrorRecord record;
  record.SetErrorCode(50);
  EXPECT_EQ(record.errorCode, L"InstallError:50");
  record.SetErrorCode(-7);
  EXPECT_EQ(record.errorCode, L"InstallError:-7");
  record.SetErrorCodeText("GLE:2");
  EXPECT_EQ(record.errorCode, L"GLE:2");
  record.SetErrorCodeText("");
  EXPECT_EQ(record.errorCode, L"");
  record.SetErrorDetail(L"first");
  record.SetErrorDetail(L"second");
  EXPECT_EQ(record.errorDetail, L"second");
  EXPECT_EQ(record.errorPath, L"");
}

}  // namespace
