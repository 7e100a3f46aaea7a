#include "CallPlugins/RestartRecord.h"

#include <sodium.h>

#include <cstdio>
#include <vector>

#include "CallPlugins/Item.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"

const wchar_t kEarlierRestartRecordName[] = L"TaverlyResumeInfo.dat";

namespace {

const char kHeader[] = "taverly-resume/2";
const char kProductKey[] = "product=";
const char kKeyCheckKey[] = "key_check=";
const char kItemKey[] = "item=";
const char kEnd[] = "end";
constexpr size_t kDigestSize = 32;  // bytes, 64 hexadecimal digits
constexpr size_t kNameDigits = 16;  // of the product's digest, in the file name
const char kKeyCheckText[] = "taverly-resume key check";

}  // namespace

std::string RecordDigest(const std::string& key, const std::vector<std::string>& texts) {
  crypto_generichash_state state;
  crypto_generichash_init(
      &state,
      key.empty() ? nullptr : reinterpret_cast<const unsigned char*>(key.data()),
      key.size(),
      kDigestSize);
  for (const std::string& text : texts) {
    crypto_generichash_update(
        &state, reinterpret_cast<const unsigned char*>(text.c_str()), text.size() + 1);
  }
  unsigned char digest[kDigestSize];
  crypto_generichash_final(&state, digest, sizeof digest);
  std::string hex;
  for (unsigned char byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

namespace {

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

bool IsDigest(const std::string& text) {
  return text.size() == 2 * kDigestSize &&
         text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The value of a line "<key><64 digits>"; empty when the line is not one.
std::string DigestAfter(const std::string& line, const char* key, size_t key_size) {
  if (line.compare(0, key_size, key) != 0) return std::string();
  std::string value = line.substr(key_size);
  return IsDigest(value) ? value : std::string();
}

std::string KeyCheck(const std::string& key, const std::string& product) {
  return RecordDigest(key, {kKeyCheckText, product});
}

}  // namespace

std::string ProductDigest(const std::string& folder_identity) {
  return RecordDigest(std::string(), {folder_identity});
}

std::wstring RestartRecordName(const std::string& product) {
  const std::string digits = product.substr(0, kNameDigits);  // hexadecimal, ASCII
  return L"TaverlyResumeInfo." + std::wstring(digits.begin(), digits.end()) + L".dat";
}

RestartRecordPlace LocateRestartRecord(const std::wstring& log_folder,
                                       const std::wstring& product_folder) {
  RestartRecordPlace place;
  std::string identity;
  place.resolved = platform::FolderIdentity(product_folder, &identity, &place.error);
  if (!place.resolved) return place;
  place.product = ProductDigest(identity);
  place.path = platform::CombinePath(log_folder, RestartRecordName(place.product));
  return place;
}

std::string ItemIdentity(const std::string& key, const std::string& module_file_name,
                         ILwBundle* bundle) {
  // Never a digest without the key: that one would confirm a guessed value.
  if (key.size() != kRecordKeySize) return std::string();
  std::vector<std::string> texts = {module_file_name};
  for (const std::string& name : BundleKeys(bundle)) {
    texts.push_back(name);
    texts.push_back(ReadItemAttribute(bundle, name.c_str()));
  }
  return RecordDigest(key, texts);
}

std::string RestartRecordText(const std::string& product, const std::string& key,
                              const std::vector<std::string>& done) {
  std::string text = std::string(kHeader) + "\n" + kProductKey + product + "\n" + kKeyCheckKey +
                     KeyCheck(key, product) + "\n";
  for (const std::string& identity : done) text += kItemKey + identity + "\n";
  return text + kEnd + "\n";
}

const char* RestartRecordRefusal(RestartRecordState state) {
  switch (state) {
    case RestartRecordState::kUsable:
      return "it is usable";
    case RestartRecordState::kMissing:
      return "it is missing";
    case RestartRecordState::kTorn:
      return "it is torn";
    case RestartRecordState::kLink:
      return "it is a link";
    case RestartRecordState::kForeign:
      return "another account owns it or may write it";
    case RestartRecordState::kNotRegular:
      return "it is no regular file";
    case RestartRecordState::kUnreadable:
      return "it cannot be read";
    case RestartRecordState::kOtherProduct:
      return "it is for another installation path";
    case RestartRecordState::kNoKey:
      return "its key cannot be used";
    case RestartRecordState::kOtherKey:
      return "it was made with another key";
    case RestartRecordState::kTooLarge:
      return "it is too large";
    case RestartRecordState::kChanged:
      return "it was changed after it was written";
    case RestartRecordState::kEarlierVersion:
      break;
  }
  return "it was made by an earlier version";
}

RestartRecord ParseRestartRecord(const std::string& text, const std::string& product) {
  RestartRecord record;
  record.state = RestartRecordState::kTorn;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  // Whole: header, product, key check, the items and the end line, nothing after.
  if (start != text.size() || lines.size() < 4 || lines.front() != kHeader ||
      lines.back() != kEnd) {
    return record;
  }
  const std::string made_for = DigestAfter(lines[1], kProductKey, sizeof kProductKey - 1);
  record.key_check = DigestAfter(lines[2], kKeyCheckKey, sizeof kKeyCheckKey - 1);
  if (made_for.empty() || record.key_check.empty())
    return RestartRecord{RestartRecordState::kTorn, {}, {}, {}};
  for (size_t i = 3; i + 1 < lines.size(); ++i) {
    const std::string identity = DigestAfter(lines[i], kItemKey, sizeof kItemKey - 1);
    if (identity.empty()) return RestartRecord{RestartRecordState::kTorn, {}, {}, {}};
    ++record.done[identity];
  }
  if (made_for != product) return RestartRecord{RestartRecordState::kOtherProduct, {}, {}, {}};
  record.state = RestartRecordState::kUsable;
  return record;
}

RestartRecord ReadRestartRecord(const std::wstring& path, const std::string& product) {
  std::string text;
  switch (platform::ReadOwnFile(path, &text)) {
    case platform::OwnFileRead::kRead:
      return ParseRestartRecord(text, product);
    case platform::OwnFileRead::kMissing:
      return RestartRecord{RestartRecordState::kMissing, {}, {}, {}};
    case platform::OwnFileRead::kLink:
      return RestartRecord{RestartRecordState::kLink, {}, {}, {}};
    case platform::OwnFileRead::kForeign:
      return RestartRecord{RestartRecordState::kForeign, {}, {}, {}};
    case platform::OwnFileRead::kNotRegular:
      return RestartRecord{RestartRecordState::kNotRegular, {}, {}, {}};
    case platform::OwnFileRead::kUnreadable:
    case platform::OwnFileRead::kTooLarge:  // read without a limit
      break;
  }
  return RestartRecord{RestartRecordState::kUnreadable, {}, {}, {}};
}

void JudgeRecordKey(RestartRecord* record, const std::string& product, const RecordKey& key) {
  if (record->state != RestartRecordState::kUsable) return;
  if (key.state != RecordKeyState::kUsable) {
    *record = RestartRecord{RestartRecordState::kNoKey, {}, {}, {}};
  } else if (KeyCheck(key.bytes, product) != record->key_check) {
    *record = RestartRecord{RestartRecordState::kOtherKey, {}, {}, {}};
  } else {
    record->key = key.bytes;
  }
}

bool TakeDoneItem(RestartRecord* record, const std::string& identity) {
  auto found = record->done.find(identity);
  if (found == record->done.end()) return false;
  if (--found->second == 0) record->done.erase(found);
  return true;
}
