// Wide values in log lines go through the C runtime's wide-to-multibyte
// conversion in the default locale, as they always have; a value that does
// not convert there is written in UTF-8 instead, escaped, so that its line
// still names it. Either way a control character (C0 but TAB, DEL, C1) is
// written as \xNN, so that no value can end its line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform/system/system.h"

std::string LogText(const std::wstring& text);
std::string LogText(const wchar_t* text);
// A narrow value (the ANSI code page on Windows, the bytes of a name on
// POSIX) as LogText writes its wide form.
std::string NarrowLogText(const std::string& text);

// Makes text safe to echo in a line of this program's own: every control
// character but TAB (C0, DEL and C1), the Unicode line and paragraph
// separators, the bidirectional controls (U+202A to U+202E, U+2066 to
// U+2069), U+FEFF and every byte that is not part of valid UTF-8 are written
// as \xNN, one per byte, so that nothing echoed can end the line, hide it from
// a reader, reorder it in a viewer, or make the log invalid UTF-8. Stops
// before the escaped text would pass limit bytes; used, when given, says how
// many bytes of text it took.
std::string EscapedLogText(const std::string& text, size_t limit = SIZE_MAX,
                           size_t* used = nullptr);
// The same for text that read decodes (a program's output in its console code
// page): each character read is written in UTF-8, or, where it must be
// escaped, as its own bytes of text, \xNN each; a byte read takes as no
// character is escaped alone. used counts bytes of text.
std::string EscapedLogText(const std::string& text, platform::CharacterReader read, size_t limit,
                           size_t* used);
// A wide value as LogText converts it, then escaped.
std::string EscapedLogText(const std::wstring& text);
