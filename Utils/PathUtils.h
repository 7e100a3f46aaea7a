// Process environment and text conversions used on paths and log lines.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Appends folder to PATH (unconditional separator, no duplicate check) and makes
// it the current directory; logs both steps.
void AddFolderToProcessPath(const std::wstring& folder);

// Converts wide text to the narrow code page; text that cannot be converted
// gives empty text.
std::string WideToAnsi(const wchar_t* text);
std::string WideToAnsi(const std::wstring& text);

// Converts count narrow bytes to wide text, dropping a leading byte-order mark
// and cutting at the first NUL.
std::wstring AnsiToWide(const char* bytes, size_t count);
std::wstring AnsiToWide(const std::string& text);

// Converts NUL-terminated narrow text to UTF-8.
std::string AnsiToUtf8(const char* text);

// Cuts text into tokens the way strtok does: runs of delimiter characters
// separate tokens; no token is empty.
std::vector<std::string> SplitText(const std::string& text, const std::string& delimiters);

// Makes text fit to stand in one file name on either system: every path
// separator, drive colon, wildcard or other character Windows refuses in
// names, and every control character, becomes "_", so the text can neither
// leave the folder of the name nor be refused as a name.
std::string FileNamePart(const std::string& text);
