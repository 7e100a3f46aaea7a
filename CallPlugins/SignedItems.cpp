#include "CallPlugins/SignedItems.h"

#include <glog/logging.h>

#include <string>

#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/ItemSecurity.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

// Fails the item with code 52: the line at ERROR, and the same text as the
// record's detail.
bool FailItem(InstallErrorRecord& errors, const std::string& line, const std::wstring& detail,
              ItemReport* report) {
  LOG(ERROR) << line;
  errors.SetErrorCode(kInstallErrorNotSigned);
  errors.SetErrorDetail(detail);
  report->status = ItemStatus::kFailed;
  return false;
}

bool FailItem(InstallErrorRecord& errors, const char* text, const std::wstring& path,
              const std::string& tail, ItemReport* report) {
  return FailItem(errors,
                  text + EscapedLogText(path) + tail,
                  AnsiToWide(text) + path + AnsiToWide(tail),
                  report);
}

}  // namespace

bool OpenSignedItem(ItemSystem& system, InstallErrorRecord& errors, const Item& item,
                    platform::ReadOnlyFile* file, ItemReport* report) {
  if (!system.OpenSigned(item.path, file)) {
    errors.SetErrorCode(kInstallErrorNotSigned);
    errors.SetErrorDetail(L"item not signed, file:" + item.path);
    report->status = ItemStatus::kFailed;
    report->not_signed = true;
    return false;
  }
  std::string source;
  switch (system.JudgeContent(item, *file, &source)) {
    case SignedContentProblem::kNone:
      return true;
    case SignedContentProblem::kScriptRunsOn:
      return FailItem(errors,
                      "signed command script not started, it does not end before its "
                      "signature, file:",
                      item.path,
                      std::string(),
                      report);
    case SignedContentProblem::kUncheckedLibraries:
      return FailItem(errors,
                      "signed library not loaded, it may load libraries from outside the "
                      "system folders, file:",
                      item.path,
                      " ,by: " + EscapedLogText(source),
                      report);
    case SignedContentProblem::kUncheckedProgram:
      return FailItem(errors,
                      "signed program not started, it may run code from outside the system "
                      "folders, file:",
                      item.path,
                      " ,by: " + EscapedLogText(source),
                      report);
  }
  return true;
}

bool FailSignedStart(InstallErrorRecord& errors, const Item& item, uint32_t error,
                     ItemReport* report) {
  return FailItem(errors,
                  "signed program not started as checked, file:",
                  item.path,
                  " ,error: " + std::to_string(error),
                  report);
}

bool FailSignedLoad(InstallErrorRecord& errors, const Item& item, uint32_t error,
                    ItemReport* report) {
  return FailItem(errors,
                  "signed library not loaded as checked, file:",
                  item.path,
                  " ,error: " + std::to_string(error),
                  report);
}
