// The record a run leaves when an item's exit code stopped it for a restart:
// which items were done, so that the next run of the same product passes over
// them. Each product has its own, beside the result file; it is written whole
// and used once. Shared by the runner and taverly-plan.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"
#include "CallPlugins/RecordKey.h"

// The one record of every product that an earlier version left, in the log
// folder; no run can use it.
extern const wchar_t kEarlierRestartRecordName[];

// Where a product's record lies. The product is its folder, however the
// installation path spells it: a digest of the folder's identity.
struct RestartRecordPlace {
  bool resolved = false;  // the folder's identity is known
  uint32_t error = 0;     // the system error number when it is not
  std::string product;    // hexadecimal
  std::wstring path;      // "TaverlyResumeInfo.<16 digits of product>.dat" in the log folder
};
RestartRecordPlace LocateRestartRecord(const std::wstring& log_folder,
                                       const std::wstring& product_folder);
// The record's file name for a product digest.
std::wstring RestartRecordName(const std::string& product);
// The digest of a folder identity (platform::FolderIdentity).
std::string ProductDigest(const std::string& folder_identity);
// A digest of texts keyed with key (an unkeyed one when key is empty), in
// 64 hexadecimal digits; each text counts with its end, so that no two lists
// of texts give the same digest. The records' one digest.
std::string RecordDigest(const std::string& key, const std::vector<std::string>& texts);

// An item as the record knows it: its module file's name and the text of
// every attribute, in a digest keyed with the machine's key.
std::string ItemIdentity(const std::string& key, const std::string& module_file_name,
                         ILwBundle* bundle);

// The record's text for a product, made with key, and the identities of the
// items done, in run order.
std::string RestartRecordText(const std::string& product, const std::string& key,
                              const std::vector<std::string>& done);

enum class RestartRecordState {
  kUsable,
  kMissing,
  kTorn,  // not the record's form, or cut short
  kLink,
  kForeign,     // another account owns it, or others may write it
  kNotRegular,  // a folder, FIFO, device or socket
  kUnreadable,
  kOtherProduct,    // made by a run of another product
  kNoKey,           // the machine's key cannot be used
  kOtherKey,        // made with another key than the machine's
  kEarlierVersion,  // the record an earlier version left
  kTooLarge,        // an undo journal over its limit, not read
  kChanged,         // an undo journal whose digest does not match its text
};
// Why a record is not used, for its log line ("it is torn").
const char* RestartRecordRefusal(RestartRecordState state);

struct RestartRecord {
  RestartRecordState state = RestartRecordState::kMissing;
  std::map<std::string, int> done;  // identity -> how many items had it
  std::string key_check;            // what the key it was made with gives
  std::string key;                  // the machine's key, once judged usable
};

// Reads the record's text for the run of product.
RestartRecord ParseRestartRecord(const std::string& text, const std::string& product);
// Reads the record at path without following a link or blocking on a FIFO.
RestartRecord ReadRestartRecord(const std::wstring& path, const std::string& product);
// Judges a record of this product by the machine's key: a usable one keeps
// the key for the identities of its items; else kNoKey or kOtherKey.
void JudgeRecordKey(RestartRecord* record, const std::string& product, const RecordKey& key);

// Takes one item with identity off the record; false when it holds none.
bool TakeDoneItem(RestartRecord* record, const std::string& identity);

// What a run knows of its restart record: where the product's record lies
// (found once, as the run changes folder later) and the record it took
// (without one nothing is passed over).
struct RestartSession {
  RestartRecordPlace place;
  RestartRecord taken;
};
