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

// Opens a signed="1" item's file and judges it before it starts or loads,
// the file staying open for the start; when it does not verify (nor open),
// records the item's failure (code 52). False then.
bool OpenSignedItemFile(const ItemFacts& item, platform::ReadOnlyFile* file);

// The item as the log, the result file, the run report and the plan show it:
// with sensitive, its parameters are kHiddenParameters; else unchanged.
ItemFacts ShownItemFacts(const ItemFacts& facts, bool sensitive);

// Answers whether "%productpath%" stands in param text outside double quotes,
// so that a product folder holding "&", "|" or "^" would split the command
// line of a command script.
bool HasUnquotedProductPath(const std::string& param);

// Answers whether file names a command script (.bat or .cmd, any case), whose
// command line the command processor reads.
bool IsCommandScriptName(const std::string& file);
