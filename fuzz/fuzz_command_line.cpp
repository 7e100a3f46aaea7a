// Splits arbitrary text (one byte, one character) by the command-line
// rules. Beside "no crash": quoting the arguments it gives back by the
// same rules (the quoting a Windows program's caller uses) and splitting again
// gives the same arguments.
#include <string>
#include <vector>

#include "Rules/command_line_split.h"
#include "fuzz/fuzz_support.h"

namespace {

std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < argument.size() && argument[i] == L'\\') {
      ++backslashes;
      ++i;
    }
    if (i == argument.size()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    if (argument[i] == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted.push_back(argument[i]);
  }
  return quoted + L"\"";
}

std::string Show(const std::vector<std::wstring>& arguments) {
  std::string text;
  for (const std::wstring& argument : arguments) {
    text += "<";
    for (wchar_t c : argument) text += c < 128 && c >= 32 ? static_cast<char>(c) : '?';
    text += ">";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text(data, data + size);
  const std::vector<std::wstring> arguments = SplitCommandLineArguments(text);
  std::wstring line;
  for (const std::wstring& argument : arguments)
    line += (line.empty() ? L"" : L" ") + Quote(argument);
  const std::vector<std::wstring> again = SplitCommandLineArguments(line);
  FUZZ_CHECK(again == arguments, Show(arguments) + " came back as " + Show(again));
  return 0;
}
