// The machine's secret key of the restart record. The record keeps digests
// of the items done keyed with it, so that nobody who reads a record (a
// support bundle of the log folder, say) can confirm a guessed attribute
// value, a sensitive parameter among them. It is made once, at the first
// stop for a restart, where only the system account and administrators may
// read it, and never lies in the log folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The key's size in bytes, as the keyed digest takes it.
constexpr size_t kRecordKeySize = 32;

enum class RecordKeyState {
  kUsable,
  kMissing,
  kLink,
  kForeign,  // another account owns it or may read or write it
  kNotRegular,
  kUnreadable,
  kTorn,     // not kRecordKeySize bytes
  kNoPlace,  // the system names no place for it
  kNotMade,  // there was none, and it could not be made
  // Its folder is a link, or another account owns it or may write it: it
  // is neither read nor made there.
  kOpenFolder,
};
// Why the key cannot be used, for its log line ("it is missing").
const char* RecordKeyRefusal(RecordKeyState state);

struct RecordKey {
  RecordKeyState state = RecordKeyState::kMissing;
  std::wstring path;
  std::string bytes;   // the key, when usable
  uint32_t error = 0;  // kNotMade: the system error number
};

// Reads the machine's key; never makes one.
RecordKey ReadRecordKey();
// Reads the machine's key, making it first when there is none.
RecordKey ObtainRecordKey();
