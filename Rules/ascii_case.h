// Compares narrow text ignoring the case of ASCII letters only, the way the
// Windows file system and profile functions compare names. Other bytes,
// UTF-8 sequences included, compare as they are.
#pragma once

#include <string>

namespace platform {

// Returns c with A-Z turned into a-z.
char AsciiLower(char c);
bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b);
// Orders by the bytes after AsciiLower, as unsigned values; a prefix first.
bool LessIgnoringAsciiCase(const std::string& a, const std::string& b);

}  // namespace platform
