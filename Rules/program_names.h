// What a file's name says it is to the Windows start: a program or a
// command script, by its extension in any letter case. Portable, so that
// both builds compile and test the one rule (docs/module-files.md).
#pragma once

#include <string>

namespace platform {

// A command script: a name that ends in ".bat" or ".cmd".
bool IsCommandScriptName(const std::wstring& file);
bool IsCommandScriptName(const std::string& file);

// A program: a name that ends in ".exe" or ".com".
bool IsProgramName(const std::wstring& file);

}  // namespace platform
