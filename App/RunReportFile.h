// Writes the run report beside the result file.
#pragma once

class RunContext;

// Replaces the run's TaverlyRunReport.json with the report of the run so far
// (final: flushed to disk; else left to the system, as progress reports are
// many). A failure of the final write is one ERROR line and changes nothing
// else.
void WriteRunReport(const RunContext& run, bool final);
