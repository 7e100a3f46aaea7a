// Declares the rules by which the finishing work reads and judges the items of
// a phase. The runner and taverly-plan both use them, so a plan can never
// describe an item differently from how a run treats it. Nothing here logs,
// starts, loads or records anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"
#include "LoadXml/LoadModXml.h"

// The result a library entry must return when its item has an expectation,
// whatever "exitcode" lists.
constexpr int32_t kExpectedLibraryResult = -1;

// Reads a text attribute with the bundle's two-call protocol; anything but a
// clean answer (and a null bundle or an empty name) reads as empty.
std::string ReadItemAttribute(ILwBundle* bundle, const char* name);

// Replaces each "%productpath%" (exact, case-sensitive) by folder; text that
// came from folder is never searched again.
std::wstring SubstituteProductPath(const std::wstring& text, const std::wstring& folder);

// Reads one piece of "exitcode" the way atoi does: leading blanks and a sign
// accepted, it stops at the first non-digit, no digits give 0. Values beyond
// 32 bits saturate, as on Windows. When exact is given, it tells whether the
// piece said what it reads as: digits present, nothing but blanks after them,
// and no saturation.
int32_t ParseExpectedCode(const std::string& text, bool* exact = nullptr);

// Answers whether exit_code is one of the ";" pieces of a "reboot_exitcode"
// list, each read as ParseExpectedCode reads the pieces of "exitcode".
bool AsksForRestart(const std::string& reboot_exitcode, uint32_t exit_code);

// The path the run forms for an item's "file": product folder + separator +
// "file" in wide text, plainly joined.
std::wstring ItemFilePath(const std::wstring& product_folder, const std::string& file);

// What the common steps read for every item, before the type decides.
struct ItemFacts {
  std::string file;        // "file" as written
  std::wstring file_path;  // product folder + separator + "file"
  std::wstring product_folder;
  std::string type;
  bool has_expectation = false;             // "exitcode" is not empty
  std::string exit_codes;                   // "exitcode" as written
  std::vector<std::string> expected_codes;  // its non-empty ";" pieces, in order
  std::wstring parameters;                  // "param" with "%productpath%" replaced
};
ItemFacts ReadItemFacts(ILwBundle* bundle, const std::wstring& product_folder);

enum class ItemKind { kExe, kSimpleDll, kSkipped };
// Types compare byte for byte: "exe" is not "Exe" and is skipped.
ItemKind ItemKindOf(const std::string& type);

// Exactly "1" waits for the started program.
bool ReadWaitForExit(ILwBundle* bundle);

// The longest time limit an item may give, in seconds: a day.
constexpr uint32_t kLongestTimeout = 86400;

// Reads "timeout": whole seconds, digits only, 1 to kLongestTimeout. False
// for anything else (the empty text included).
bool ParseTimeoutSeconds(const std::string& text, uint32_t* seconds);

// How a waited-for Exe item is supervised, from its "timeout" and
// "log_output" attributes. Both serve only items that wait; without them the
// item runs exactly as it always has.
struct Supervision {
  uint32_t timeout_seconds = 0;  // 0: no time limit
  // "timeout" is written but not used: the item does not wait, or the text
  // is no whole number of seconds in range. The runner says so in a line.
  bool timeout_unused = false;
  bool capture_output = false;  // log_output is "1" and the item waits
  // log_output is "1" but the item does not wait.
  bool capture_unused = false;
};
Supervision DecideSupervision(bool wait, const std::string& timeout, const std::string& log_output);

enum class SystemGate {
  kRun,
  kSkipNeedsSystem,        // "1", and the process is not the system account
  kSkipNeedsOtherAccount,  // "0", and the process is the system account
};
// Applies the "system" gate of an Exe item. is_system is asked only when the
// text is "1" or "0", as the runner asks the account nothing otherwise.
SystemGate DecideSystemGate(const std::string& system, bool (*is_system)());

// The product folder as the finishing work forms it from the installation path.
std::wstring ProductFolderOf(const std::string& install_path);

// The security-base library: product folder + separator + its file name.
std::wstring SecurityBasePath(const std::wstring& product_folder);

// One row of the phase table, in run order.
struct PhaseRule {
  const char* element;  // the phase element of a module file
  PhaseItemMap (ModXmlLoader::*items)();
  const char* start_line;
  const char* failure_line;
  const char* end_line;
};
constexpr size_t kPhaseCount = 3;
extern const PhaseRule kPhaseRules[kPhaseCount];
