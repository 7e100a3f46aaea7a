#include "LoadXml/XmlDepthGuard.h"

#include <rapidxml/rapidxml.hpp>

#include <cstring>

namespace {

// The parser's own character classes, so the walk splits names exactly as it does.
using Tables = rapidxml::internal::lookup_tables<0>;

bool IsWhitespace(char c) { return Tables::lookup_whitespace[static_cast<unsigned char>(c)] != 0; }
bool IsNameChar(char c) { return Tables::lookup_node_name[static_cast<unsigned char>(c)] != 0; }
bool IsAttributeNameChar(char c) {
  return Tables::lookup_attribute_name[static_cast<unsigned char>(c)] != 0;
}

void SkipWhitespace(const char*& p) {
  while (IsWhitespace(*p)) ++p;
}

// Moves p past the next occurrence of terminator; false at the end of the text.
bool SkipPast(const char*& p, const char* terminator) {
  const size_t length = std::strlen(terminator);
  for (;; ++p) {
    if (*p == '\0') return false;
    if (std::strncmp(p, terminator, length) == 0) {
      p += length;
      return true;
    }
  }
}

bool StartsWith(const char* p, const char* prefix) {
  return std::strncmp(p, prefix, std::strlen(prefix)) == 0;
}

// Skips a document type declaration body up to and past its '>', stepping
// over bracketed internal subsets as the parser does.
bool SkipDoctype(const char*& p) {
  while (*p != '>') {
    if (*p == '\0') return false;
    if (*p == '[') {
      ++p;
      int depth = 1;
      while (depth > 0) {
        if (*p == '\0') return false;
        if (*p == '[') ++depth;
        if (*p == ']') --depth;
        ++p;
      }
    } else {
      ++p;
    }
  }
  ++p;
  return true;
}

enum class Markup { kSkipped, kOpened, kClosedAtOnce, kInvalid };

// Reads the markup after a '<' that does not close an element.
Markup ReadMarkup(const char*& p) {
  if (*p == '?') {
    // Declarations and processing instructions both run to "?>".
    ++p;
    return SkipPast(p, "?>") ? Markup::kSkipped : Markup::kInvalid;
  }
  if (*p == '!') {
    if (StartsWith(p, "!--")) {
      p += 3;
      return SkipPast(p, "-->") ? Markup::kSkipped : Markup::kInvalid;
    }
    if (StartsWith(p, "![CDATA[")) {
      p += 8;
      return SkipPast(p, "]]>") ? Markup::kSkipped : Markup::kInvalid;
    }
    if (StartsWith(p, "!DOCTYPE") && IsWhitespace(p[8])) {
      p += 9;
      return SkipDoctype(p) ? Markup::kSkipped : Markup::kInvalid;
    }
    ++p;
    return SkipPast(p, ">") ? Markup::kSkipped : Markup::kInvalid;
  }

  const char* name = p;
  while (IsNameChar(*p)) ++p;
  if (p == name) return Markup::kInvalid;
  SkipWhitespace(p);
  while (IsAttributeNameChar(*p)) {
    while (IsAttributeNameChar(*p)) ++p;
    SkipWhitespace(p);
    if (*p != '=') return Markup::kInvalid;
    ++p;
    SkipWhitespace(p);
    const char quote = *p;
    if (quote != '\'' && quote != '"') return Markup::kInvalid;
    ++p;
    while (*p != quote) {
      if (*p == '\0') return Markup::kInvalid;
      ++p;
    }
    ++p;
    SkipWhitespace(p);
  }
  if (*p == '>') {
    ++p;
    return Markup::kOpened;
  }
  if (p[0] == '/' && p[1] == '>') {
    p += 2;
    return Markup::kClosedAtOnce;
  }
  return Markup::kInvalid;
}

}  // namespace

bool XmlNestedTooDeeply(const char* text) {
  const char* p = text;
  // The parser skips a leading UTF-8 byte-order mark.
  if (StartsWith(p, "\xEF\xBB\xBF")) p += 3;

  size_t depth = 0;
  for (;;) {
    if (depth == 0) {
      // Top level: only markup and whitespace.
      SkipWhitespace(p);
      if (*p != '<') return false;
    } else {
      // Element content: character data runs up to the next '<'.
      while (*p != '<' && *p != '\0') ++p;
      if (*p == '\0') return false;
      if (p[1] == '/') {
        p += 2;
        while (IsNameChar(*p)) ++p;
        SkipWhitespace(p);
        if (*p != '>') return false;
        ++p;
        --depth;
        continue;
      }
    }
    ++p;
    switch (ReadMarkup(p)) {
      case Markup::kInvalid:
        return false;
      case Markup::kOpened:
        if (++depth > kMaxXmlNesting) return true;
        break;
      case Markup::kSkipped:
      case Markup::kClosedAtOnce:
        break;
    }
  }
}
