// What the Windows tests read back of a file's or folder's security.
#pragma once

#include <string>

// The DACL of a file or folder as SDDL text; "<unreadable>" or "<no text>"
// when it cannot be read or written as text.
std::string DaclText(const std::wstring& path);
