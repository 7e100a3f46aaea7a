// Edits the text of an INI file the way the Windows profile-string functions
// do, for platforms that lack them.
#pragma once

#include <string>

// Returns content with key=value set in [section]: section and key names match
// ignoring ASCII case and surrounding blanks; an existing value is replaced in
// place (the key keeps its spelling in the file), a missing key is added after
// the last entry of its section, a missing section is added at the end. Every
// other line is kept byte for byte. The value must not hold line breaks.
std::string SetIniValue(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& value);

// Reads key in [section] with the same matching rules; false when absent.
bool GetIniValue(const std::string& content, const std::string& section, const std::string& key,
                 std::string* value);
