#include "Utils/LogText.h"

#include <cstdlib>
#include <vector>

std::string LogText(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return std::string();
  size_t needed = std::wcstombs(nullptr, text, 0);
  if (needed == static_cast<size_t>(-1)) return std::string();
  std::vector<char> buffer(needed + 1, '\0');
  if (std::wcstombs(buffer.data(), text, buffer.size()) == static_cast<size_t>(-1)) {
    return std::string();
  }
  return std::string(buffer.data(), needed);
}

std::string LogText(const std::wstring& text) { return LogText(text.c_str()); }
