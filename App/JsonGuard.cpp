#include "App/JsonGuard.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Walks one number token the way the parser reads it and answers whether its
// exponent stays in reach; stores where the token ends.
bool NumberInReach(const std::string& text, size_t start, size_t* end) {
  const size_t size = text.size();
  size_t i = start;
  if (i < size && text[i] == '-') ++i;
  while (i < size && IsDigit(text[i])) ++i;

  uint64_t fraction_digits = 0;
  if (i < size && text[i] == '.') {
    ++i;
    while (i < size && IsDigit(text[i])) {
      ++fraction_digits;
      ++i;
    }
  }

  uint64_t exponent = 0;
  if (i < size && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < size && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < size && IsDigit(text[i])) {
      // Saturate: anything past the bound is refused anyway.
      if (exponent <= kMaxJsonExponentReach) {
        exponent = exponent * 10 + static_cast<uint64_t>(text[i] - '0');
      }
      ++i;
    }
  }
  *end = i;
  return exponent + fraction_digits < kMaxJsonExponentReach;
}

}  // namespace

bool IsJsonSafeToParse(const std::string& text) {
  const size_t size = text.size();
  size_t depth = 0;
  size_t i = 0;
  // The parser stops at the first NUL byte, inside a string or not, so
  // nothing after it can reach the parser's recursion or arithmetic.
  while (i < size && text[i] != '\0') {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < size && text[i] != '"' && text[i] != '\0'; ++i) {
        if (text[i] == '\\' && i + 1 < size) ++i;
      }
      if (i < size && text[i] == '\0') break;
      ++i;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonNesting) return false;
      ++i;
    } else if (c == ']' || c == '}') {
      if (depth > 0) --depth;
      ++i;
    } else if (c == '-' || IsDigit(c)) {
      size_t end = i;
      if (!NumberInReach(text, i, &end)) return false;
      i = end;
    } else {
      ++i;
    }
  }
  return true;
}
