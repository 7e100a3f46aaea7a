#include "Rules/ini_text.h"

#include <vector>

namespace {

struct Line {
  std::string text;    // without its line break
  std::string ending;  // "\n", "\r\n" or "" for a last line without one
};

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t newline = content.find('\n', start);
    Line line;
    if (newline == std::string::npos) {
      line.text = content.substr(start);
      start = content.size();
    } else {
      size_t end = newline;
      if (end > start && content[end - 1] == '\r') --end;
      line.text = content.substr(start, end - start);
      line.ending = content.substr(end, newline + 1 - end);
      start = newline + 1;
    }
    lines.push_back(line);
  }
  return lines;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end + 1 - begin);
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The section name of a "[name]" line, or false.
bool SectionName(const std::string& line, std::string* name) {
  std::string trimmed = Trim(line);
  if (trimmed.size() < 2 || trimmed.front() != '[') return false;
  size_t close = trimmed.find(']');
  if (close == std::string::npos) return false;
  *name = Trim(trimmed.substr(1, close - 1));
  return true;
}

// The key of a "key=value" line, or false.
bool KeyName(const std::string& line, std::string* key) {
  size_t equals = line.find('=');
  if (equals == std::string::npos) return false;
  *key = Trim(line.substr(0, equals));
  return true;
}

// Finds the section's header line and the line after its last entry.
bool FindSection(const std::vector<Line>& lines, const std::string& section, size_t* header,
                 size_t* end) {
  std::string name;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!SectionName(lines[i].text, &name) || !EqualIgnoringAsciiCase(name, Trim(section))) {
      continue;
    }
    *header = i;
    *end = i + 1;
    for (size_t j = i + 1; j < lines.size() && !SectionName(lines[j].text, &name); ++j) {
      if (!Trim(lines[j].text).empty()) *end = j + 1;
    }
    return true;
  }
  return false;
}

bool FindKey(const std::vector<Line>& lines, size_t header, size_t end, const std::string& key,
             size_t* index) {
  std::string name;
  for (size_t i = header + 1; i < end; ++i) {
    if (KeyName(lines[i].text, &name) && EqualIgnoringAsciiCase(name, Trim(key))) {
      *index = i;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string SetIniValue(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& value) {
  std::vector<Line> lines = SplitLines(content);
  // New lines follow the file's own line-break style.
  std::string newline = content.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string entry = key + "=" + value;

  size_t header = 0, end = 0, index = 0;
  if (!FindSection(lines, section, &header, &end)) {
    if (!lines.empty() && lines.back().ending.empty()) lines.back().ending = newline;
    lines.push_back({"[" + section + "]", newline});
    lines.push_back({entry, newline});
  } else if (FindKey(lines, header, end, key, &index)) {
    // The key keeps the spelling it has in the file.
    std::string existing;
    KeyName(lines[index].text, &existing);
    lines[index].text = existing + "=" + value;
  } else {
    if (lines[end - 1].ending.empty()) lines[end - 1].ending = newline;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), Line{entry, newline});
  }

  std::string result;
  for (const Line& line : lines) result += line.text + line.ending;
  return result;
}

std::string RemoveIniValue(const std::string& content, const std::string& section,
                           const std::string& key, bool* found) {
  std::vector<Line> lines = SplitLines(content);
  size_t header = 0, end = 0, index = 0;
  *found = FindSection(lines, section, &header, &end) && FindKey(lines, header, end, key, &index);
  if (!*found) return content;
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
  std::string result;
  for (const Line& line : lines) result += line.text + line.ending;
  return result;
}

bool GetIniValue(const std::string& content, const std::string& section, const std::string& key,
                 std::string* value) {
  std::vector<Line> lines = SplitLines(content);
  size_t header = 0, end = 0, index = 0;
  if (!FindSection(lines, section, &header, &end) || !FindKey(lines, header, end, key, &index)) {
    return false;
  }
  const std::string& text = lines[index].text;
  *value = text.substr(text.find('=') + 1);
  return true;
}
