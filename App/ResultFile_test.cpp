#include "App/ResultFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/Rollback.h"

namespace {

// "section key=value", or "section -key" for a key removed, in writing order.
std::vector<std::wstring> Lines(const std::vector<ResultValue>& form) {
  std::vector<std::wstring> lines;
  for (const ResultValue& value : form) {
    lines.push_back(std::wstring(value.section) + L" " +
                    (value.remove ? L"-" + std::wstring(value.key)
                                  : std::wstring(value.key) + L"=" + value.value));
  }
  return lines;
}

TEST(ResultFileTest, EachOutcomeWritesItsKeysInOrderAndRemovesWhatNoLongerHolds) {
  EXPECT_EQ((std::vector<std::wstring>{L"result -reboot_required",
                                       L"result -resume_after_reboot",
                                       L"result -rollback",
                                       L"result is_success=true"}),
            Lines(SuccessForm(false, RollbackCounts())));
  EXPECT_EQ(L"result reboot_required=true", Lines(SuccessForm(true, RollbackCounts()))[0]);
  RollbackCounts rollback;
  rollback.to_undo = rollback.undone = 2;
  EXPECT_EQ(L"result rollback=complete", Lines(SuccessForm(false, rollback))[2]);
  rollback.undone = 1;

  InstallErrorRecord errors;
  errors.SetErrorCode(50);
  errors.SetErrorDetail(L"detail");
  EXPECT_EQ((std::vector<std::wstring>{L"result is_success=false",
                                       L"result reboot_required=true",
                                       L"result -resume_after_reboot",
                                       L"result rollback=incomplete",
                                       L"error_info error_path=",
                                       L"error_info error_code=InstallError:50",
                                       L"error_info error_detail=detail"}),
            Lines(FailureForm(errors, true, rollback)));
  // A stop for a restart fails with an empty record and says the next run resumes.
  EXPECT_EQ((std::vector<std::wstring>{L"result is_success=false",
                                       L"result reboot_required=true",
                                       L"result resume_after_reboot=true",
                                       L"result -rollback",
                                       L"error_info error_path=",
                                       L"error_info error_code=",
                                       L"error_info error_detail="}),
            Lines(StoppedForRestartForm()));
  EXPECT_EQ(L"a  b c d", FlatResultValue(L"a\r\nb\nc\rd"));
}

}  // namespace
