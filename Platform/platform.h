// The narrow platform layer: everything the program needs of the operating
// system, one function per need. platform_win32.cpp and platform_posix.cpp
// implement it; no other file includes an operating-system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Joins folder and name in every path the program forms ("\" or "/").
extern const wchar_t kPathSeparator;
// Separates the entries of PATH (";" or ":").
extern const char kPathListSeparator;
// File name of the product's security-base library in the product folder.
extern const wchar_t kSecurityBaseLibrary[];
// The exit code reported for a started program that is still running.
constexpr uint32_t kStillActive = 259;
// The system error number of "file not found".
constexpr uint32_t kErrorFileNotFound = 2;

// --- Process ---------------------------------------------------------------

enum class InstanceClaim {
  kOnlyCopy,        // this process holds the machine-wide guard
  kAlreadyRunning,  // another process holds it
  kNoHandle,        // the guard could not be created; go on as the only copy
};
// Claims the machine-wide single-instance guard for the life of the process.
InstanceClaim ClaimSingleInstance();

// Returns the process's command-line arguments, program name first.
std::vector<std::wstring> CommandLineArguments();

// Returns the full path of the running executable (empty on failure).
std::wstring OwnExecutablePath();

// Returns the account's temporary folder (empty on failure).
std::wstring TempFolder();

// Joins a folder and a name the way the shell's path combiner does; the result
// is limited to the platform's path length (empty when it would be longer).
std::wstring CombinePath(const std::wstring& folder, const std::wstring& name);

// Host and user name exactly as the logging library puts them into log file names.
std::string LogHostName();
std::string LogUserName();

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

// Answers whether the process runs under the system's own account.
bool IsSystemAccount();

// --- Text ------------------------------------------------------------------

// Converts between the narrow code page (ANSI on Windows, UTF-8 elsewhere) and
// wide text. Text that cannot be converted as a whole gives an empty result.
std::wstring NarrowToWide(const char* bytes, size_t count);
std::string WideToNarrow(const std::wstring& text);
// Converts wide text to UTF-8.
std::string WideToUtf8(const std::wstring& text);

// --- Environment -----------------------------------------------------------

// Reads an environment variable; unset reads as empty.
std::string GetEnvironmentValue(const char* name);
// Sets PATH for this process and the programs it starts.
bool SetPathVariable(const std::string& value);
// Makes folder the current directory.
bool SetCurrentFolder(const std::wstring& folder);

// --- File system -------------------------------------------------------------

// Answers whether anything (file or folder) exists at path; errors count as no.
bool PathExists(const std::wstring& path);

// Creates the log folder and its missing parents. Answers whether the folder
// may be written through: on POSIX it must be a real folder owned by the
// effective user and not writable by group or others.
bool PrepareLogFolder(const std::wstring& folder);

// Lists the names matching a wildcard search "<folder><sep><pattern>" in the
// order the platform returns them. On failure (no match included) returns
// false and the system error number.
bool FindFiles(const std::wstring& search, std::vector<std::wstring>* names, uint32_t* error);

// Opens a file as a narrow input stream in text mode.
bool OpenInputStream(const std::wstring& path, std::ifstream* stream);

// A file opened for reading that others may read but not write meanwhile.
class ReadOnlyFile {
 public:
  ReadOnlyFile();
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  bool Open(const std::wstring& path);
  bool Size(uint64_t* size) const;
  // Reads exactly count bytes at offset; false on any shortfall.
  bool ReadAt(uint64_t offset, void* buffer, size_t count) const;

 private:
  void* handle_;  // HANDLE on Windows, descriptor (as intptr_t) on POSIX
};

// Sets key=value in [section] of an INI file with the profile-string contract:
// creates file and section as needed, matches names ignoring ASCII case,
// replaces in place and keeps every other line. The file is never left torn.
// On failure returns false and the system error number.
bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path, uint32_t* error);

// --- Programs and libraries --------------------------------------------------

// Starts file with the parameter text through the shell's "open" action
// (POSIX: spawns the file itself, parameters split like a Windows command
// line). With wait, blocks until it ends. Stores the exit code when the start
// gave a process and exit_code is not null. False when nothing was started.
bool StartProgram(const std::wstring& file, const std::wstring& parameters, bool wait,
                  uint32_t* exit_code);

// Answers whether StartProgram could start file for this account, without
// starting anything (POSIX: a regular file this account may execute; Windows:
// a folder, or a file whose type has an "open" action).
bool CanStartProgram(const std::wstring& file);

// Loads a library by full path; null on failure, with the system error number.
void* LoadLibraryFile(const std::wstring& path, uint32_t* error);
// Finds an exported symbol; null when there is none.
void* FindExport(void* library, const char* name);

}  // namespace platform
