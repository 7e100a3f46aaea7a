// Declares what an item says about an attribute that is written but does
// nothing for it. The parser puts each such attribute in one list on the
// item, in the order the run says them; the runner and taverly-plan walk
// that list rather than asking attribute by attribute, so a new attribute
// is one entry the parser adds.
#pragma once

#include <cstring>
#include <string>

// Why an attribute that is written does nothing for its item.
enum class Unused {
  kNo,             // not written, or used
  kNotExe,         // it serves Exe items only
  kNotWaited,      // it serves only Exe items that wait for their program
  kBadValue,       // its text is no value the attribute takes
  kCannotCapture,  // log_output: a document, whose output only the shell sees (Windows)
  kNoRegistry,     // if_registry: the system has no registry
  kNotLibrary,     // it serves SimpleDll items only
  kEntryUndoes,    // undo: the item's undo_entry takes it back instead
  kNoAsUser,       // it serves only items that run as_user
};

// What an unused attribute concerns, which is where the run and the plan
// name it: before the conditions are judged, with the start of the program,
// or with the judging of its exit code.
enum class UnusedStage { kConditions, kStart, kExitCode };

// The line the run writes for it.
enum class UnusedLine {
  kNone,
  kNotUsed,      // "<name> not used, path: ..."
  kNotCaptured,  // "exe output not captured, path: ..."
};

// An attribute written but not used, with its text.
struct UnusedAttribute {
  const char* name;
  std::string text;
  Unused why = Unused::kBadValue;
  UnusedStage stage = UnusedStage::kExitCode;
  UnusedLine line = UnusedLine::kNotUsed;
};

// Whether the text carries program parameters, which a sensitive item's
// records hide: its undo's and its if_program's.
inline bool CarriesParameters(const UnusedAttribute& unused) {
  return std::strcmp(unused.name, "undo") == 0 || std::strcmp(unused.name, "if_program") == 0;
}
