// Feeds the INI text editor behind the POSIX profile-string writer arbitrary
// existing content and a section, key and value without line breaks. Beside
// "no crash":
// - the written value reads back;
// - every other line stays as it was (text and line break), except that a
//   last line without a line break may gain one: the edit replaces one line,
//   inserts one, or appends the section header and the entry;
// - writing the same value again changes nothing (for a key without blanks
//   around it: a replaced line keeps the file's spelling of the key, trimmed).
// Names that cannot be told apart from the INI syntax are not a writer's to
// keep: a key holding "=", a section holding "]", a key that reads as a
// section header.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "Rules/ini_text.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Line {
  std::string text;
  std::string ending;
  bool operator==(const Line& other) const { return text == other.text && ending == other.ending; }
};

std::vector<Line> Lines(const std::string& content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t newline = content.find('\n', start);
    if (newline == std::string::npos) {
      lines.push_back({content.substr(start), ""});
      break;
    }
    size_t end = newline > start && content[newline - 1] == '\r' ? newline - 1 : newline;
    lines.push_back({content.substr(start, end - start), content.substr(end, newline + 1 - end)});
    start = newline + 1;
  }
  return lines;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

// Answers whether line sets key (in any letter case, as the file may spell
// it) to value.
bool SetsKey(const std::string& line, const std::string& key, const std::string& value) {
  const size_t equals = line.find('=');
  return equals != std::string::npos &&
         EqualIgnoringAsciiCase(Trim(line.substr(0, equals)), Trim(key)) &&
         line.substr(equals + 1) == value;
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// Answers whether after equals before with extra lines at the given places;
// the line before the first extra one may have gained a line break.
bool KeepsOtherLines(const std::vector<Line>& before, const std::vector<Line>& after, size_t at,
                     size_t extra) {
  if (after.size() != before.size() + extra) return false;
  for (size_t i = 0; i < before.size(); ++i) {
    const Line& kept = after[i < at ? i : i + extra];
    if (kept == before[i]) continue;
    // Byte for byte: a last line ending in a lone CR that gains "\n" reads
    // as a CR LF line afterwards, and that is the same bytes.
    const std::string bytes = kept.text + kept.ending;
    const bool gained_break = i + 1 == at && before[i].ending.empty() &&
                              (bytes == before[i].text + "\n" || bytes == before[i].text + "\r\n");
    if (!gained_break) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string section = input.ConsumeRandomLengthString(32);
  const std::string key = input.ConsumeRandomLengthString(32);
  const std::string value = input.ConsumeRandomLengthString(64);
  const std::string content = input.ConsumeRemainingBytesAsString();
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return 0;
  if (key.find('=') != std::string::npos || section.find(']') != std::string::npos) return 0;
  if (Trim(key).rfind('[', 0) == 0) return 0;

  const std::string written = SetIniValue(content, section, key, value);
  std::string read;
  FUZZ_CHECK(GetIniValue(written, section, key, &read), "the written key is not found");
  FUZZ_CHECK(read == value, "read back \"" + read + "\" for \"" + value + "\"");

  const std::vector<Line> before = Lines(content);
  const std::vector<Line> after = Lines(written);
  const std::string entry = key + "=" + value;
  bool kept = false;
  if (after.size() == before.size()) {
    // One line replaced by the entry.
    size_t changed = 0, at = 0;
    for (size_t i = 0; i < before.size(); ++i) {
      if (!(after[i] == before[i])) {
        ++changed;
        at = i;
      }
    }
    kept = changed == 0 ? written == content
                        : changed == 1 && SetsKey(after[at].text, key, value) &&
                              after[at].ending == before[at].ending;
  } else {
    for (size_t at = 0; at < after.size() && !kept; ++at) {
      if (after[at].text == entry) kept = KeepsOtherLines(before, after, at, 1);
      if (after[at].text == "[" + section + "]" && at + 1 < after.size() &&
          after[at + 1].text == entry && at == before.size()) {
        kept = kept || KeepsOtherLines(before, after, at, 2);
      }
    }
  }
  FUZZ_CHECK(kept, "other lines changed:\n--- before\n" + content + "\n--- after\n" + written);
  // A replaced line keeps the key as the file spells it, trimmed, so only a
  // key without blanks around it is written the same the second time.
  if (Trim(key) == key) {
    FUZZ_CHECK(SetIniValue(written, section, key, value) == written,
               "a second write changed the file");
  }
  return 0;
}
