// Runs the taverly-sign command line: makes key pairs, signs files and tells
// the verdict of a file's signature. Kept apart from main so tests can run it
// in-process and read its output.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit statuses of the tool.
constexpr int kSignToolOk = 0;
constexpr int kSignToolFileError = 1;  // a file could not be read or written
constexpr int kSignToolUsageError = 2;

// Runs the tool on its arguments (program name excluded); returns the exit status.
int RunSignTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
