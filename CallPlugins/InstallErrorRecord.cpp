#include "CallPlugins/InstallErrorRecord.h"

#include "Utils/PathUtils.h"

InstallErrorRecord& GetInstallErrorRecord() {
  static InstallErrorRecord record;
  return record;
}

void SetErrorCode(int32_t code) { SetErrorCodeText("InstallError:" + std::to_string(code)); }

void SetErrorCodeText(const std::string& text) {
  GetInstallErrorRecord().errorCode = AnsiToWide(text);
}

void SetErrorDetail(const std::wstring& text) { GetInstallErrorRecord().errorDetail = text; }
