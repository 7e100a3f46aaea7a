#include "CallPlugins/UndoJournal.h"

#include <cstdio>

#include "Platform/files/files.h"

namespace {

const char kHeader[] = "taverly-undo/1";
const char kProductKey[] = "product=";
const char kKeyCheckKey[] = "key_check=";
const char kStateKey[] = "state=";
const char kItemKey[] = "item=";
const char kDigestKey[] = "digest=";
const char kEnd[] = "end";
const char kKeyCheckText[] = "taverly-undo key check";
constexpr size_t kNameDigits = 16;  // of the product's digest, in the file name
// The most bytes of a journal read: some hundred thousand items, each with
// its undo, where a thousand make half a megabyte. A larger one is refused
// unread rather than held whole in memory.
constexpr uint64_t kUndoJournalLimit = 64u << 20;

// A value in a line: every byte but the printable ASCII ones, the blank and
// '%' as "%XX", so that no value can end a field or a line.
std::string Encoded(const std::string& value) {
  std::string text;
  for (unsigned char byte : value) {
    if (byte > ' ' && byte < 0x7f && byte != '%') {
      text += static_cast<char>(byte);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", byte);
      text += escape;
    }
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// False when text is not what Encoded makes.
bool Decoded(const std::string& text, std::string* value) {
  value->clear();
  for (size_t at = 0; at < text.size(); ++at) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte != '%') {
      if (byte <= ' ' || byte >= 0x7f) return false;
      *value += text[at];
      continue;
    }
    if (at + 2 >= text.size()) return false;
    const int high = HexDigit(text[at + 1]), low = HexDigit(text[at + 2]);
    if (high < 0 || low < 0) return false;
    *value += static_cast<char>(high * 16 + low);
    at += 2;
  }
  return true;
}

std::string ItemLine(const JournalFields& fields) {
  std::string line = kItemKey;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ' ';
    line += fields[i].first + "=" + Encoded(fields[i].second);
  }
  return line;
}

// False when the line's fields are not "<name>=<encoded value>" apart by blanks.
bool ParseItemLine(const std::string& line, JournalFields* fields) {
  size_t at = sizeof kItemKey - 1;
  while (at < line.size()) {
    size_t end = line.find(' ', at);
    if (end == std::string::npos) end = line.size();
    const std::string field = line.substr(at, end - at);
    const size_t equals = field.find('=');
    std::string value;
    if (equals == std::string::npos || equals == 0 || !Decoded(field.substr(equals + 1), &value)) {
      return false;
    }
    fields->emplace_back(field.substr(0, equals), value);
    at = end + 1;
  }
  return true;
}

// The value of a line "<key><value>"; false when the line is not one.
bool After(const std::string& line, const char* key, std::string* value) {
  const std::string prefix = key;
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  *value = line.substr(prefix.size());
  return true;
}

bool IsDigest(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::vector<std::string> Lines(const std::string& text, bool* whole) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  *whole = start == text.size();
  return lines;
}

UndoJournalRead Refused(RestartRecordState state) { return UndoJournalRead{state, {}}; }

}  // namespace

std::wstring UndoJournalName(const std::string& product) {
  const std::string digits = product.substr(0, kNameDigits);  // hexadecimal, ASCII
  return L"TaverlyUndoJournal." + std::wstring(digits.begin(), digits.end()) + L".dat";
}

std::string UndoJournalText(const std::string& product, const std::string& key,
                            const JournalBody& body) {
  std::vector<std::string> lines = {kHeader,
                                    kProductKey + product,
                                    kKeyCheckKey + RecordDigest(key, {kKeyCheckText, product}),
                                    kStateKey + Encoded(body.state)};
  for (const JournalFields& item : body.items) lines.push_back(ItemLine(item));
  const std::string digest = RecordDigest(key, lines);
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text + kDigestKey + digest + "\n" + kEnd + "\n";
}

UndoJournalRead ParseUndoJournal(const std::string& text, const std::string& product,
                                 const RecordKey& key) {
  bool whole = false;
  std::vector<std::string> lines = Lines(text, &whole);
  // Whole: header, product, key check, state, the items, digest and end.
  std::string made_for, key_check, state, digest;
  if (!whole || lines.size() < 6 || lines.front() != kHeader || lines.back() != kEnd ||
      !After(lines[1], kProductKey, &made_for) || !IsDigest(made_for) ||
      !After(lines[2], kKeyCheckKey, &key_check) || !IsDigest(key_check) ||
      !After(lines[lines.size() - 2], kDigestKey, &digest) || !IsDigest(digest)) {
    return Refused(RestartRecordState::kTorn);
  }
  UndoJournalRead read;
  std::string state_text;
  if (!After(lines[3], kStateKey, &state_text) || !Decoded(state_text, &read.body.state)) {
    return Refused(RestartRecordState::kTorn);
  }
  for (size_t i = 4; i + 2 < lines.size(); ++i) {
    JournalFields fields;
    if (lines[i].compare(0, sizeof kItemKey - 1, kItemKey) != 0 ||
        !ParseItemLine(lines[i], &fields)) {
      return Refused(RestartRecordState::kTorn);
    }
    read.body.items.push_back(std::move(fields));
  }
  if (made_for != product) return Refused(RestartRecordState::kOtherProduct);
  if (key.state != RecordKeyState::kUsable) return Refused(RestartRecordState::kNoKey);
  if (RecordDigest(key.bytes, {kKeyCheckText, product}) != key_check) {
    return Refused(RestartRecordState::kOtherKey);
  }
  // Changed after it was written: what it says is not this program's word.
  lines.resize(lines.size() - 2);
  if (RecordDigest(key.bytes, lines) != digest) return Refused(RestartRecordState::kChanged);
  read.state = RestartRecordState::kUsable;
  return read;
}

UndoJournalRead ReadUndoJournal(const std::wstring& path, const std::string& product,
                                const RecordKey& key) {
  std::string text;
  switch (platform::ReadOwnSecret(path, &text, kUndoJournalLimit)) {
    case platform::OwnFileRead::kRead:
      return ParseUndoJournal(text, product, key);
    case platform::OwnFileRead::kMissing:
      return Refused(RestartRecordState::kMissing);
    case platform::OwnFileRead::kLink:
      return Refused(RestartRecordState::kLink);
    case platform::OwnFileRead::kForeign:
      return Refused(RestartRecordState::kForeign);
    case platform::OwnFileRead::kNotRegular:
      return Refused(RestartRecordState::kNotRegular);
    case platform::OwnFileRead::kTooLarge:
      return Refused(RestartRecordState::kTooLarge);
    case platform::OwnFileRead::kUnreadable:
      break;
  }
  return Refused(RestartRecordState::kUnreadable);
}

bool WriteUndoJournal(const std::wstring& path, const std::string& text, uint32_t* error) {
  return platform::ReplaceFileContent(path, text, true, error, true);
}
