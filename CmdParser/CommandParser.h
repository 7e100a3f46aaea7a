// Reads the one option the program knows, "--installpath=", from the process
// command line.
#pragma once

#include <string>
#include <vector>

namespace CommandParser {

// The option that names the product folder, and the text that begins it.
constexpr char kInstallPathOption[] = "--installpath=";

// Returns the command-line arguments in the narrow code page, without the
// program name and without empty arguments.
std::vector<std::string> GetArguments();

// Sets destination to what follows key when argument begins with it, and logs
// the match; otherwise leaves destination alone and answers false.
bool ParseOption(std::string& destination, const std::string& argument, const std::string& key);

}  // namespace CommandParser
