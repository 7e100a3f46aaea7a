#include "Rules/command_line_split.h"

#include <cstddef>

namespace {

bool IsSeparator(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> SplitCommandLineArguments(const std::wstring& text) {
  std::vector<std::wstring> arguments;
  std::wstring current;
  // A pair of quotes makes an argument even when nothing lies between them.
  bool started = false;
  bool quoted = false;
  size_t i = 0;
  const size_t size = text.size();
  while (i < size) {
    const wchar_t c = text[i];
    if (IsSeparator(c) && !quoted) {
      if (started) {
        arguments.push_back(current);
        current.clear();
        started = false;
      }
      ++i;
      continue;
    }
    started = true;
    if (c == L'\\') {
      size_t backslashes = 0;
      while (i < size && text[i] == L'\\') {
        ++backslashes;
        ++i;
      }
      if (i < size && text[i] == L'"') {
        current.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          current.push_back(L'"');
          ++i;
        }
        // With an even count the quote is handled as a quote on the next pass.
      } else {
        current.append(backslashes, L'\\');
      }
      continue;
    }
    if (c == L'"') {
      if (quoted && i + 1 < size && text[i + 1] == L'"') {
        current.push_back(L'"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current.push_back(c);
    ++i;
  }
  if (started) arguments.push_back(current);
  return arguments;
}
