#include "Utils/FileUtils.h"

#include <glog/logging.h>

#include <cwchar>
#include <exception>
#include <string>

#include "Platform/files/files.h"
#include "Platform/process/process.h"
#include "Signing/SignatureBlock.h"
#include "Utils/LogText.h"
#include "Utils/SignatureVerdicts.h"

namespace {

// The shell's path limit; longer names are refused before the shell sees them.
constexpr size_t kMaxShellPath = 260;

}  // namespace

bool VerifyFileSignature(const wchar_t* path) {
  signing::Verdict verdict = signing::kNotSigned;
  return VerifyFileSignature(path, &verdict);
}

bool VerifyFileSignature(const wchar_t* path, signing::Verdict* verdict) {
  *verdict = signing::kNotSigned;
  if (path == nullptr || *path == L'\0') return false;
  *verdict = ReadSignatureVerdict(path);
  if (IsAcceptedVerdict(*verdict)) return true;
  LOG(ERROR) << "file not signed,file:" << LogText(path);
  return false;
}

bool OpenAndVerifyFile(const std::wstring& path, platform::ReadOnlyFile* file,
                       signing::Verdict* verdict) {
  *verdict = signing::kNotSigned;
  if (!path.empty() && file->Open(path)) *verdict = ReadOpenSignatureVerdict(*file);
  if (IsAcceptedVerdict(*verdict)) return true;
  LOG(ERROR) << "file not signed,file:" << LogText(path);
  return false;
}

ShellOpenRefusal CheckShellOpenFile(const wchar_t* file) {
  if (file == nullptr || *file == L'\0') return ShellOpenRefusal::kNoFile;
  if (std::wcslen(file) > kMaxShellPath) return ShellOpenRefusal::kPathTooLong;
  if (!platform::PathExists(file)) return ShellOpenRefusal::kMissing;
  return ShellOpenRefusal::kNone;
}

bool ShellOpenFile(const wchar_t* file, const wchar_t* parameters, bool wait, uint32_t* exit_code) {
  if (file == nullptr) return false;
  platform::ProgramRequest request;
  request.file = file;
  request.parameters = parameters != nullptr ? parameters : L"";
  request.wait = wait;
  platform::ProgramResult result;
  const bool started = ShellOpenFile(request, &result);
  if (result.has_process && exit_code != nullptr) *exit_code = result.exit_code;
  return started;
}

bool ShellOpenFile(const platform::ProgramRequest& request, platform::ProgramResult* result) {
  *result = platform::ProgramResult();
  // The start is the one place that may fail with something other than a
  // result (memory for the argument list); it counts as a failed start.
  try {
    if (CheckShellOpenFile(request.file.c_str()) == ShellOpenRefusal::kNone) {
      *result = platform::StartProgram(request);
    }
  } catch (const std::exception&) {
    *result = platform::ProgramResult();
  }
  return result->started;
}
