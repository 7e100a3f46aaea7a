// The rules of an item's exit-code lists: "exitcode" and "reboot_exitcode"
// read piece by piece as atoi reads them, the retry class ("retry_exitcode"
// with "retries" and "retry_delay") and the restart-now class
// ("reboot_now_exitcode") of a waited-for Exe item, and the order in which
// an exit code is judged. Pure: nothing here logs, starts or records
// anything. Without the class attributes an item is judged exactly as it
// always was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CallPlugins/Unused.h"

constexpr uint32_t kDefaultRetries = 3;
constexpr uint32_t kMostRetries = 10;
constexpr uint32_t kDefaultRetryDelay = 10;    // seconds
constexpr uint32_t kLongestRetryDelay = 3600;  // seconds

// Reads one piece of "exitcode" the way atoi does: leading blanks and a sign
// accepted, it stops at the first non-digit, no digits give 0. Values beyond
// 32 bits saturate, as on Windows. When exact is given, it tells whether the
// piece said what it reads as: digits present, nothing but blanks after them,
// and no saturation.
int32_t ParseExpectedCode(const std::string& text, bool* exact = nullptr);

// One piece of "exitcode" or "reboot_exitcode" as the runner reads it.
struct ExpectedCode {
  std::string text;
  int32_t value = 0;
  bool exact = true;  // the text says what it reads as
};
// The non-empty ";" pieces of a list, in order, each read as ParseExpectedCode reads it.
std::vector<ExpectedCode> ReadExpectedCodes(const std::string& list);
// Answers whether exit_code, as a 32-bit value, is one of codes.
bool InExpectedCodes(const std::vector<ExpectedCode>& codes, uint32_t exit_code);

// Reads a whole number of digits alone from low to high; false otherwise.
bool ParseWholeNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value);

// Reads a list of exit codes: ";" pieces, each a whole number in 32 bits
// (blanks around it allowed), empty pieces passed over; false when a piece is
// anything else or no piece is left.
bool ParseExitCodeList(const std::string& text, std::vector<int32_t>* codes);

// The four class attributes as written.
struct ExitClassTexts {
  std::string retry_exitcode;
  std::string retries;
  std::string retry_delay;
  std::string reboot_now_exitcode;
};

struct ExitClasses {
  std::vector<int32_t> retry_codes;  // empty: no retries
  uint32_t retries = kDefaultRetries;
  uint32_t retry_delay = kDefaultRetryDelay;
  std::vector<int32_t> restart_now_codes;  // empty: the item never stops the run
  std::vector<UnusedAttribute> unused;     // in the order of ExitClassTexts
};

// Decides the classes of an item. waited_exe: an Exe item that waits for its
// program; for any other item each written attribute is not used. "retries"
// and "retry_delay" serve only a retry class that is used.
ExitClasses DecideExitClasses(bool waited_exe, const ExitClassTexts& texts);

bool InCodeList(const std::vector<int32_t>& codes, uint32_t exit_code);

// How an exit code is judged, in this order: restart now, restart at the
// end ("reboot_exitcode"), start again, accepted ("exitcode"), refused.
enum class CodeClass { kRestartNow, kRestart, kRetry, kAccepted, kRefused };
const char* CodeClassName(CodeClass code_class);

// An exit code listed in more than one class, with the classes it is in (in
// judging order; the first decides).
struct CodeOverlap {
  int32_t code = 0;
  std::vector<CodeClass> classes;
};
// restart_codes and accepted_codes: "reboot_exitcode" (as far as it is used)
// and "exitcode" as the runner reads them.
std::vector<CodeOverlap> FindCodeOverlaps(const ExitClasses& classes,
                                          const std::vector<ExpectedCode>& restart_codes,
                                          const std::vector<ExpectedCode>& accepted_codes);
