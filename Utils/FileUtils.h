// Checks the product's signature on a file before the program trusts it, and
// starts programs of the product through the shell's "open" action.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/process/process.h"
#include "Signing/SignatureBlock.h"

// Answers whether path carries a valid signature made with key 1; any other
// outcome (no or broken signature, changed content, key 0, unreadable file)
// is logged as "file not signed,file:<path>". A null or empty path gives
// false without a log line.
bool VerifyFileSignature(const wchar_t* path);
// The same, handing back the verdict.
bool VerifyFileSignature(const wchar_t* path, signing::Verdict* verdict);
// Opens path once into file (regular files only, never blocking; Windows:
// sharing no write or delete access) and judges the signature through that
// open file, as VerifyFileSignature does, with its line. A file that cannot
// be opened is not signed; file stays open either way when it could be, so
// the caller starts or loads exactly what was judged.
bool OpenAndVerifyFile(const std::wstring& path, platform::ReadOnlyFile* file,
                       signing::Verdict* verdict);

// Starts file with parameters (may be null) through the shell's "open"
// action; with wait, blocks until the started process ends. Stores the
// process's exit code (259 while it still runs) when exit_code is not null.
// False when file is null, empty, longer than 260 characters or missing, or
// when nothing could be started.
bool ShellOpenFile(const wchar_t* file, const wchar_t* parameters, bool wait, uint32_t* exit_code);
// The same for a whole request (a time limit, output capture, an open file:
// Platform/process/process.h), handing back all the platform tells of the start.
bool ShellOpenFile(const platform::ProgramRequest& request, platform::ProgramResult* result);

// Why ShellOpenFile gives up on a file before asking the platform to start it.
enum class ShellOpenRefusal {
  kNone,         // it goes on to start the file
  kNoFile,       // null or empty name
  kPathTooLong,  // longer than 260 characters
  kMissing,      // nothing exists there
};
ShellOpenRefusal CheckShellOpenFile(const wchar_t* file);
