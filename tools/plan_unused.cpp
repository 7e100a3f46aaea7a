#include "tools/plan_unused.h"

#include <cstring>

#include "Utils/PathUtils.h"
#include "tools/plan_parts.h"

namespace {

// What the plan says of an attribute that is not used for one reason; kNo
// stands for any reason.
struct UnusedText {
  const char* name;
  Unused why;
  const char* code;
  std::wstring text;  // after name="text"; "{file}" is the item's file name
};

// The phrases several rows share.
const wchar_t kNotWaited[] =
    L" has no effect: the item is not waited for (wait_for_exit is not \"1\")";
const wchar_t kInLibrary[] =
    L" has no effect on a library item: a call inside the program can be neither ended nor "
    L"captured";
const wchar_t kNoLimit[] = L", so the item runs without a time limit";
const wchar_t kAsIfNotWritten[] = L", so the item runs as if it were not written";
const wchar_t kExitClass[] =
    L" is not used: it serves waited-for Exe items, with values in range (retries and "
    L"retry_delay with a retry_exitcode that is used)";

std::wstring NotSeconds() {
  return L" is not a whole number of seconds from 1 to " + std::to_wstring(kLongestTimeout);
}

const std::vector<UnusedText>& UnusedTexts() {
  static const std::vector<UnusedText> texts = {
      {"timeout", Unused::kNotExe, "timeout-unused", kInLibrary},
      {"timeout", Unused::kBadValue, "timeout-unused", NotSeconds() + kNoLimit},
      {"timeout", Unused::kNotWaited, "timeout-unused", std::wstring(kNotWaited) + kNoLimit},
      {"reboot_exitcode",
       Unused::kNotExe,
       "reboot-exitcode-unused",
       L" has no effect on a library item: only a program's exit code can ask for a restart"},
      {"reboot_exitcode", Unused::kNotWaited, "reboot-exitcode-unused", kNotWaited},
      {"log_output", Unused::kNotExe, "log-output-unused", kInLibrary},
      {"log_output", Unused::kNotWaited, "log-output-unused", kNotWaited},
      {"log_output",
       Unused::kCannotCapture,
       "log-output-unused",
       L" cannot capture {file}: only programs and command scripts have output to capture here"},
      {"log_output",
       Unused::kBadValue,
       "log-output-unused",
       L" is not \"1\", so the output is not logged"},
      {"retry_exitcode", Unused::kNo, "exit-class-unused", kExitClass},
      {"retries", Unused::kNo, "exit-class-unused", kExitClass},
      {"retry_delay", Unused::kNo, "exit-class-unused", kExitClass},
      {"reboot_now_exitcode", Unused::kNo, "exit-class-unused", kExitClass},
      {"unless_restart_pending",
       Unused::kNo,
       "unless-restart-pending-unused",
       L" is neither \"1\" nor \"0\", so a pending restart does not pass the item over"},
      {"if_registry",
       Unused::kNo,
       "if-registry-unused",
       std::wstring(L" has no effect: this system has no registry") + kAsIfNotWritten},
      {"if_program",
       Unused::kBadValue,
       "if-program-unused",
       std::wstring(L" names no program (blanks only, or an empty \"\" first part)") +
           kAsIfNotWritten},
      {"if_program_timeout",
       Unused::kBadValue,
       "if-program-timeout-unused",
       NotSeconds() + L", so if_program runs for up to " +
           std::to_wstring(kDefaultConditionTimeout) + L" s"},
      {"if_program_timeout",
       Unused::kNotWaited,
       "if-program-timeout-unused",
       L" has no effect without if_program"},
      {"wait_for_installer",
       Unused::kNotExe,
       "wait-for-installer-unused",
       L" has no effect on a library item: only a program's start waits for the installer"},
      {"wait_for_installer", Unused::kNotWaited, "wait-for-installer-unused", kNotWaited},
      {"wait_for_installer",
       Unused::kBadValue,
       "wait-for-installer-unused",
       NotSeconds() + L", so the start does not wait for the installer"},
      {"undo",
       Unused::kBadValue,
       "undo-unused",
       L" names no program (blanks only, or an empty \"\" first part), so the item has no undo"},
      {"undo",
       Unused::kEntryUndoes,
       "undo-unused",
       L" has no effect: the item's undo_entry takes it back"},
      {"undo_entry",
       Unused::kNo,
       "undo-entry-unused",
       L" has no effect on a program item: only a library item's own library is called"},
      {"undo_exitcode",
       Unused::kNo,
       "undo-exitcode-unused",
       L" is not a list of whole numbers, so exit code " + AnsiToWide(kDefaultUndoExitCodes) +
           L" alone means undone"},
      {"undo_timeout",
       Unused::kNo,
       "undo-timeout-unused",
       NotSeconds() + L", so the undo program runs for up to " +
           std::to_wstring(kDefaultUndoTimeout) + L" s"},
      {"as_user",
       Unused::kNotExe,
       "as-user-unused",
       L" has no effect on a library item: its entry is called inside the run, as the run's own "
       L"account"},
      {"when_no_user",
       Unused::kBadValue,
       "when-no-user-unused",
       L" is neither \"skip\" nor \"fail\", so an item with no user to run as is passed over"},
      {"when_no_user",
       Unused::kNo,
       "when-no-user-unused",
       L" has no effect: it serves only program items with as_user"},
      {"rollback_boundary",
       Unused::kNo,
       "rollback-boundary-unused",
       L" is neither \"1\" nor \"0\", so a rollback does not stop at the item"},
  };
  return texts;
}

}  // namespace

std::vector<PlanWarning> UnusedWarnings(const std::wstring& where, const PlannedItem& item,
                                        UnusedStage stage) {
  std::vector<PlanWarning> warnings;
  for (const UnusedAttribute& unused : item.unused) {
    if (unused.stage != stage) continue;
    for (const UnusedText& row : UnusedTexts()) {
      if (std::strcmp(row.name, unused.name) != 0) continue;
      if (row.why != Unused::kNo && row.why != unused.why) continue;
      std::wstring text = row.text;
      const size_t file = text.find(L"{file}");
      if (file != std::wstring::npos) text.replace(file, 6, FileName(item.path));
      // A program text's parameters are hidden as the item's are.
      const bool hidden = item.sensitive && CarriesParameters(unused);
      warnings.push_back({row.code,
                          where + L": " + AnsiToWide(unused.name) + L"=" +
                              (hidden ? std::wstring(kHiddenParameters) : Quoted(unused.text)) +
                              text});
      break;
    }
  }
  return warnings;
}
