// The record a run leaves when an item's exit code stopped it for a restart:
// which items were done, so that the next run with the same installation
// path passes over them. It lies beside the result file, is written whole and
// is used once. Shared by the runner and taverly-plan.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"

// The record's file name, in the log folder beside the result file.
extern const wchar_t kResumeRecordName[];

// An item as the record knows it: its module file's name and the text of
// every attribute, hashed (the record keeps no parameter text).
std::string ItemIdentity(const std::string& module_file_name, ILwBundle* bundle);

// The record's text for an installation path and the identities of the
// items done, in run order.
std::string ResumeRecordText(const std::string& install_path, const std::vector<std::string>& done);

enum class ResumeState {
  kUsable,
  kMissing,
  kTorn,  // not the record's form, or cut short
  kLink,
  kForeign,     // another account owns it, or others may write it
  kNotRegular,  // a folder, FIFO, device or socket
  kUnreadable,
  kOtherProduct,  // made by a run with another installation path
};
// Why a record is not used, for its log line ("it is torn").
const char* ResumeRefusal(ResumeState state);

struct ResumeRecord {
  ResumeState state = ResumeState::kMissing;
  std::map<std::string, int> done;  // identity -> how many items had it
};

// Reads the record's text for the run of install_path.
ResumeRecord ParseResumeRecord(const std::string& text, const std::string& install_path);
// Reads the record at path without following a link or blocking on a FIFO.
ResumeRecord ReadResumeRecord(const std::wstring& path, const std::string& install_path);

// Takes one item with identity off the record; false when it holds none.
bool TakeDoneItem(ResumeRecord* record, const std::string& identity);
