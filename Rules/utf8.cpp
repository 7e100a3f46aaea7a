#include "Rules/utf8.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

constexpr uint32_t kStrayBase = 0xDC00;

bool IsScalarValue(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

bool IsKeptStray(uint32_t cp) { return cp >= kStrayBase + 0x80 && cp <= kStrayBase + 0xFF; }

// Writes cp in UTF-8's pattern, whatever it is (a surrogate too).
void AppendPattern(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

size_t Utf8SequenceAt(const char* bytes, size_t count, char32_t* code_point) {
  if (bytes == nullptr || count == 0) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char c = *p;
  size_t length = 0;
  uint32_t cp = 0;
  uint32_t min = 0;
  if (c < 0x80) {
    length = 1;
    cp = c;
  } else if ((c & 0xE0) == 0xC0) {
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
  if (length == 0 || count < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || !IsScalarValue(cp)) return 0;
  if (code_point != nullptr) *code_point = static_cast<char32_t>(cp);
  return length;
}

bool IsUtf8(const char* bytes, size_t count) {
  size_t at = 0;
  while (at < count) {
    const size_t length = Utf8SequenceAt(bytes + at, count - at, nullptr);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::u32string DecodeUtf8(const char* bytes, size_t count, StrayBytes stray) {
  std::u32string out;
  if (bytes == nullptr) return out;
  out.reserve(count);
  size_t at = 0;
  while (at < count) {
    char32_t cp = 0;
    const size_t length = Utf8SequenceAt(bytes + at, count - at, &cp);
    if (length > 0) {
      out.push_back(cp);
      at += length;
    } else {
      const unsigned char c = static_cast<unsigned char>(bytes[at]);
      out.push_back(stray == StrayBytes::kKeep ? static_cast<char32_t>(kStrayBase + c)
                                               : kReplacement);
      ++at;
    }
  }
  return out;
}

std::string EncodeUtf8(const char32_t* text, size_t count, StrayBytes stray) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = static_cast<uint32_t>(text[i]);
    if (stray == StrayBytes::kKeep && IsKeptStray(cp)) {
      out.push_back(static_cast<char>(cp - kStrayBase));
      continue;
    }
    if (!IsScalarValue(cp)) cp = kReplacement;
    AppendPattern(cp, &out);
  }
  return out;
}

std::string EncodeUtf16AsUtf8(const char16_t* text, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint32_t unit = text[i];
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 &&
                      text[i + 1] <= 0xDFFF;
    if (pair) unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
    AppendPattern(unit, &out);
  }
  return out;
}

}  // namespace platform
