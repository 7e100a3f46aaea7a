// The run sequence and the result information file.
#pragma once

#include <string>

// Runs the program from the single-instance guard to the result file and
// returns the process exit code.
int RunTaverly();

void WriteFailureResult();
void WriteSuccessResult();
// Writes one value; a failure is logged and otherwise ignored.
void WriteResultValue(const std::wstring& path, const std::wstring& section,
                      const std::wstring& key, const std::wstring& value);
