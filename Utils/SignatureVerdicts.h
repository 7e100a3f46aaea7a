// Reads the verdict on a file's signature without logging: by path, or
// through a file already open, so that what is judged is what is then
// started or loaded. VerifyFileSignature (Utils/FileUtils.h) says which
// verdict it accepts.
#pragma once

#include "Platform/files/files.h"
#include "Signing/SignatureBlock.h"

// A file that cannot be opened or read is not signed.
signing::Verdict ReadSignatureVerdict(const wchar_t* path);
signing::Verdict ReadOpenSignatureVerdict(const platform::ReadOnlyFile& file);

// Answers whether VerifyFileSignature accepts a file with this verdict: key 1 only.
bool IsAcceptedVerdict(signing::Verdict verdict);
