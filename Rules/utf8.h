// Converts between UTF-8 and Unicode code points. The POSIX side's narrow
// text is UTF-8 and its wide text UTF-32; the codec itself is portable, so
// both builds compile and test it.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// What becomes of a byte that starts no valid sequence (a stray
// continuation byte, a truncated sequence, an overlong form, an encoded
// surrogate, a value past U+10FFFF).
enum class StrayBytes {
  kReplace,  // one U+FFFD each: text for readers that want Unicode
  // One reserved code point each, U+DC00 + the byte (U+DC80 to U+DCFF), which
  // encodes back to the same byte: names that must survive the round trip
  kKeep,
};

// Answers how many bytes the valid sequence at bytes takes (1 to 4), with
// its code point; 0 when a stray byte stands there or count is 0.
size_t Utf8SequenceAt(const char* bytes, size_t count, char32_t* code_point);

// Answers whether count bytes are valid UTF-8 as a whole.
bool IsUtf8(const char* bytes, size_t count);

// Decodes count bytes; decoding goes on with the byte after a stray one.
std::u32string DecodeUtf8(const char* bytes, size_t count, StrayBytes stray = StrayBytes::kReplace);

// Encodes code points; a surrogate or a value past U+10FFFF is written as
// U+FFFD, but with kKeep a code point U+DC80 to U+DCFF is written as the byte
// it stands for.
std::string EncodeUtf8(const char32_t* text, size_t count, StrayBytes stray = StrayBytes::kReplace);

// Encodes UTF-16 text: a surrogate pair as its code point, an unpaired
// surrogate as the three bytes UTF-8's pattern gives its value, which valid
// UTF-8 never holds, so that a reader that escapes what is not UTF-8 still
// sees which unit stood there.
std::string EncodeUtf16AsUtf8(const char16_t* text, size_t count);

}  // namespace platform
