// Reads the program's options from the process command line: "--installpath="
// and the others, each matched here the same way.
#pragma once

#include <string>
#include <vector>

namespace CommandParser {

// The option that names the product folder, and the text that begins it.
constexpr char kInstallPathOption[] = "--installpath=";

// The option that takes back what the last run of the product did.
constexpr char kUndoOption[] = "--undo";

// Returns the command-line arguments in the narrow code page, without the
// program name and without empty arguments.
std::vector<std::string> GetArguments();

// Sets destination to what follows key when argument begins with it, and logs
// the match; otherwise leaves destination alone and answers false.
bool ParseOption(std::string& destination, const std::string& argument, const std::string& key);

enum class FlagMatch {
  kNone,      // another argument
  kGiven,     // exactly the flag
  kMisspelt,  // the flag followed by more, in another case or with one dash ("--undo=1", "-Undo")
};
// Matches an option without a value: only the exact text is the flag.
FlagMatch MatchFlag(const std::string& argument, const std::string& flag);
// MatchFlag, and logs the flag when given.
FlagMatch ParseFlag(const std::string& argument, const std::string& flag);

}  // namespace CommandParser
