#include "CallPlugins/RecordKey.h"

#include <sodium.h>

#include "Platform/files/files.h"

namespace {

RecordKey ReadKeyAt(const std::wstring& path) {
  RecordKey key;
  key.path = path;
  if (path.empty()) {
    key.state = RecordKeyState::kNoPlace;
    return key;
  }
  if (!platform::SecretFolderClosed(path)) {
    key.state = RecordKeyState::kOpenFolder;
    return key;
  }
  switch (platform::ReadOwnSecret(path, &key.bytes)) {
    case platform::OwnFileRead::kRead:
      key.state =
          key.bytes.size() == kRecordKeySize ? RecordKeyState::kUsable : RecordKeyState::kTorn;
      break;
    case platform::OwnFileRead::kMissing:
      key.state = RecordKeyState::kMissing;
      break;
    case platform::OwnFileRead::kLink:
      key.state = RecordKeyState::kLink;
      break;
    case platform::OwnFileRead::kForeign:
      key.state = RecordKeyState::kForeign;
      break;
    case platform::OwnFileRead::kNotRegular:
      key.state = RecordKeyState::kNotRegular;
      break;
    case platform::OwnFileRead::kUnreadable:
    case platform::OwnFileRead::kTooLarge:  // read without a limit
      key.state = RecordKeyState::kUnreadable;
      break;
  }
  if (key.state != RecordKeyState::kUsable) key.bytes.clear();
  return key;
}

}  // namespace

const char* RecordKeyRefusal(RecordKeyState state) {
  switch (state) {
    case RecordKeyState::kUsable:
      return "it is usable";
    case RecordKeyState::kMissing:
      return "it is missing";
    case RecordKeyState::kLink:
      return "it is a link";
    case RecordKeyState::kForeign:
      return "another account owns it or may read or write it";
    case RecordKeyState::kNotRegular:
      return "it is no regular file";
    case RecordKeyState::kUnreadable:
      return "it cannot be read";
    case RecordKeyState::kTorn:
      return "it is torn";
    case RecordKeyState::kNoPlace:
      return "the system names no place for it";
    case RecordKeyState::kOpenFolder:
      return "its folder is a link, or another account owns it or may write it";
    case RecordKeyState::kNotMade:
      break;
  }
  return "it cannot be made";
}

RecordKey ReadRecordKey() { return ReadKeyAt(platform::MachineSecretPath()); }

RecordKey ObtainRecordKey() {
  RecordKey key = ReadRecordKey();
  if (key.state != RecordKeyState::kMissing) return key;
  std::string fresh(kRecordKeySize, '\0');
  randombytes_buf(&fresh[0], fresh.size());
  uint32_t error = 0;
  // Another run that made it meanwhile has made the one to use.
  if (!platform::CreateSecretFile(key.path, fresh, &error)) {
    key.state = RecordKeyState::kNotMade;
    key.error = error;
    return key;
  }
  return ReadKeyAt(key.path);
}
