// The retry and restart-now classes of a waited-for Exe item's exit codes:
// "retry_exitcode" with "retries" and "retry_delay", and
// "reboot_now_exitcode". Shared by the runner and taverly-plan; nothing here
// logs, starts or records anything. Without the attributes an item is judged
// exactly as it always was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"

constexpr uint32_t kDefaultRetries = 3;
constexpr uint32_t kMostRetries = 10;
constexpr uint32_t kDefaultRetryDelay = 10;    // seconds
constexpr uint32_t kLongestRetryDelay = 3600;  // seconds

// The four attributes as written.
struct ExitClassTexts {
  std::string retry_exitcode;
  std::string retries;
  std::string retry_delay;
  std::string reboot_now_exitcode;
};
ExitClassTexts ReadExitClassTexts(ILwBundle* bundle);

// An attribute written but not used, with its text, for its "not used" line.
struct UnusedAttribute {
  const char* name;
  std::string text;
};

struct ExitClasses {
  std::vector<int32_t> retry_codes;  // empty: no retries
  uint32_t retries = kDefaultRetries;
  uint32_t retry_delay = kDefaultRetryDelay;
  std::vector<int32_t> restart_now_codes;  // empty: the item never stops the run
  std::vector<UnusedAttribute> unused;     // in the order of ExitClassTexts
};

// Reads a list of exit codes: ";" pieces, each a whole number in 32 bits
// (blanks around it allowed), empty pieces passed over; false when a piece is
// anything else or no piece is left.
bool ParseExitCodeList(const std::string& text, std::vector<int32_t>* codes);

// Reads a whole number of digits alone from low to high; false otherwise.
bool ParseWholeNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value);

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
// reboot_codes and accepted_codes are "reboot_exitcode" and "exitcode" as
// the runner reads them (atoi-like pieces).
std::vector<CodeOverlap> FindCodeOverlaps(const ExitClasses& classes,
                                          const std::string& reboot_codes,
                                          const std::vector<std::string>& accepted_codes);
