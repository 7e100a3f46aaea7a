// The narrow platform layer, the system's side: the process's own facts, its
// privileges, text conversion and environment, one function per need.
// platform_win32.cpp and platform_posix.cpp implement it; the files and
// folders are files/files.h, starting programs and loading libraries
// process/process.h.
// No file outside Platform/ includes an operating-system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Joins folder and name in every path the program forms ("\" or "/").
extern const wchar_t kPathSeparator;
// Separates the entries of PATH (";" or ":").
extern const char kPathListSeparator;
// File name of the product's security-base library in the product folder.
extern const wchar_t kSecurityBaseLibrary[];
// Whether the system's programs and libraries are PE images (Windows), or
// ELF images and "#!" scripts (POSIX).
extern const bool kPeImages;
// The ANSI code page in which narrow text (the command line, module-file
// attribute values) is read (Windows, GetACP); 0 where narrow text is UTF-8
// (POSIX).
uint32_t AnsiCodePage();
// The system error number of "file not found".
constexpr uint32_t kErrorFileNotFound = 2;

// --- Process ---------------------------------------------------------------

// Makes what the process and the system on its behalf load by name come from
// the system folder alone, never the program's own folder (Windows; POSIX's
// loader searches no folder of the program's, so there it does nothing).
void UseSystemLibrarySearch();

// Makes sure standard input, output and error are there before the program
// opens a file, so that no file takes their place: on POSIX a descriptor 0,
// 1 or 2 the caller left closed would go to the next file opened, and every
// log line written to standard error into it. POSIX: /dev/null on each one
// that is closed, and SIGPIPE ignored, so that a standard error whose reader
// is gone fails a write instead of ending the run; Windows: nothing (a
// handle is never "the lowest free").
void KeepStandardStreamsTaken();

// Makes sure a run short of descriptors can still claim its guard and say
// its outcome. POSIX: a soft limit on open files under 1024 is raised toward
// the hard one, and as root a hard limit under 64 to 64 first; the programs
// the run starts get the limits its caller gave. Called before anything
// takes a descriptor. Windows: nothing (handles have no such limit).
void RaiseDescriptorLimit();

// Keeps a few descriptors aside from the start (POSIX: on /dev/null), for
// what must not fail for want of one: the command line, the log folder, the
// program's own signature, the result file, the run report, the removal of
// an outdated file. Answers whether enough were kept for the writes at the
// end (POSIX: two, a folder and a file in it). Windows: nothing; true.
bool KeepDescriptorsInReserve();
// Answers whether a descriptor is free besides the reserve (Windows: true).
bool DescriptorToSpare();

// Gives the reserve back to the system for the writes made while it lives,
// and keeps it aside again when the last one goes.
class DescriptorsFreed {
 public:
  DescriptorsFreed();
  ~DescriptorsFreed();
  DescriptorsFreed(const DescriptorsFreed&) = delete;
  DescriptorsFreed& operator=(const DescriptorsFreed&) = delete;
};

// Returns the process's command-line arguments, program name first.
std::vector<std::wstring> CommandLineArguments();

// Returns the full path of the running executable (empty on failure).
std::wstring OwnExecutablePath();

// Returns the account's temporary folder (empty on failure). Windows: the
// folder of GetTempPath2W where the system has it (for SYSTEM, one that only
// SYSTEM and administrators reach; for every other account the same as
// GetTempPathW), else GetTempPathW.
std::wstring TempFolder();

// Joins a folder and a name the way the shell's path combiner does; the result
// is limited to the platform's path length (empty when it would be longer).
std::wstring CombinePath(const std::wstring& folder, const std::wstring& name);

// The name of the account the process runs under (POSIX: of the effective
// user); empty when the system cannot tell.
std::string AccountName();

// Host and user name for the log file's name, as the logging library would
// put them there (the caller keeps path characters out). The user: Windows,
// the account of the process token (not USERNAME); POSIX, USER as the
// library reads it, else the effective user's account name.
std::string LogHostName();
std::string LogUserName();

// Describes a system error number for people: "error 13: Permission denied".
std::string ErrorText(uint32_t error);

// --- Privileges ------------------------------------------------------------

// Major version of the operating system as the privilege test sees it.
int OsMajorVersion();

struct ElevationAnswer {
  bool opened = false;      // the process token could be opened
  uint32_t open_error = 0;  // system error when it could not
  bool elevated = false;    // the token is elevated
};
// Asks whether the process token is elevated (systems of version 6 and later).
ElevationAnswer QueryTokenElevation();

// Asks whether the caller's token is a member of the Administrators group
// (systems before version 6).
bool IsAdministratorsMember();

// Answers whether the process runs under the system's own account: Windows,
// the token's user is LocalSystem (S-1-5-18), whatever the system calls it;
// POSIX, the effective user is root.
bool IsSystemAccount();

// --- Text ------------------------------------------------------------------

// Converts between the narrow code page (ANSI on Windows, UTF-8 elsewhere) and
// wide text. Text that cannot be converted as a whole gives an empty result.
// POSIX: bytes that are not UTF-8 convert to reserved code points and back
// to the same bytes, so every file name survives the round trip.
std::wstring NarrowToWide(const char* bytes, size_t count);
std::string WideToNarrow(const std::wstring& text);
// Converts wide text to valid UTF-8 (what stands for a stray byte becomes U+FFFD).
std::string WideToUtf8(const std::wstring& text);
// Converts wide text to UTF-8 but keeps what is not valid text as bytes that
// are not UTF-8, so that the log can escape them and still say what stood
// there: POSIX: a reserved code point becomes the stray byte of the name again;
// Windows: an unpaired surrogate becomes the three bytes of its value.
std::string WideToUtf8KeepingStrays(const std::wstring& text);

// Reads the character at the start of count bytes: answers how many bytes it
// takes, with its code point; 0 when the first byte starts no character (or
// count is 0). Utf8SequenceAt is one.
using CharacterReader = size_t (*)(const char* bytes, size_t count, char32_t* code_point);
// Answers how a line a program wrote is to be read: POSIX: as UTF-8. Windows:
// as UTF-8 when the whole line is valid UTF-8 (which text in a console code
// page beyond ASCII hardly ever is), else in the console code page, in which
// console programs write; a byte that code page has no character for (a
// lead byte without its trail, a byte it leaves undefined) is no character.
CharacterReader OutputLineReader(const std::string& line);

// --- Environment -----------------------------------------------------------

// Reads an environment variable; unset reads as empty.
std::string GetEnvironmentValue(const char* name);
// Sets PATH for this process and the programs it starts.
bool SetPathVariable(const std::string& value);
// Makes folder the current directory (Windows: and a folder in which the
// libraries the program loads find theirs, as they did in the current one).
bool SetCurrentFolder(const std::wstring& folder);

}  // namespace platform
