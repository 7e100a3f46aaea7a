// Converts between UTF-8 and Unicode code points. The POSIX side's narrow
// text is UTF-8 and its wide text UTF-32; the codec itself is portable, so
// both builds compile and test it.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Decodes count bytes. A byte that starts no valid sequence (a stray
// continuation byte, a truncated sequence, an overlong form, an encoded
// surrogate, a value past U+10FFFF) gives one U+FFFD and decoding goes on
// with the next byte.
std::u32string DecodeUtf8(const char* bytes, size_t count);

// Encodes code points; a surrogate or a value past U+10FFFF is written as U+FFFD.
std::string EncodeUtf8(const char32_t* text, size_t count);

}  // namespace platform
