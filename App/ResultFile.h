// The result information file's forms: which keys each outcome of a run
// writes, and removes, in the order they are written. App/main.cpp writes a
// form, and says what could not be written.
#pragma once

#include <string>
#include <vector>

struct InstallErrorRecord;
struct RollbackCounts;

struct ResultValue {
  const wchar_t* section;
  const wchar_t* key;
  std::wstring value;
  // The key is removed instead: the word of an earlier run that no longer holds.
  bool remove = false;
  // A removal that fails says nothing and fails no outcome: a key that only
  // a run with undo attributes writes, so that other runs log as they did.
  bool quiet = false;
};

// A failure form begins with [result] is_success=false, the success form
// ends with is_success=true (the run wrote is_success=false at its start, so
// the key stays first in the file). restart_required: an item's exit
// code asked for a restart; without it reboot_required is removed, and no
// form but the stop's keeps resume_after_reboot. rollback: what the run's
// rollback did; a run that attempted no undo removes rollback.
std::vector<ResultValue> SuccessForm(bool restart_required, const RollbackCounts& rollback);
std::vector<ResultValue> FailureForm(const InstallErrorRecord& errors, bool restart_required,
                                     const RollbackCounts& rollback);
// The failure form of a run that stopped for a restart: an empty error
// record, a restart asked for, and the next run to go on where this one stopped.
std::vector<ResultValue> StoppedForRestartForm();

// A value as it is written: a line break in it (a parameter text may carry
// one into the error detail) would add lines to the file, so it is a blank.
std::wstring FlatResultValue(const std::wstring& value);
