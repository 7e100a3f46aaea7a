// Turns what an item's program wrote into log lines: one per line of output,
// so the output can never put a line of its own into the log.
#pragma once

#include <string>
#include <vector>

#include "Platform/process.h"

// The longest part of one output line that a log line carries.
constexpr size_t kLongestOutputLine = 16 * 1024;

// Returns the texts that follow "exe output: ", one per log line: each line
// of output (LF or CR LF ends a line, the last one needs neither) whole and
// on its own, in UTF-8 (read as platform::OutputLineReader says), escaped
// as EscapedLogText does (a CR inside a line too).
// Output beyond the head and tail that were kept, and the part of a line
// whose escaped text would pass kLongestOutputLine, are named instead by a
// text "<N> bytes left out" (bytes of output) in their place. A line that runs across the cut
// between head and tail shows as its two ends.
std::vector<std::string> OutputLogTexts(const platform::CapturedOutput& output);
