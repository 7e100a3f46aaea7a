#include "Signing/CommandScript.h"

namespace signing {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether text holds word (lower case) at at, in any case.
bool HasWordAt(const std::string& text, size_t at, const char* word) {
  for (; *word != '\0'; ++word, ++at) {
    if (at >= text.size() || Lower(text[at]) != *word) return false;
  }
  return true;
}

size_t SkipBlanks(const std::string& text, size_t at) {
  while (at < text.size() && IsBlank(text[at])) ++at;
  return at;
}

// Whether a line, line break and carriage return taken off, is a command
// that ends the script whatever ran before it: exactly "exit", "exit /b",
// "exit /b <number>" or "goto :eof", blanks and a leading "@" beside it.
// Anything after it (a pipe, "&", a redirection, a variable) is refused:
// each side of a pipe runs in a command processor of its own, so the
// script's own would go on reading.
bool EndsTheScript(const std::string& line) {
  size_t at = 0;
  while (at < line.size() && (IsBlank(line[at]) || line[at] == '@')) ++at;
  if (HasWordAt(line, at, "goto")) {
    at = SkipBlanks(line, at + 4);
    return HasWordAt(line, at, ":eof") && SkipBlanks(line, at + 4) == line.size();
  }
  if (!HasWordAt(line, at, "exit")) return false;
  at = SkipBlanks(line, at + 4);
  if (at == line.size()) return true;
  if (!HasWordAt(line, at, "/b")) return false;
  const size_t after_switch = at + 2;
  at = SkipBlanks(line, after_switch);
  if (at == line.size()) return true;
  if (at == after_switch) return false;  // "/bx", "/b0": no blank before the code
  if (line[at] == '-') ++at;
  const size_t digits = at;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
  return at > digits && SkipBlanks(line, at) == line.size();
}

// Whether the line that ends just before offset (its line feed) ends in a
// caret that escapes the line break, joining the next line to it.
bool CarriesOn(const std::string& text, size_t line_feed) {
  size_t at = line_feed;
  if (at > 0 && text[at - 1] == '\r') --at;
  size_t carets = 0;
  while (at > 0 && text[at - 1] == '^') {
    --at;
    ++carets;
  }
  return carets % 2 == 1;
}

}  // namespace

bool IsCommandScriptName(const std::string& file) {
  if (file.size() < 4) return false;
  const std::string extension = file.substr(file.size() - 4);
  return HasWordAt(extension, 0, ".bat") || HasWordAt(extension, 0, ".cmd");
}

bool CommandScriptEndsItself(const std::string& end, bool whole) {
  // Past the last line with a command: only blanks and line breaks.
  size_t stop = end.size();
  while (stop > 0 && (IsBlank(end[stop - 1]) || end[stop - 1] == '\n')) --stop;
  if (stop == 0 || end.find('\n', stop) == std::string::npos) return false;
  const size_t previous_break = end.rfind('\n', stop - 1);
  if (previous_break == std::string::npos && !whole) return false;
  const size_t begin = previous_break == std::string::npos ? 0 : previous_break + 1;
  if (!EndsTheScript(end.substr(begin, stop - begin))) return false;
  return begin == 0 || !CarriesOn(end, previous_break);
}

bool CommandScriptContentEndsItself(uint64_t content_length, const ReadAtFunction& read) {
  const bool whole = content_length <= kScriptEndBytes;
  std::string end(whole ? static_cast<size_t>(content_length) : kScriptEndBytes, '\0');
  const uint64_t start = content_length - end.size();
  return (end.empty() || read(start, &end[0], end.size())) && CommandScriptEndsItself(end, whole);
}

}  // namespace signing
