#include "Platform/utf8.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalarValue(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

}  // namespace

std::u32string DecodeUtf8(const char* bytes, size_t count) {
  std::u32string out;
  if (bytes == nullptr) return out;
  out.reserve(count);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* end = p + count;
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      out.push_back(c);
      ++p;
      continue;
    }
    int length = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
      cp = c & 0x1F;
      min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      cp = c & 0x0F;
      min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      cp = c & 0x07;
      min = 0x10000;
    }
    bool valid = length > 0 && end - p >= length;
    for (int i = 1; valid && i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (p[i] & 0x3F);
      }
    }
    if (valid && cp >= min && IsScalarValue(cp)) {
      out.push_back(static_cast<char32_t>(cp));
      p += length;
    } else {
      out.push_back(kReplacement);
      ++p;
    }
  }
  return out;
}

std::string EncodeUtf8(const char32_t* text, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = static_cast<uint32_t>(text[i]);
    if (!IsScalarValue(cp)) cp = kReplacement;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace platform
