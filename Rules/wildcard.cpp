#include "Rules/wildcard.h"

#include "Rules/ascii_case.h"

namespace platform {

bool WildcardMatch(const char* pattern, const char* name) {
  // Greedy with one point of return: on a mismatch after a "*", the star
  // takes one character more. Linear in practice, never recursive.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || AsciiLower(*pattern) == AsciiLower(*name)) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace platform
