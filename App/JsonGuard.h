// Screens a JSON document before it reaches the parser. The parser recurses
// once per nesting level and adds the exponent and fraction digit counts of a
// number in 32-bit arithmetic, so a hostile document could exhaust the stack
// or overflow that sum; such a document must be refused, never parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Arrays and objects that may be open at the same time.
constexpr size_t kMaxJsonNesting = 512;
// Bound on exponent value plus fraction digit count of one number; far beyond
// what any double needs, far below where the parser's arithmetic wraps.
constexpr uint64_t kMaxJsonExponentReach = 100000000;

// Answers whether the parser can take text safely. Text that is not JSON at
// all may still pass: the parser reports that itself.
bool IsJsonSafeToParse(const std::string& text);

// Gives IsJsonSafeToParse's answer by walking every byte, without the quick
// test that settles most texts first; the tests hold the two together.
bool JsonWalkIsSafe(const std::string& text);
