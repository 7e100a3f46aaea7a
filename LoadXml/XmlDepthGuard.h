// Screens a module file before it reaches the XML parser, which recurses once
// per element level: a file nested deeply enough would exhaust the stack.
#pragma once

#include <cstddef>

// Element levels that may be open at the same time.
constexpr size_t kMaxXmlNesting = 1000;

// Answers whether the parser would open more than kMaxXmlNesting elements at
// once while reading text (NUL-terminated). Walks the text the way the parser
// does with its default flags, so comments, CDATA sections, processing
// instructions, declarations and quoted attribute values cannot hide or fake
// a level. Text the parser rejects before reaching such a depth answers false:
// the parser reports that error itself.
bool XmlNestedTooDeeply(const char* text);
