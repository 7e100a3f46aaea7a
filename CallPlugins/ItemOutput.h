// Turns what an item's program left into log text: what it wrote, one log
// line per line of output, so the output can never put a line of its own
// into the log; and how far the end of one that timed out reached.
#pragma once

#include <string>
#include <vector>

#include "Platform/process/process.h"

// The longest part of one output line that a log line carries.
constexpr size_t kLongestOutputLine = 16 * 1024;
// Escaped text takes at least a byte for each byte of output, so the rest of
// the head's last line that is kept reaches the cut of a log line.
static_assert(platform::kOutputHeadLineBytes >= kLongestOutputLine,
              "the head's last line must be kept as far as a log line carries it");

// Returns the texts that follow "exe output: ", one per log line: each line
// of output (LF or CR LF ends a line, the last one needs neither) whole and
// on its own, in UTF-8 (read as platform::OutputLineReader says), escaped as
// EscapedLogText does (a CR inside a line too). No text is ever a line's
// middle or end: a line whose escaped text would pass kLongestOutputLine is
// cut there, and output that was not kept (between head and tail, with the
// part of a line the tail starts inside) is left out; what is left out
// between two texts is named by one text "<N> bytes left out" in its place
// (bytes of output, but not the line break of a line cut in what was kept).
std::vector<std::string> OutputLogTexts(const platform::CapturedOutput& output);

// What the time-out line adds on how far the end of a program that timed
// out reached: nothing when it ended all of it.
std::string EndedReachText(const platform::ProgramResult& result);
