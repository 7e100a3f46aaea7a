#include "CallPlugins/InstallErrorRecord.h"

#include "Utils/PathUtils.h"

void InstallErrorRecord::SetErrorCode(int32_t code) {
  SetErrorCodeText("InstallError:" + std::to_string(code));
}

void InstallErrorRecord::SetErrorCodeText(const std::string& text) { errorCode = AnsiToWide(text); }

void InstallErrorRecord::SetErrorDetail(const std::wstring& text) { errorDetail = text; }
