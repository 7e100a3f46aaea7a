// The record of why the finishing work failed; its three texts become the
// "error_info" section of the result file. The run holds one (RunContext),
// and each step that fails is handed it.
#pragma once

#include <cstdint>
#include <string>

// Numeric install error codes.
enum InstallErrorCode : int32_t {
  kInstallErrorMissingFile = 11,
  kInstallErrorParseXml = 40,
  kInstallErrorExitCode = 50,
  kInstallErrorTimedOut = 51,          // an item's program ran past its "timeout"
  kInstallErrorNotSigned = 52,         // a signed="1" item's file does not verify or run as checked
  kInstallErrorEndedFromOutside = 53,  // a signal asked the run to end
  kInstallErrorAsUser = 54,            // an as_user item found no user, or names no known one
};

struct InstallErrorRecord {
  std::wstring errorPath;
  std::wstring errorCode;
  std::wstring errorDetail;

  // errorCode = "InstallError:" + code in decimal.
  void SetErrorCode(int32_t code);
  // errorCode = text (narrow code page) in wide form.
  void SetErrorCodeText(const std::string& text);
  // errorDetail = text.
  void SetErrorDetail(const std::wstring& text);
};
