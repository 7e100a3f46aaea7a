// The rules of the item attributes that guard what an item runs and what the
// records show of it: "signed" (the item's file must carry the product's
// signature) and "sensitive" (an Exe item's parameters are kept out of every
// record). Shared by the runner and taverly-plan; nothing here logs.
#pragma once

#include <string>

#include "Bundle/LwBundle.h"
#include "CallPlugins/ItemRules.h"
#include "Platform/platform.h"

// What the records show in place of a sensitive item's parameters.
extern const wchar_t kHiddenParameters[];

// Exactly "1" turns each on; any other text leaves the item as it is.
bool ReadSignedItem(ILwBundle* bundle);
bool ReadSensitiveItem(ILwBundle* bundle);

// Why a signed item's file, signed as it must be, still cannot run exactly
// as it was checked.
enum class SignedContentProblem {
  kNone,
  // A command script that does not end itself before its signature block
  // (Signing/CommandScript.h).
  kScriptRunsOn,
  // An ELF library that may have the loader bring in a library from outside
  // the system's folders (Utils/LibrarySearch.h), or whose dynamic section
  // cannot be read.
  kUncheckedLibraries,
  // A program that may have the system run code that is not its own besides
  // it: a library or loader of the product, a "#!" interpreter that is not
  // the system's own (Utils/ProgramSearch.h).
  kUncheckedProgram,
};

// Judges the content of a signed item's open, verified file. source names
// what makes a library kUncheckedLibraries ("RUNPATH $ORIGIN"), or a program
// kUncheckedProgram ("IMPORT wdep.dll").
SignedContentProblem JudgeSignedContent(const ItemFacts& item, ItemKind kind,
                                        const platform::ReadOnlyFile& file, std::string* source);

// The item as the log, the result file, the run report and the plan show it:
// with sensitive, its parameters are kHiddenParameters; else unchanged.
ItemFacts ShownItemFacts(const ItemFacts& facts, bool sensitive);

// Answers whether "%productpath%" stands in param text outside double quotes,
// so that a product folder holding "&", "|" or "^" would split the command
// line of a command script.
bool HasUnquotedProductPath(const std::string& param);
