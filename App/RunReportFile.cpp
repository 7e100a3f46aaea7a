#include "App/RunReportFile.h"

#include <glog/logging.h>

#include "CallPlugins/RunContext.h"
#include "CallPlugins/RunReport.h"
#include "Platform/files/files.h"
#include "Utils/LogText.h"

bool WriteRunReport(const RunContext& run, bool final) {
  const std::wstring& path = run.report_file;
  const std::string json = RunReportJson(run);
  uint32_t error = 0;
  // Only the last write says that it failed: a progress report that could
  // not be written is replaced by the next one, and the log gets one line.
  if (platform::ReplaceFileContent(path, json, final, &error)) return true;
  if (final) {
    LOG(ERROR) << "run report cannot be written, path: " << LogText(path) << ", GLE: " << error;
  }
  return false;
}

void RemoveOutdatedRunReport(const std::wstring& path) {
  uint32_t error = 0;
  switch (platform::RemoveProfileFile(path, &error)) {
    case platform::RemoveOutcome::kFailed:
      LOG(ERROR) << "run report could not be removed, path: " << LogText(path)
                 << ", GLE: " << error;
      break;
    case platform::RemoveOutcome::kRemoved:
    case platform::RemoveOutcome::kNothing:
      break;
  }
}
