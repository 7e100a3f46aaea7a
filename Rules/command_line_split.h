// Splits a parameter text into arguments the way a Windows program's runtime
// does, so that programs started on POSIX see the arguments that the same
// parameter text gives them on Windows.
#pragma once

#include <string>
#include <vector>

// Splits the arguments that follow the program name on a command line:
// - blanks and tabs separate arguments; runs of them count as one separator,
//   and leading or trailing ones give no argument;
// - a double quote toggles quoting and is removed; blanks and tabs inside
//   quoting belong to the argument; quotes may start or end mid-argument
//   (a"b c"d is one argument, ab cd);
// - 2n backslashes followed by a double quote give n backslashes, and the
//   quote toggles quoting; 2n+1 backslashes followed by a double quote give
//   n backslashes and a literal quote; backslashes anywhere else are literal;
// - inside quoting, two double quotes in a row give one literal quote and
//   quoting goes on (the rule of the current runtimes; older runtimes ended
//   quoting there): "a""b c" is one argument, a"b c;
// - a pair of quotes with nothing between them gives an empty argument;
// - an unterminated quote runs to the end of the text.
std::vector<std::wstring> SplitCommandLineArguments(const std::wstring& text);
