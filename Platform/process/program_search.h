// What a signed program has the system run besides itself: the system's own
// files, and the Windows loader's lists and folders. program_search_*
// implement it.
#pragma once

#include <string>

#include "Platform/files/files.h"

namespace platform {

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

}  // namespace platform
