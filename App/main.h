// The run sequence and the result information file.
#pragma once

#include <string>

class RunContext;

// Runs the program from the single-instance guard to the result file and
// returns the process exit code.
int RunTaverly();

// Write the failure or success form of the result file. When is_success
// cannot be written, a result file left by an earlier run is removed.
void WriteFailureResult(const RunContext& run);
void WriteSuccessResult(const RunContext& run);
// Writes one value; a failure is logged. Answers whether it was written.
bool WriteResultValue(const std::wstring& path, const std::wstring& section,
                      const std::wstring& key, const std::wstring& value);
// Removes the result file at path, which this run cannot update, and logs
// what became of it (nothing when no file is there).
void RemoveOutdatedResultFile(const std::wstring& path);
