#include "CallPlugins/InstallErrorRecord.h"

#include <gtest/gtest.h>

namespace {

TEST(InstallErrorRecordTest, SettersReplaceTheirFieldOnly) {
  InstallErrorRecord& record = GetInstallErrorRecord();
  EXPECT_EQ(&record, &GetInstallErrorRecord());
  SetErrorCode(50);
  EXPECT_EQ(record.errorCode, L"InstallError:50");
  SetErrorCode(-7);
  EXPECT_EQ(record.errorCode, L"InstallError:-7");
  SetErrorCodeText("GLE:2");
  EXPECT_EQ(record.errorCode, L"GLE:2");
  SetErrorCodeText("");
  EXPECT_EQ(record.errorCode, L"");
  SetErrorDetail(L"first");
  SetErrorDetail(L"second");
  EXPECT_EQ(record.errorDetail, L"second");
  EXPECT_EQ(record.errorPath, L"");
}

}  // namespace
