#include "App/RunReportFile.h"

#include <glog/logging.h>

#include "App/app.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/RunReport.h"
#include "Platform/platform.h"
#include "Utils/LogText.h"

void WriteRunReport(bool final) {
  const std::wstring path = App::Instance().GetRunReportPath();
  const std::string json = RunReportJson(GetRunRecord(), GetInstallErrorRecord());
  uint32_t error = 0;
  // Only the last write says that it failed: a progress report that could
  // not be written is replaced by the next one, and the log gets one line.
  if (!platform::ReplaceFileContent(path, json, final, &error) && final) {
    LOG(ERROR) << "run report cannot be written, path: " << LogText(path) << ", GLE: " << error;
  }
}
