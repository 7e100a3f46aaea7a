// The rule a signed command script (.bat, .cmd) must follow. The command
// processor reads a script as it runs it, line by line, so a script that
// runs off its end reads on into the signature block appended to it and
// runs those bytes as commands. A signed script must therefore end itself:
// its last line that is not blank is exactly `exit`, `exit /b`,
// `exit /b <number>` or `goto :eof`, with blanks and a leading `@` only beside
// it (no pipe, `&`, redirection or variable), the line before it does not
// carry on into it with a caret, and a line break follows it; only blanks
// and line breaks may come after that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Signing/SignatureBlock.h"

namespace signing {

// How much of a script's end the rule looks at: more than two of the
// longest lines the command processor reads (8191 characters).
constexpr size_t kScriptEndBytes = 16 * 1024;

// Answers whether file names a command script (.bat or .cmd, any case),
// which the command processor reads.
bool IsCommandScriptName(const std::string& file);

// Answers whether a command script whose content (before its signature
// block) ends in end follows the rule above. whole: end is all of the
// content; else it is its last bytes, and the last line must start within
// them.
bool CommandScriptEndsItself(const std::string& end, bool whole);
// Reads the end of a script's content_length bytes of content through read
// and judges it so; false also when the read fails.
bool CommandScriptContentEndsItself(uint64_t content_length, const ReadAtFunction& read);

}  // namespace signing
