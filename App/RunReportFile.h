// Writes the run report beside the result file.
#pragma once

#include <string>

class RunContext;

// Replaces the run's TaverlyRunReport.json with the report of the run so far
// (final: flushed to disk; else left to the system, as progress reports are
// many). Answers whether it was written. A failure of the final write is one
// ERROR line and changes nothing else.
bool WriteRunReport(const RunContext& run, bool final);

// Removes the report at path, which this run could not replace: an earlier
// run's report, finished and maybe a success, must not stand for this run.
// Silent, as the failed write has said what happened; a report that stays
// is logged.
void RemoveOutdatedRunReport(const std::wstring& path);
