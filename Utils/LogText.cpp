#include "Utils/LogText.h"

#include <cstdlib>
#include <vector>

#include "Rules/utf8.h"

namespace {

void AppendEscaped(const char* bytes, size_t count, std::string* out);

// The C locale's bytes are kept as they convert, but for the control
// characters among them: C0 but TAB, DEL and, where the runtime converts
// U+0080 to U+00FF to single bytes, C1.
std::string EscapedControlBytes(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || (byte >= 0x7F && byte <= 0x9F)) {
      AppendEscaped(&c, 1, &out);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string LogText(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return std::string();
  // What the C locale converts is written as it always was: ASCII, and on
  // Windows U+0080 to U+00FF too, one byte each (the runtime's "C" locale).
  const size_t needed = std::wcstombs(nullptr, text, 0);
  if (needed != static_cast<size_t>(-1)) {
    std::vector<char> buffer(needed + 1, '\0');
    if (std::wcstombs(buffer.data(), text, buffer.size()) != static_cast<size_t>(-1)) {
      return EscapedControlBytes(std::string(buffer.data(), needed));
    }
  }
  return EscapedLogText(platform::WideToUtf8KeepingStrays(text));
}

std::string LogText(const std::wstring& text) { return LogText(text.c_str()); }

std::string NarrowLogText(const std::string& text) {
  return LogText(platform::NarrowToWide(text.data(), text.size()));
}

namespace {

// Besides what ends or hides a line, the bidirectional embeddings, overrides,
// isolates and marks (and the byte order mark, which some viewers take for
// one): a viewer would reorder the rest of the line by them.
bool MustEscape(char32_t c) {
  return (c < 0x20 && c != U'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF ||
         c == 0x200E || c == 0x200F || c == 0x061C;
}

void AppendEscaped(const char* bytes, size_t count, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    *out += "\\x";
    *out += kHex[byte >> 4];
    *out += kHex[byte & 0xF];
  }
}

}  // namespace

std::string EscapedLogText(const std::string& text, size_t limit, size_t* used) {
  return EscapedLogText(text, platform::Utf8SequenceAt, limit, used);
}

std::string EscapedLogText(const std::string& text, platform::CharacterReader read, size_t limit,
                           size_t* used) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    char32_t c = 0;
    size_t length = read(text.data() + at, text.size() - at, &c);
    const bool escape = length == 0 || MustEscape(c);
    if (length == 0) length = 1;  // a stray byte, escaped on its own
    const std::string utf8 = escape ? std::string() : platform::EncodeUtf8(&c, 1);
    const size_t grows = escape ? 4 * length : utf8.size();
    if (out.size() + grows > limit) break;
    if (escape) {
      AppendEscaped(text.data() + at, length, &out);
    } else {
      out += utf8;
    }
    at += length;
  }
  if (used != nullptr) *used = at;
  return out;
}

std::string EscapedLogText(const std::wstring& text) { return EscapedLogText(LogText(text)); }
