#include "CallPlugins/ResumeRecord.h"

#include <sodium.h>

#include <cstdio>
#include <vector>

#include "CallPlugins/ItemRules.h"
#include "Platform/platform.h"

const wchar_t kResumeRecordName[] = L"TaverlyResumeInfo.dat";

namespace {

const char kHeader[] = "taverly-resume/1";
const char kPathKey[] = "install_path=";
const char kItemKey[] = "item=";
const char kEnd[] = "end";
constexpr size_t kIdentitySize = 32;  // bytes, 64 hexadecimal digits

// Every key of the bundle, in ascending byte order (its GetKeys answer).
std::vector<std::string> BundleKeys(ILwBundle* bundle) {
  int32_t length = 0;
  if (bundle == nullptr || bundle->GetKeys(nullptr, &length) != LW_S_MORE_DATA || length <= 0) {
    return {};
  }
  std::vector<char> buffer(static_cast<size_t>(length), '\0');
  if (bundle->GetKeys(buffer.data(), &length) != 0) return {};
  std::vector<std::string> keys;
  for (size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
    keys.emplace_back(buffer.data() + at);
    at += keys.back().size() + 1;
  }
  return keys;
}

bool IsIdentity(const std::string& text) {
  return text.size() == 2 * kIdentitySize &&
         text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string ItemIdentity(const std::string& module_file_name, ILwBundle* bundle) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, kIdentitySize);
  const auto add = [&](const std::string& text) {
    // Each text with its NUL, so that no two lists of texts hash alike.
    crypto_generichash_update(
        &state, reinterpret_cast<const unsigned char*>(text.c_str()), text.size() + 1);
  };
  add(module_file_name);
  for (const std::string& key : BundleKeys(bundle)) {
    add(key);
    add(ReadItemAttribute(bundle, key.c_str()));
  }
  unsigned char digest[kIdentitySize];
  crypto_generichash_final(&state, digest, sizeof digest);
  std::string hex;
  for (unsigned char byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

std::string ResumeRecordText(const std::string& install_path,
                             const std::vector<std::string>& done) {
  std::string text = std::string(kHeader) + "\n" + kPathKey + install_path + "\n";
  for (const std::string& identity : done) text += kItemKey + identity + "\n";
  return text + kEnd + "\n";
}

const char* ResumeRefusal(ResumeState state) {
  switch (state) {
    case ResumeState::kUsable:
      return "it is usable";
    case ResumeState::kMissing:
      return "it is missing";
    case ResumeState::kTorn:
      return "it is torn";
    case ResumeState::kLink:
      return "it is a link";
    case ResumeState::kForeign:
      return "another account owns it or may write it";
    case ResumeState::kNotRegular:
      return "it is no regular file";
    case ResumeState::kUnreadable:
      return "it cannot be read";
    case ResumeState::kOtherProduct:
      break;
  }
  return "it is for another installation path";
}

ResumeRecord ParseResumeRecord(const std::string& text, const std::string& install_path) {
  ResumeRecord record;
  record.state = ResumeState::kTorn;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  // Whole: the header, the path, the items and the end line, nothing after.
  if (start != text.size() || lines.size() < 3 || lines.front() != kHeader ||
      lines.back() != kEnd || lines[1].compare(0, sizeof kPathKey - 1, kPathKey) != 0) {
    return record;
  }
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.compare(0, sizeof kItemKey - 1, kItemKey) != 0)
      return ResumeRecord{ResumeState::kTorn, {}};
    const std::string identity = line.substr(sizeof kItemKey - 1);
    if (!IsIdentity(identity)) return ResumeRecord{ResumeState::kTorn, {}};
    ++record.done[identity];
  }
  if (lines[1].substr(sizeof kPathKey - 1) != install_path) {
    return ResumeRecord{ResumeState::kOtherProduct, {}};
  }
  record.state = ResumeState::kUsable;
  return record;
}

ResumeRecord ReadResumeRecord(const std::wstring& path, const std::string& install_path) {
  std::string text;
  switch (platform::ReadOwnFile(path, &text)) {
    case platform::OwnFileRead::kRead:
      return ParseResumeRecord(text, install_path);
    case platform::OwnFileRead::kMissing:
      return ResumeRecord{ResumeState::kMissing, {}};
    case platform::OwnFileRead::kLink:
      return ResumeRecord{ResumeState::kLink, {}};
    case platform::OwnFileRead::kForeign:
      return ResumeRecord{ResumeState::kForeign, {}};
    case platform::OwnFileRead::kNotRegular:
      return ResumeRecord{ResumeState::kNotRegular, {}};
    case platform::OwnFileRead::kUnreadable:
      break;
  }
  return ResumeRecord{ResumeState::kUnreadable, {}};
}

bool TakeDoneItem(ResumeRecord* record, const std::string& identity) {
  auto found = record->done.find(identity);
  if (found == record->done.end()) return false;
  if (--found->second == 0) record->done.erase(found);
  return true;
}
