#include "CallPlugins/SignedItems.h"

#include <glog/logging.h>

#include <string>

#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/ItemSecurity.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

// Fails the item with code 52: the line at ERROR, and the same text as the
// record's detail.
bool FailItem(const std::string& line, const std::wstring& detail, ItemReport* report) {
  LOG(ERROR) << line;
  SetErrorCode(kInstallErrorNotSigned);
  SetErrorDetail(detail);
  report->status = ItemStatus::kFailed;
  return false;
}

bool FailItem(const char* text, const std::wstring& path, const std::string& tail,
              ItemReport* report) {
  return FailItem(
      text + EscapedLogText(path) + tail, AnsiToWide(text) + path + AnsiToWide(tail), report);
}

}  // namespace

bool OpenSignedItem(const ItemFacts& item, ItemKind kind, platform::ReadOnlyFile* file,
                    ItemReport* report) {
  signing::Verdict verdict = signing::kNotSigned;
  if (!OpenAndVerifyFile(item.file_path, file, &verdict)) {
    SetErrorCode(kInstallErrorNotSigned);
    SetErrorDetail(L"item not signed, file:" + item.file_path);
    report->status = ItemStatus::kFailed;
    return false;
  }
  std::string source;
  switch (JudgeSignedContent(item, kind, *file, &source)) {
    case SignedContentProblem::kNone:
      return true;
    case SignedContentProblem::kScriptRunsOn:
      return FailItem(
          "signed command script not started, it does not end before its "
          "signature, file:",
          item.file_path,
          std::string(),
          report);
    case SignedContentProblem::kUncheckedLibraries:
      return FailItem(
          "signed library not loaded, it may load libraries from outside the "
          "system folders, file:",
          item.file_path,
          " ,by: " + EscapedLogText(source),
          report);
    case SignedContentProblem::kUncheckedProgram:
      return FailItem(
          "signed program not started, it may run code from outside the system "
          "folders, file:",
          item.file_path,
          " ,by: " + EscapedLogText(source),
          report);
  }
  return true;
}

bool FailSignedStart(const ItemFacts& item, uint32_t error, ItemReport* report) {
  return FailItem("signed program not started as checked, file:",
                  item.file_path,
                  " ,error: " + std::to_string(error),
                  report);
}

bool FailSignedLoad(const ItemFacts& item, uint32_t error, ItemReport* report) {
  return FailItem("signed library not loaded as checked, file:",
                  item.file_path,
                  " ,error: " + std::to_string(error),
                  report);
}
