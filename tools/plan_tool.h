// Runs the taverly-plan command line: reads a product folder with the
// program's own code and tells what a run would do, without running it. Kept
// apart from main so tests can run its parts in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit statuses of the tool.
constexpr int kPlanToolSuccess = 0;  // the plan predicts a successful run
constexpr int kPlanToolFailure = 1;  // the plan predicts a failed run
constexpr int kPlanToolUsageError = 2;

struct PlanArguments {
  bool has_install_path = false;
  std::string install_path;
  bool event_records = true;          // --event-records=, read as the program reads it
  std::string event_records_unknown;  // a value the program would not understand
  bool json = false;
  bool load = false;
  bool conditions = false;   // --conditions: if_program is started
  bool has_fail_at = false;  // --fail-at=KEY: the rollback if that item failed
  std::string fail_at;
  bool help = false;
  bool version = false;
};

// Reads the arguments (program name excluded); false with a message on a bad one.
bool ParsePlanArguments(const std::vector<std::string>& args, PlanArguments* parsed,
                        std::string* error);

// Runs the tool; returns the exit status. Silences the program's log for the
// life of the process and makes the product folder the current directory, as
// a run does.
int RunPlanTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
