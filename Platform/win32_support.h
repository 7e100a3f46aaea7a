// Pieces of the Windows side that its tests reach directly; nothing outside
// Platform/ but Platform/*_win32_test.cpp includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform/system/system.h"
#include "Rules/folder_trust.h"
#include "Rules/instance_guard.h"

namespace platform {
namespace win32 {

// The signature of GetTempPath2W and GetTempPathW.
using TempPathFunction = unsigned long(__stdcall*)(unsigned long length, wchar_t* buffer);

// Returns the temporary folder from get_temp_path2 when the system has it
// (not null), else from GetTempPathW.
std::wstring TempFolderFrom(TempPathFunction get_temp_path2);
// Looks GetTempPath2W up in kernel32 at run time; null where it is missing.
TempPathFunction FindGetTempPath2();

// Reads one character of text in code_page as a CharacterReader does: a byte
// or, after a lead byte, a pair the code page maps to one character; 0 for a
// byte it has no character for and for a lead byte without a valid trail.
size_t CodePageCharacterAt(unsigned code_page, const char* bytes, size_t count,
                           char32_t* code_point);

// Replaces the first symbolic link or junction on the way of a full path (a
// folder it passes, or its last name) by what the link holds, so that next
// leads where full leads, one link further on. False when there is none, or
// a name on the way is not there.
bool FollowFirstLink(const std::wstring& full, std::wstring* next);

// The type the event source's message file is written in: REG_EXPAND_SZ, as
// it always was, but REG_SZ for a path holding a %, which each reader of the
// log would otherwise expand into a folder of its own (%TEMP%); a path
// written as REG_EXPAND_SZ before is written again then.
unsigned long MessageFileType(const std::wstring& program);

// Returns a SID (a PSID) as text ("S-1-5-18"); empty on failure.
std::string SidText(void* sid);

// Returns the running account's SID as text ("S-1-5-21-..."); empty on failure.
std::string AccountSidText();

// Classifies the owner of an open file or folder (a HANDLE) as the log
// folder's owner is judged; kOther when it cannot be read.
FolderOwner OwnerOfHandle(void* handle);

// Answers whether an owner (a PSID) or an allow entry of an access list (a
// PACL; null: no list, everyone may) gives an account other than the running
// one, SYSTEM, Administrators or TrustedInstaller one of the rights in mask.
bool OthersHoldRights(void* owner_sid, void* access_list, uint32_t mask);

// Returns the security descriptor, as SDDL text, that the log folder is made
// with: a protected DACL (nothing inherited) granting full control to SYSTEM,
// Administrators and the given account alone, inherited by what is created in it.
std::string LogFolderSddl(const std::string& account_sid);

// The security descriptor, as SDDL text, of a file CreateNewFile makes owner
// only: a protected DACL granting full control to the given account alone.
std::string OwnerOnlySddl(const std::string& account_sid);

// The security descriptor, as SDDL text, of the single-instance mutex: owned
// by Administrators, a protected DACL granting SYSTEM and Administrators alone.
std::string GuardSddl();

// Claims the single-instance mutex of this name and the lock file at
// lock_file (ClaimSingleInstance's, or a test's own): the mutex is made with
// GuardSddl, and one that was there is a running copy only when SYSTEM or
// Administrators own it; the lock file is held with no sharing and goes with
// the process, and one another process holds is a running copy whatever the
// mutex said. A name this process cannot open as its mutex (another kind of
// object, a DACL that shuts the account out) is no handle, with its error.
InstanceClaim ClaimGuard(const std::wstring& name, const std::wstring& lock_file, uint32_t* error);

// Creates folder with a protected DACL (nothing inherited) that grants full
// control to SYSTEM, Administrators and the running account alone, to the
// folder and everything created in it. False with the system error number
// (ERROR_ALREADY_EXISTS for a folder that is there already).
bool CreateFolderWithOwnDacl(const std::wstring& folder, uint32_t* error);

// Gives the folder that is there the DACL that CreateFolderWithOwnDacl makes
// folders with, replacing what it had and inherited; a junction, link or file
// in its place is left alone (ERROR_ACCESS_DENIED). False with the system
// error number.
bool ProtectFolder(const std::wstring& folder, uint32_t* error);

// Reads exactly count bytes at offset of the file handle (a HANDLE), in
// pieces of at most 1 GiB, leaving the file position alone; false on an error
// or at the end.
bool ReadAllAt(void* handle, uint64_t offset, void* buffer, size_t count);

// Reads what decides whether folder may be written through, without
// following a link in its place. False with the system error number when
// nothing can be opened there.
bool ReadFolderFacts(const std::wstring& folder, FolderFacts* facts, uint32_t* error);

}  // namespace win32
}  // namespace platform
