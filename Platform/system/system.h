// The narrow platform layer: everything the program needs of the operating
// system, one function per need. platform_win32.cpp and platform_posix.cpp
// implement it; starting programs and loading libraries is in process.h.
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

enum class InstanceClaim {
  kOnlyCopy,            // this process holds the machine-wide guard
  kAlreadyRunning,      // another copy of the program holds it
  kNoHandle,            // the guard could not be created; go on as the only copy
  kHeldByOtherAccount,  // another account made it: no copy; go on as the only one
  kMadeAnew,            // POSIX: the lock file was a link or not a regular file; replaced
};
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

// Claims the machine-wide single-instance guard for the life of the process.
// Windows: the mutex "Global\VXTaverly_Mutex", made with a DACL for SYSTEM and
// Administrators alone and owned by Administrators; one that was there is a
// running copy only when SYSTEM or Administrators own it (instance_guard.h).
// As any account may take that name first (with a mutex it shuts the program
// out of, or an object of another kind), every copy also holds the lock file
// "VXTaverly_Mutex.lock" in the system's Windows folder, where only SYSTEM and
// administrators may make files; held by another process, it is a running copy.
// POSIX: a lock on a file in /run, which only root can write; the holder of
// a file that root does not own is no copy; a link or anything but a regular
// file in its place is replaced (kMadeAnew). kNoHandle: error says why.
InstanceClaim ClaimSingleInstance(uint32_t* error);

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

// --- File system -------------------------------------------------------------

// Answers whether anything (file or folder) exists at path; errors count as no.
bool PathExists(const std::wstring& path);

// Creates the log folder and its missing parents. Answers whether the folder
// may be written through. POSIX: it must be a real folder (not a link) owned
// by the effective user and not writable by group or others; it is created
// with mode 0700, and a folder that was there already is given it. Windows: it must be a folder
// that is not a reparse point (junction, symbolic link), owned by the running account, SYSTEM or
// Administrators; it is created with a DACL of its own, not inherited, that
// grants those three alone, and a folder that was there already is given it.
bool PrepareLogFolder(const std::wstring& folder);

// Answers whether an account other than the running one and the system's
// administrators may put files into folder (POSIX: group or others may write
// it, or another account than root or the running one owns it; Windows: its
// owner or an entry of its access list says so). False when it cannot tell.
bool OthersMayWriteFolder(const std::wstring& folder);

// Answers whether an account other than the running one and the system's
// administrators may change the file at path or what path leads to: the file
// itself, or any folder above it up to the root, on the path as written
// and through every link on the way (each link's own folder, and each
// folder of what it holds, which may be a link again). POSIX: another owner
// than root or the running account, a group or other write bit on the file,
// or on a folder without the sticky bit. Windows: another owner, or an
// access entry that grants another SID write, delete or a change of access
// or owner on the file, or on a folder the deletion or renaming of what it
// holds (adding new entries alone, as the root folder allows every user,
// changes nothing that is there). Where nothing is there, whoever may add
// to the nearest folder of it that is there (a sticky one too), or change
// that folder, may put it there. False when it cannot tell.
bool OthersMayChangePath(const std::wstring& path);

// Lists the names matching a wildcard search "<folder><sep><pattern>" in the
// order the platform returns them. On failure (no match included) returns
// false and the system error number.
bool FindFiles(const std::wstring& search, std::vector<std::wstring>* names, uint32_t* error);

// Reads a whole file as text (Windows: in the runtime's text mode, CR LF
// read as LF and Ctrl-Z ending the text). The file is opened without blocking
// and read only when it is a regular file, so a FIFO, socket or device in its
// place cannot hold the caller up: anything but a readable regular file
// answers false with empty content. A read error ends the content where it
// happened.
bool ReadFileText(const std::wstring& path, std::string* content);

// A file opened for reading binary ranges; only regular files open. Windows
// opens it sharing read access only, so nobody may write it meanwhile; POSIX
// has no sharing modes, so there a writer may still change it under the reader.
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
  // The open file for the platform layer's own use (process.h starts and
  // loads through it); null before a successful Open.
  void* native() const { return IsOpen() ? handle_ : nullptr; }
  bool IsOpen() const;

 private:
  void* handle_;  // HANDLE on Windows, descriptor (as intptr_t) on POSIX
};

// --- What a signed program has the system run besides itself ---------------

// Answers whether path is the system's own file, which no account but root
// may change and the product did not bring: an absolute path to a regular
// file, it and every folder on its way (as written, and through each link
// on the way, each one's folder and the folders of what it holds) root's
// and writable by neither group nor others (a sticky folder neither), none
// of them the folder outside (the product folder). POSIX; Windows: false.
bool IsSystemOwnFile(const std::wstring& path, const std::wstring& outside);

// Windows: answers whether the loader takes a library of this name from its
// own lists, whatever a folder holds: the session manager's KnownDLLs, and
// API set names ("api-*", "ext-*"), which it resolves from its schema.
// POSIX: false.
bool IsKnownSystemLibrary(const std::string& name);
// Windows: the path of a file of this name in the system folder; empty when
// the system folder holds none. POSIX: empty.
std::wstring SystemFolderLibrary(const std::string& name);
// Windows: the folder of the open file's final path, where the loader looks
// first for the libraries a program imports. POSIX: empty.
std::wstring OpenedFileFolder(const ReadOnlyFile& file);

