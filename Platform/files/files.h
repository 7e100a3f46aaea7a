// The files and folders the program reads and writes, the machine's secret,
// and the single-instance guard: files_*, folders_*, own_file_*, links_win32
// and guard_* implement it (platform_* the reads of the log folder's set-up).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Rules/instance_guard.h"

namespace platform {

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

// --- File system -------------------------------------------------------------

// Answers whether anything (file or folder) exists at path; errors count as no.
bool PathExists(const std::wstring& path);

// What tells one file from another, and one state of a file from the next:
// its device and number (Windows: volume serial number and file index), its
// size and the time it was last written. A file replaced by a rename is
// another file. Only a regular file's identity is ever compared.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t number = 0;
  uint64_t size = 0;
  int64_t written = 0;   // POSIX: nanoseconds; Windows: 100-nanosecond ticks
  bool regular = false;  // a regular file, whose identity the system told
  bool operator==(const FileIdentity& other) const {
    return regular && other.regular && device == other.device && number == other.number &&
           size == other.size && written == other.written;
  }
};
// Answers as PathExists does; identity is what lies there, where it is a
// regular file and the system tells (regular stays false otherwise).
bool PathIdentity(const std::wstring& path, FileIdentity* identity);

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
// happened. identity, when given, is that of the file read, as told through
// the open file itself.
bool ReadFileText(const std::wstring& path, std::string* content, FileIdentity* identity = nullptr);

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
// POSIX: the new file is mode 0600. Windows: with owner_only, a protected
// DACL for the running account alone (as CreateNewFile's), else the
// folder's inherited one. Folders that may not be written through are
// refused as for INI files.
bool ReplaceFileContent(const std::wstring& path, const std::string& content, bool flush,
                        uint32_t* error, bool owner_only = false);

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
  kTooLarge,    // over the reader's limit: not read
};
// Reads a file that only the running account could have written, without
// following a link in its place and without blocking on a FIFO. Windows: an
// access entry that grants another account than the running one, SYSTEM and
// Administrators a write makes it kForeign, and a name that opens another file
// than the one of the folder (a link Wine follows) kLink.
// With secret, kForeign also when another account may read it (POSIX: a
// group or other read bit). With a limit, a file of more bytes is kTooLarge,
// and one with a second name (a hard link, where a folder of other rules may
// reach it) kLink.
OwnFileRead ReadOwnFile(const std::wstring& path, std::string* content, bool secret = false,
                        uint64_t limit = UINT64_MAX);
// Reads a secret: ReadOwnFile with secret.
inline OwnFileRead ReadOwnSecret(const std::wstring& path, std::string* content,
                                 uint64_t limit = UINT64_MAX) {
  return ReadOwnFile(path, content, true, limit);
}

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
// Removes the INI file (or the run report) at path so that no reader finds it there, in any
// folder, one another account planted included: the file's own entry, opened
// relative to its folder's handle (a link in its place is removed itself,
// never what it leads to); where a link stands in the folder's place and a
// file of that name lies behind it, that link. Needs no free space. Windows:
// Wine follows a link when it opens one, so there the entry of a link to a
// file is not told from the file (see docs/windows.md).
RemoveOutcome RemoveProfileFile(const std::wstring& path, uint32_t* error);

}  // namespace platform
