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

// Returns content without the line of key in [section] (the same matching
// rules); every other line is kept byte for byte. found tells whether it was there.
std::string RemoveIniValue(const std::string& content, const std::string& section,
                           const std::string& key, bool* found);

// Reads key in [section] with the same matching rules; false when absent.
bool GetIniValue(const std::string& content, const std::string& section, const std::string& key,
                 std::string* value);
