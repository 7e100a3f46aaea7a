#include "Rules/program_names.h"

namespace platform {
namespace {

// Whether file ends in extension (lower case ASCII, dot included), its
// letters in any case.
template <typename Text>
bool EndsIn(const Text& file, const char* extension) {
  const size_t length = std::char_traits<char>::length(extension);
  if (file.size() < length) return false;
  const size_t at = file.size() - length;
  for (size_t i = 0; i < length; ++i) {
    auto c = file[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<decltype(c)>(c - 'A' + 'a');
    if (c != static_cast<decltype(c)>(extension[i])) return false;
  }
  return true;
}

}  // namespace

bool IsCommandScriptName(const std::wstring& file) {
  return EndsIn(file, ".bat") || EndsIn(file, ".cmd");
}

bool IsCommandScriptName(const std::string& file) {
  return EndsIn(file, ".bat") || EndsIn(file, ".cmd");
}

bool IsProgramName(const std::wstring& file) {
  return EndsIn(file, ".exe") || EndsIn(file, ".com");
}

}  // namespace platform
