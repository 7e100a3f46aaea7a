#include "Utils/FileUtils.h"

#include <glog/logging.h>

#include <cwchar>
#include <exception>
#include <string>

#include "Platform/platform.h"
#include "Platform/process.h"
#include "Signing/SignatureBlock.h"
#include "Utils/LogText.h"

namespace {

// The shell's path limit; longer names are refused before the shell sees them.
constexpr size_t kMaxShellPath = 260;

}  // namespace

signing::Verdict ReadSignatureVerdict(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return signing::kNotSigned;
  platform::ReadOnlyFile file;
  if (!file.Open(path)) return signing::kNotSigned;
  return ReadOpenSignatureVerdict(file);
}

signing::Verdict ReadOpenSignatureVerdict(const platform::ReadOnlyFile& file) {
  uint64_t size = 0;
  if (!file.Size(&size)) return signing::kNotSigned;
  signing::Verdict verdict = signing::kNotSigned;
  const auto read = [&file](uint64_t offset, void* buffer, size_t count) {
    return file.ReadAt(offset, buffer, count);
  };
  if (!signing::JudgeFile(size, read, signing::BuiltInPublicKeys(), &verdict)) {
    return signing::kNotSigned;
  }
  return verdict;
}

bool IsAcceptedVerdict(signing::Verdict verdict) { return verdict == signing::kValidKey1; }

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

bool ShellOpenFile(const wchar_t* file, const wchar_t* parameters, bool wait, uint32_t* exit_code,
                   const ShellStartOptions& options, platform::ProgramResult* result) {
  platform::ProgramResult started;
  // The start is the one place that may fail with something other than a
  // result (memory for the argument list); it counts as a failed start.
  try {
    if (CheckShellOpenFile(file) == ShellOpenRefusal::kNone) {
      platform::ProgramRequest request;
      request.file = file;
      request.parameters = parameters != nullptr ? parameters : L"";
      request.wait = wait;
      request.timeout_ms = options.timeout_seconds * 1000u;
      request.capture_output = options.capture_output;
      request.while_waiting = options.while_waiting;
      request.opened = options.opened;
      started = platform::StartProgram(request);
    }
  } catch (const std::exception&) {
    started = platform::ProgramResult();
  }
  if (result != nullptr) *result = started;
  if (started.has_process && exit_code != nullptr) *exit_code = started.exit_code;
  return started.started;
}
