// Checks the product's signature on a file before the program trusts it, and
// starts programs of the product through the shell's "open" action.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Platform/process.h"
#include "Signing/SignatureBlock.h"

// Answers whether path carries a valid signature made with key 1; any other
// outcome (no or broken signature, changed content, key 0, unreadable file)
// is logged as "file not signed,file:<path>". A null or empty path gives
// false without a log line.
bool VerifyFileSignature(const wchar_t* path);
// The same, handing back the verdict.
bool VerifyFileSignature(const wchar_t* path, signing::Verdict* verdict);

// Returns the verdict on path's signature without logging; a file that cannot
// be read is not signed.
signing::Verdict ReadSignatureVerdict(const wchar_t* path);
// Opens path once into file (regular files only, never blocking; Windows:
// sharing no write or delete access) and judges the signature through that
// open file, as VerifyFileSignature does, with its line. A file that cannot
// be opened is not signed; file stays open either way when it could be, so
// the caller starts or loads exactly what was judged.
bool OpenAndVerifyFile(const std::wstring& path, platform::ReadOnlyFile* file,
                       signing::Verdict* verdict);
// The verdict on an open file's signature, without logging.
signing::Verdict ReadOpenSignatureVerdict(const platform::ReadOnlyFile& file);

// Answers whether VerifyFileSignature accepts a file with this verdict.
bool IsAcceptedVerdict(signing::Verdict verdict);

// What a start may add: a time limit and output capture for a program that
// is waited for (Platform/process.h says what each does), and a call now and
// then while the program runs.
struct ShellStartOptions {
  uint32_t timeout_seconds = 0;  // 0: none
  bool capture_output = false;
  std::function<void()> while_waiting;
  // The program's file, open and judged: exactly it is started
  // (ProgramRequest::opened).
  const platform::ReadOnlyFile* opened = nullptr;
};

// Starts file with parameters (may be null) through the shell's "open"
// action; with wait, blocks until the started process ends. Stores the
// process's exit code (259 while it still runs) when exit_code is not null,
// and all the platform tells of the start in result when that is not null.
// False when file is null, empty, longer than 260 characters or missing, or
// when nothing could be started.
bool ShellOpenFile(const wchar_t* file, const wchar_t* parameters, bool wait, uint32_t* exit_code,
                   const ShellStartOptions& options = ShellStartOptions(),
                   platform::ProgramResult* result = nullptr);

// Why ShellOpenFile gives up on a file before asking the platform to start it.
enum class ShellOpenRefusal {
  kNone,         // it goes on to start the file
  kNoFile,       // null or empty name
  kPathTooLong,  // longer than 260 characters
  kMissing,      // nothing exists there
};
ShellOpenRefusal CheckShellOpenFile(const wchar_t* file);
