// Starting and loading a file that was opened and judged, exactly as judged:
// through the open file's own final path, with the identity (volume serial
// number and file index) of what runs compared with the open file's. Private
// to Platform/*_win32.cpp and the tests beside them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Platform/job_win32.h"
#include "Platform/process.h"

namespace platform {
namespace win32 {

// Calls the test hook of SetBeforeOpenedUseForTesting, when one is set.
void RunBeforeOpenedUse();

// The system folder's own command processor, never the one ComSpec names:
// the environment of the run is no part of what the product asked for, and a
// script started by name would run in whatever ComSpec names. Empty when the
// system folder cannot be read.
std::wstring SystemCommandProcessor();

// The final path of an open file in the form programs take ("C:\...",
// "\\server\share\..."); false when the system gives none, or one of
// MAX_PATH characters or more.
bool FinalPathOf(HANDLE file, std::wstring* path);

// Answers whether path leads, now, to the same file as the open file:
// the same volume serial number and file index.
bool PathLeadsTo(const std::wstring& path, HANDLE file);

// Starts request.file, request.opened being open on it: a program (.exe,
// .com) suspended, by the open file's final path, resumed only when its
// image is that file; a command script (.bat, .cmd) in the system folder's
// cmd.exe, which inherits a copy of the open file so that nobody can write,
// rename or delete the script until the command processor ends. output, when
// not null, is the standard output and error the program inherits; a
// program with a time limit is put into job before it runs. Any other file
// gives ERROR_BAD_EXE_FORMAT, a file that would not be the judged one
// ERROR_FILE_INVALID, in result->start_error.
bool StartOpenedProgram(const ProgramRequest& request, HANDLE output, Job* job,
                        ProgramResult* result, HANDLE* process, DWORD* process_id);

// Loads the library that file is open on, as LoadOpenedLibrary says; the
// caller has kept the runtime's files from the library.
void* LoadOpenedLibraryFile(HANDLE file, DependencySearch search, uint32_t* error);

}  // namespace win32
}  // namespace platform