// Sets key=value in [section] of an INI file with the profile-string contract:
// creates file and section as needed, matches names ignoring ASCII case,
// replaces in place and keeps every other line. The file is never left torn.
// POSIX: the file is mode 0600 after every write, whatever it was before.
// On failure returns false and the system error number. Like the log folder,
// a folder that may not be written through is refused (POSIX: EACCES;
// Windows: ERROR_ACCESS_DENIED).
bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path, uint32_t* error);

// Deletes key from [section] of an INI file, as WritePrivateProfileStringW
// with no value does, under the same rules as its writes. A file, section or
// key that is not there, and a file that cannot be read, are left untouched
// (true).
bool DeleteProfileKey(const std::wstring& section, const std::wstring& key,
                      const std::wstring& path, uint32_t* error);

// Replaces the file at path with content: a temporary file in the same folder
// is written whole and renamed over it, so a reader never sees a torn file.
// With flush, the content reaches the disk first (and the rename after it).
// POSIX: the new file is mode 0600. Folders that may not be written through are refused as for INI
// files.
bool ReplaceFileContent(const std::wstring& path, const std::string& content, bool flush,
                        uint32_t* error);

// Creates the file at path, which must not be there yet (not even as a link),
// and writes content to it. owner_only: on POSIX the file is mode 0600 from
// the moment it exists, so no other account can ever open it; on Windows it
// is made with a protected DACL for the creating account alone (without
// owner_only: the folder's inherited DACL). A file made but not written whole is
// removed again. False with the system error number (EEXIST, ERROR_FILE_EXISTS
// when something is there).
bool CreateNewFile(const std::wstring& path, const std::string& content, bool owner_only,
                   uint32_t* error);

enum class OwnFileRead {
  kRead,     // a regular file of the running account's (or SYSTEM's, Administrators'), read whole
  kMissing,  // nothing there
  kLink,     // a symbolic link, junction or other reparse point: not followed
  kForeign,  // another account owns it, or others may write it (POSIX: group or others)
  kNotRegular,  // a folder, FIFO, device or socket: never opened for reading
  kUnreadable,  // there, but it could not be opened or read
};
// Reads a file that only the running account could have written, without
// following a link in its place and without blocking on a FIFO. Windows: an
// access entry that grants another account than the running one, SYSTEM and
// Administrators a write makes it kForeign, and a name that opens another file
// than the one of the folder (a link Wine follows) kLink.
OwnFileRead ReadOwnFile(const std::wstring& path, std::string* content);
// Reads a secret: as ReadOwnFile, and kForeign also when another account may
// read it (POSIX: a group or other read bit).
OwnFileRead ReadOwnSecret(const std::wstring& path, std::string* content);

// Returns the text that names folder the same way however a path spells it
// (a trailing separator, "." and "..", links; on Windows also letter case and
// short names), as bytes: POSIX, its real path; Windows, the final path of a
// handle to it, upper-cased as the system compares file names, in UTF-8.
// False with the system error number.
bool FolderIdentity(const std::wstring& folder, std::string* identity, uint32_t* error);

// Where the machine's secret lies, outside the log folder, where only the
// system's own account and administrators may read it: POSIX
// "/var/lib/taverly/machine.key", Windows "Taverly\machine.key" in the
// ProgramData folder. Empty when the system cannot tell.
std::wstring MachineSecretPath();

// Answers whether the folder that holds the secret at path is one no other
// account may change, so that nobody may remove, rename or replace the
// secret in it: a real folder (not a link), the running account's (Windows:
// or SYSTEM's, Administrators'), that neither group nor others (Windows: no
// other account) may write. True when the folder is not there yet.
bool SecretFolderClosed(const std::wstring& path);

// Creates the secret file at path with content, whole or not at all, and its
// folder where that is missing (POSIX: modes 0700 and 0600; Windows: a
// protected DACL for SYSTEM and Administrators alone). A file that is there
// already (made by another run meanwhile) is kept: true, as for a file made.
// A folder that is a link, or that another account owns or may write, is
// refused (EACCES, ERROR_ACCESS_DENIED). False with the system error number.
bool CreateSecretFile(const std::wstring& path, const std::string& content, uint32_t* error);

enum class RemoveOutcome {
  kRemoved,  // a file was there and is gone
  kNothing,  // no file there (nothing, or a folder, which is left alone)
  kFailed,   // a file is there and stays; the system error number says why
};
// Removes the INI file at path so that no reader finds it there, in any
// folder, one another account planted included: the file's own entry, opened
// relative to its folder's handle (a link in its place is removed itself,
// never what it leads to); where a link stands in the folder's place and a
// file of that name lies behind it, that link. Needs no free space. Windows:
// Wine follows a link when it opens one, so there the entry of a link to a
// file is not told from the file (see docs/windows.md).
RemoveOutcome RemoveProfileFile(const std::wstring& path, uint32_t* error);

}  // namespace platform
