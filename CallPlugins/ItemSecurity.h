// What a signed="1" item's file must hold to run exactly as it was checked,
// and the parameter text a command script could be split by. Shared by the
// runner and taverly-plan; nothing here logs.
#pragma once

#include <string>

#include "CallPlugins/Item.h"
#include "Platform/files/files.h"

// Why a signed item's file, signed as it must be, still cannot run exactly
// as it was checked.
enum class SignedContentProblem {
  kNone,
  // A command script that does not end itself before its signature block
  // (Signing/CommandScript.h).
  kScriptRunsOn,
  // An ELF library that may have the loader bring in a library from outside
  // the system's folders (Signing/LibrarySearch.h), or whose dynamic section
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
SignedContentProblem JudgeSignedContent(const Item& item, const platform::ReadOnlyFile& file,
                                        std::string* source);

// Answers whether "%productpath%" stands in param text outside double quotes,
// so that a product folder holding "&", "|" or "^" would split the command
// line of a command script.
bool HasUnquotedProductPath(const std::string& param);
