#include "App/JsonGuard.h"

#include <cstring>

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

// Texts up to this size cannot hold enough fraction digits to matter: only an
// exponent of seven or more digits could reach the bound.
constexpr size_t kShortcutLimit = size_t{1} << 24;
static_assert(999999 + kShortcutLimit < kMaxJsonExponentReach,
              "a six-digit exponent plus every fraction digit stays in reach");

// Marks each byte of word that is not an ASCII digit; a digit byte comes out 0.
uint64_t NonDigitBytes(uint64_t word) {
  const uint64_t high = (word & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u;
  const uint64_t low = ((word & 0x0F0F0F0F0F0F0F0Fu) + 0x0606060606060606u) & 0x1010101010101010u;
  return high | low;
}

bool HoldsDigitQuad(uint64_t word) {
  const uint64_t marks = NonDigitBytes(word);
  return (marks & 0xFFFFFFFFu) == 0 || (marks >> 32) == 0;
}

// Answers whether four digits in a row begin at some multiple of four. Every
// run of seven digits holds such a four, so without one no number has a
// seven-digit exponent. Reads eight bytes at a time.
bool HasAlignedDigitQuad(const std::string& text) {
  const size_t size = text.size();
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (HoldsDigitQuad(word)) return true;
  }
  uint64_t tail = 0;  // zero bytes are no digits
  std::memcpy(&tail, text.data() + i, size - i);
  return HoldsDigitQuad(tail);
}

// Answers true when the walk cannot refuse text: no more opening brackets in
// all than the nesting bound, and no run of seven digits. Walking every byte
// costs about half of what the parse itself costs; this test costs a small
// part of that, and ordinary module lists pass it.
bool PlainlySafe(const std::string& text) {
  if (text.size() >= kShortcutLimit) return false;
  size_t opens = 0;
  for (const char c : text) opens += static_cast<size_t>(c == '[') + static_cast<size_t>(c == '{');
  return opens <= kMaxJsonNesting && !HasAlignedDigitQuad(text);
}

}  // namespace

bool IsJsonSafeToParse(const std::string& text) {
  return PlainlySafe(text) || JsonWalkIsSafe(text);
}

bool JsonWalkIsSafe(const std::string& text) {
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
