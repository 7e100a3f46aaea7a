// What an item's conditions ask of the system, read without changing
// anything: whether a path is there, whether the system's installer is busy,
// whether a restart is pending, and (Windows) what the registry holds.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// A yes or no, or that the system could not tell (error says why).
enum class Answer { kNo, kYes, kUnknown };

// Whether anything (a file, a folder, a device, a link's target) is at path.
// Only "nothing there" is no: a path the system will not examine (no right
// to a folder on the way, a loop of links, a name too long) is unknown.
Answer PathIsThere(const std::wstring& path, uint32_t* error);

// Answers whether the path is absolute on this system (Windows: a drive and
// a separator, or a UNC path).
bool IsAbsolutePath(const std::wstring& path);

// Whether the system's installer is at work. Windows: the Windows Installer
// holds its mutex Global\_MSIExecute. POSIX: a process holds a lock on the
// package manager's front-end lock, /var/lib/dpkg/lock-frontend (looked at
// without taking it), but the program that started this run or one above it
// (a package's scripts run under the front end that holds the lock). What
// cannot be told reads as not busy.
bool InstallerBusy();
// What InstallerBusy looks at, as the docs and the plan name it.
extern const wchar_t kInstallerBusySignal[];

// Whether the system says a restart is pending; signal names what said so.
// Windows: the Component Based Servicing key RebootPending or the Windows
// Update key RebootRequired under HKLM (the 64-bit view); a pending file
// rename alone is no restart (security products leave them all the time).
// POSIX: the file /run/reboot-required.
Answer RestartPending(std::wstring* signal, uint32_t* error);

// Whether the registry holds what text names (Windows):
// "HKLM\Key\Path" holds when the key is there, or when its last part is a
// value of the key above it; "HKLM\Key\Path\Value=data" when that value is
// there and reads as data (a string as it is, a number in decimal). Roots:
// HKLM, HKCU, HKCR, HKU and their long names. Read in the 64-bit view: the
// 32-bit programs' keys are under WOW6432Node there. Unknown for a text of no
// such form (error 87) or a key that cannot be read. POSIX: unknown, error 38.
Answer RegistryHolds(const std::wstring& text, uint32_t* error);
// Whether this system has a registry for RegistryHolds to read.
bool HasRegistry();

}  // namespace platform
