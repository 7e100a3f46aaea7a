#include "Utils/PathUtils.h"

#include <glog/logging.h>

#include <cstring>

#include "Platform/system/system.h"
#include "Utils/LogText.h"

void AddFolderToProcessPath(const std::wstring& folder) {
  std::string path = platform::GetEnvironmentValue("PATH");
  path += platform::kPathListSeparator;
  path += WideToAnsi(folder);
  std::string assignment = "PATH=" + path;
  platform::SetPathVariable(path);
  // Both lines keep their doubled blanks: log readers match them byte for byte.
  // In UTF-8 (the ANSI text converted), escaped as echoed text is.
  LOG(INFO) << "add PATH:  "
            << EscapedLogText(platform::WideToUtf8KeepingStrays(AnsiToWide(assignment)))
            << "  to Process Path";

  platform::SetCurrentFolder(folder);
  LOG(INFO) << "set current running path:  "
            << EscapedLogText(platform::WideToUtf8KeepingStrays(folder));
}

std::string WideToAnsi(const wchar_t* text) {
  if (text == nullptr) return std::string();
  return WideToAnsi(std::wstring(text));
}

std::string WideToAnsi(const std::wstring& text) {
  std::string narrow = platform::WideToNarrow(text);
  return narrow.substr(0, std::strlen(narrow.c_str()));
}

std::wstring AnsiToWide(const char* bytes, size_t count) {
  if (bytes == nullptr || count == 0) return std::wstring();
  std::wstring wide = platform::NarrowToWide(bytes, count);
  if (!wide.empty() && wide[0] == L'\xFEFF') wide.erase(0, 1);
  return wide.substr(0, wide.find(L'\0'));
}

std::wstring AnsiToWide(const std::string& text) { return AnsiToWide(text.data(), text.size()); }

std::string AnsiToUtf8(const char* text) {
  if (text == nullptr) return std::string();
  return platform::WideToUtf8(AnsiToWide(text, std::strlen(text)));
}

std::vector<std::string> SplitText(const std::string& text, const std::string& delimiters) {
  std::vector<std::string> tokens;
  // Like strtok, both texts end at their first NUL.
  const std::string source = text.c_str();
  const std::string separators = delimiters.c_str();
  size_t pos = source.find_first_not_of(separators);
  while (pos != std::string::npos) {
    size_t end = source.find_first_of(separators, pos);
    tokens.push_back(source.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? end : source.find_first_not_of(separators, end);
  }
  return tokens;
}

std::string FileNamePart(const std::string& text) {
  std::string part = text;
  for (char& c : part) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || std::strchr("/\\:*?\"<>|", c)) {
      c = '_';
    }
  }
  return part;
}
