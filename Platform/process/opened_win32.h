// Starting and loading a file that was opened and judged, exactly as judged:
// through the open file's own final path, with the identity (volume serial
// number and file index) of what runs compared with the open file's. Private
// to Platform/*_win32.cpp and the tests beside them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Platform/process/process.h"
#include "Platform/process/process_win32.h"

namespace platform {
namespace win32 {

// The longest path the wide calls give (\\?\ paths included).
constexpr DWORD kLongestPath = 32768;

// Calls the test hook of SetBeforeOpenedUseForTesting, when one is set.
void RunBeforeOpenedUse();

// What a file is, wherever a name leads: its volume and index.
struct FileId {
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index_high == other.index_high && index_low == other.index_low;
  }
};
bool IdOf(HANDLE file, FileId* id);
// The identity of an open file (regular when it is a file on a disk).
void IdentityOf(HANDLE file, FileIdentity* identity);
// Whether path leads to the file with id now.
bool PathHasId(const std::wstring& path, const FileId& id);

// The final path of an open file in the form programs take ("C:\...",
// "\\server\share\..."); false when the system gives none, or one of
// MAX_PATH characters or more.
bool FinalPathOf(HANDLE file, std::wstring* path);

// Answers whether path leads, now, to the same file as the open file:
// the same volume serial number and file index.
bool PathLeadsTo(const std::wstring& path, HANDLE file);

// Creates the process of request.file, request.opened being open on it,
// suspended: a program (.exe, .com) by the open file's final path, kept only
// when its image is that file; a command script (.bat, .cmd) in the system
// folder's cmd.exe, which inherits a copy of the open file so that nobody
// can write, rename or delete the script until the command processor ends.
// output, when not null, is the standard output and error the program
// inherits; account is whom it runs as. Any other file gives
// ERROR_BAD_EXE_FORMAT, a file that would not be the judged one
// ERROR_FILE_INVALID.
bool CreateOpenedProgram(const ProgramRequest& request, HANDLE output, const Account& account,
                         Suspended* started, uint32_t* error);

}  // namespace win32
}  // namespace platform
