// Judges an item's conditions (Item.h, ItemConditions): whether the item
// runs, is passed over, or fails because a condition could not be judged.
// Nothing here logs or records: the runner and taverly-plan say what the
// verdict means, each in its own words.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "CallPlugins/Item.h"
#include "Platform/process/process.h"
#include "Platform/system/system_state.h"

enum class ConditionOutcome {
  kRun,            // every condition written holds
  kPassOver,       // one of them passes the item over
  kCannotJudge,    // one could not be judged (error says why): the item fails
  kProgramFailed,  // if_program gave 255, ran past its time or did not start: the item fails
  kProgramNotRun,  // if_program would decide, but programs were not to be started
};

struct ConditionVerdict {
  ConditionOutcome outcome = ConditionOutcome::kRun;
  const char* attribute = "";  // the condition that decided, by its attribute's name
  std::string text;            // that attribute's text, as written
  uint32_t error = 0;          // kCannotJudge, or the start error of if_program
  bool has_exit_code = false;  // if_program ran to its end
  uint32_t exit_code = 0;
  bool timed_out = false;  // if_program ran past if_program_timeout
  uint32_t ended_by = 0;   // POSIX: the signal that ended if_program (no answer, a failure)
  std::wstring signal;     // unless_restart_pending: what says a restart is pending
};

// What conditions ask of the system. The run asks the system itself
// (SystemConditions); tests give answers of their own.
class ConditionSystem {
 public:
  virtual ~ConditionSystem() = default;
  virtual platform::Answer PathIsThere(const std::wstring& path, uint32_t* error) = 0;
  virtual platform::Answer RestartPending(std::wstring* signal, uint32_t* error) = 0;
  virtual platform::Answer RegistryHolds(const std::wstring& text, uint32_t* error) = 0;
  // Starts if_program's program and waits for it, within its time limit.
  virtual platform::ProgramResult RunProgram(const platform::ProgramRequest& request) = 0;
};

// The system itself. A program's wait calls while_waiting (when set) as it
// ticks, as an item's own program's does.
class SystemAnswers : public ConditionSystem {
 public:
  explicit SystemAnswers(std::function<void()> while_waiting = {});
  platform::Answer PathIsThere(const std::wstring& path, uint32_t* error) override;
  platform::Answer RestartPending(std::wstring* signal, uint32_t* error) override;
  platform::Answer RegistryHolds(const std::wstring& text, uint32_t* error) override;
  platform::ProgramResult RunProgram(const platform::ProgramRequest& request) override;

 private:
  std::function<void()> while_waiting_;
};

// The system itself, without a tick.
ConditionSystem& SystemConditions();

// The exit codes of if_program: 0 runs the item, 1 to kLastPassOverCode pass
// it over, anything above fails it.
constexpr uint32_t kLastPassOverCode = 254;

// Judges the conditions in a fixed order (creates, if_exists, unless_exists,
// unless_restart_pending, if_registry, if_program); the first that does not
// let the item run decides. if_program, the only one that starts anything,
// comes last and is started only with start_programs.
ConditionVerdict JudgeConditions(const ItemConditions& conditions, ConditionSystem& system,
                                 bool start_programs);

// The request that starts if_program's program.
platform::ProgramRequest ConditionProgramRequest(const ItemConditions& conditions);
