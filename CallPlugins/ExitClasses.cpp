#include "CallPlugins/ExitClasses.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "Utils/PathUtils.h"

int32_t ParseExpectedCode(const std::string& text, bool* exact) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (exact != nullptr) {
    // strtoll leaves end at the start when it found no digits.
    bool clean = end != text.c_str() && value >= INT32_MIN && value <= INT32_MAX;
    for (const char* rest = end; clean && *rest != '\0'; ++rest) {
      clean = std::isspace(static_cast<unsigned char>(*rest)) != 0;
    }
    *exact = clean;
  }
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

std::vector<ExpectedCode> ReadExpectedCodes(const std::string& list) {
  std::vector<ExpectedCode> codes;
  for (const std::string& piece : SplitText(list, ";")) {
    ExpectedCode code;
    code.text = piece;
    code.value = ParseExpectedCode(piece, &code.exact);
    codes.push_back(code);
  }
  return codes;
}

bool InExpectedCodes(const std::vector<ExpectedCode>& codes, uint32_t exit_code) {
  for (const ExpectedCode& code : codes) {
    if (code.value == static_cast<int32_t>(exit_code)) return true;
  }
  return false;
}

bool ParseExitCodeList(const std::string& text, std::vector<int32_t>* codes) {
  codes->clear();
  for (const std::string& piece : SplitText(text, ";")) {
    if (piece.find_first_not_of(" \t") == std::string::npos) continue;
    bool exact = false;
    const int32_t code = ParseExpectedCode(piece, &exact);
    if (!exact) {
      codes->clear();
      return false;
    }
    codes->push_back(code);
  }
  return !codes->empty();
}

bool ParseWholeNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const uint32_t number = static_cast<uint32_t>(std::stoul(text));
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

ExitClasses DecideExitClasses(bool waited_exe, const ExitClassTexts& texts) {
  ExitClasses classes;
  const auto unused = [&](const char* name, const std::string& text) {
    if (!text.empty()) {
      classes.unused.push_back({name, text, waited_exe ? Unused::kBadValue : Unused::kNotWaited});
    }
  };
  const bool retry = waited_exe && ParseExitCodeList(texts.retry_exitcode, &classes.retry_codes);
  if (!retry) unused("retry_exitcode", texts.retry_exitcode);
  if (!retry || !ParseWholeNumber(texts.retries, 1, kMostRetries, &classes.retries)) {
    unused("retries", texts.retries);
  }
  if (!retry || !ParseWholeNumber(texts.retry_delay, 0, kLongestRetryDelay, &classes.retry_delay)) {
    unused("retry_delay", texts.retry_delay);
  }
  if (!waited_exe || !ParseExitCodeList(texts.reboot_now_exitcode, &classes.restart_now_codes)) {
    classes.restart_now_codes.clear();
    unused("reboot_now_exitcode", texts.reboot_now_exitcode);
  }
  return classes;
}

bool InCodeList(const std::vector<int32_t>& codes, uint32_t exit_code) {
  return std::find(codes.begin(), codes.end(), static_cast<int32_t>(exit_code)) != codes.end();
}

const char* CodeClassName(CodeClass code_class) {
  switch (code_class) {
    case CodeClass::kRestartNow:
      return "restart-now";
    case CodeClass::kRestart:
      return "restart";
    case CodeClass::kRetry:
      return "retry";
    case CodeClass::kAccepted:
      return "accepted";
    case CodeClass::kRefused:
      break;
  }
  return "refused";
}

std::vector<CodeOverlap> FindCodeOverlaps(const ExitClasses& classes,
                                          const std::vector<ExpectedCode>& restart_codes,
                                          const std::vector<ExpectedCode>& accepted_codes) {
  // Each class's codes, once each, in judging order.
  std::map<int32_t, std::vector<CodeClass>> classes_of;
  const auto add = [&](int32_t code, CodeClass code_class) {
    std::vector<CodeClass>& list = classes_of[code];
    if (std::find(list.begin(), list.end(), code_class) == list.end()) list.push_back(code_class);
  };
  for (int32_t code : classes.restart_now_codes) add(code, CodeClass::kRestartNow);
  for (const ExpectedCode& code : restart_codes) add(code.value, CodeClass::kRestart);
  for (int32_t code : classes.retry_codes) add(code, CodeClass::kRetry);
  for (const ExpectedCode& code : accepted_codes) add(code.value, CodeClass::kAccepted);
  std::vector<CodeOverlap> overlaps;
  for (const auto& entry : classes_of) {
    if (entry.second.size() > 1) overlaps.push_back({entry.first, entry.second});
  }
  return overlaps;
}
