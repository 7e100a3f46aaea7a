// Matches file names against the "*" and "?" patterns of a folder search, for
// platforms whose folder listing has no pattern of its own.
#pragma once

namespace platform {

// Answers whether name matches pattern: "*" stands for any run of characters
// (none included), "?" for exactly one, every other character for itself
// ignoring ASCII case. Both are NUL-terminated bytes.
bool WildcardMatch(const char* pattern, const char* name);

}  // namespace platform
