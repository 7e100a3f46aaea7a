#include "Utils/SignatureVerdicts.h"

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
