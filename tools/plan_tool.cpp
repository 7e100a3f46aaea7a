#include "tools/plan_tool.h"

#include <glog/logging.h>

#include "App/RunEvents.h"
#include "CallPlugins/Item.h"
#include "CmdParser/CommandParser.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"
#include "Utils/Version.h"
#include "tools/plan.h"
#include "tools/plan_report.h"

namespace {

using CommandParser::kInstallPathOption;

constexpr char kFailAtOption[] = "--fail-at=";

constexpr char kUsage[] =
    "usage: taverly-plan --installpath=FOLDER [--event-records=off] [--json] [--load]\n"
    "                    [--conditions] [--fail-at=KEY]\n"
    "       taverly-plan --version\n"
    "\n"
    "Tells what Taverly would do with the product in FOLDER, phase by phase in run\n"
    "order, and why: each item's key, module file, type, whether it runs or is\n"
    "skipped, its file, parameters, wait, conditions, the exit codes the run\n"
    "accepts and its undo; the module files and the filter's verdict on each; the security base\n"
    "and its signature verdict; the records it would leave in the system's event\n"
    "log; and warnings about the traps of module files. It reads the folder with\n"
    "the program's own code, starts no program (unless --conditions), calls no\n"
    "entry, takes no lock and writes no file.\n"
    "\n"
    "--conditions  starts each if_program the run would start, as the run starts\n"
    "        it, to learn whether its item runs; without it the plan names the\n"
    "        program and leaves the decision to the run\n"
    "--event-records=off  plans the run Taverly --event-records=off makes, which\n"
    "        leaves no records in the system's event log\n"
    "--fail-at=KEY  tells the order in which the rollback would undo what the\n"
    "        run did if the item with that key (as the plan shows it) failed\n"
    "--json  prints the same as one JSON document\n"
    "--load  loads each library item's library to look for its entry (never\n"
    "        calls it); loading runs the library's initialisers\n"
    "\n"
    "Exit status: 0 when the plan predicts a successful run, 1 when it predicts\n"
    "a failed one, 2 on bad arguments (also a --fail-at= key that names no item).\n";

}  // namespace

bool ParsePlanArguments(const std::vector<std::string>& args, PlanArguments* parsed,
                        std::string* error) {
  for (const std::string& argument : args) {
    // The program drops empty arguments from its command line too.
    if (argument.empty()) continue;
    if (argument.compare(0, sizeof kInstallPathOption - 1, kInstallPathOption) == 0) {
      // The same option reader as the program: a later option wins.
      CommandParser::ParseOption(parsed->install_path, argument, kInstallPathOption);
      parsed->has_install_path = true;
    } else if (argument.compare(0, sizeof kEventRecordsOption - 1, kEventRecordsOption) == 0) {
      // As the program reads it: a value it does not understand keeps the
      // records on (the run says so in its log).
      bool understood = true;
      parsed->event_records =
          EventRecordsValue(argument.substr(sizeof kEventRecordsOption - 1), &understood);
      parsed->event_records_unknown = understood ? std::string() : argument;
    } else if (argument == "--json") {
      parsed->json = true;
    } else if (argument == "--load") {
      parsed->load = true;
    } else if (argument == "--conditions") {
      parsed->conditions = true;
    } else if (argument.compare(0, sizeof kFailAtOption - 1, kFailAtOption) == 0) {
      parsed->has_fail_at = true;
      parsed->fail_at = argument.substr(sizeof kFailAtOption - 1);
    } else if (argument == "--help" || argument == "-h") {
      parsed->help = true;
    } else if (argument == "--version") {
      parsed->version = true;
    } else {
      *error = "unknown argument: " + argument;
      return false;
    }
  }
  if (!parsed->help && !parsed->version && !parsed->has_install_path) {
    *error = "--installpath= is missing";
    return false;
  }
  return true;
}

int RunPlanTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  // The shared code logs as it works. Below FATAL nothing reaches a file, the
  // console or a sink, and glog stays uninitialised, so it opens no file.
  FLAGS_minloglevel = google::GLOG_FATAL;

  PlanArguments arguments;
  std::string error;
  if (!ParsePlanArguments(args, &arguments, &error)) {
    err << "taverly-plan: " << error << "\n\n" << kUsage;
    return kPlanToolUsageError;
  }
  if (arguments.help) {
    out << kUsage;
    return kPlanToolSuccess;
  }
  if (arguments.version) {
    out << "taverly-plan " << TaverlyVersion() << "\n";
    return kPlanToolSuccess;
  }
  if (!arguments.event_records_unknown.empty()) {
    err << "taverly-plan: " << arguments.event_records_unknown
        << " is neither on nor off: the run keeps its records on and logs that it did not "
           "understand it\n";
  }
  RunContext run = PlanContext(arguments.install_path);
  run.event_records = arguments.event_records;
  const std::wstring& product_folder = run.product_folder();
  if (!platform::PathExists(product_folder)) {
    err << "taverly-plan: the installation path does not exist: " << arguments.install_path
        << " (Taverly would end with exit code 202)\n";
    return kPlanToolUsageError;
  }

  // As in a run: item paths, and libraries that a loaded library needs, are
  // found relative to the product folder.
  AddFolderToProcessPath(product_folder);

  PlanOptions options;
  options.load_libraries = arguments.load;
  options.start_conditions = arguments.conditions;
  options.fail_at = arguments.fail_at;
  const std::wstring own = platform::OwnExecutablePath();
  options.program_folder = own.substr(0, own.find_last_of(platform::kPathSeparator));
  const Plan plan = BuildPlan(run, options);
  if (arguments.has_fail_at && (arguments.fail_at.empty() || !plan.rollback.found)) {
    // Escaped as echoed text is in the log: the key is shown, never obeyed.
    const std::string key = EscapedLogText(arguments.fail_at);
    err << "taverly-plan: --fail-at=" << key << ": no item has key \"" << key
        << "\" (the plan shows each item's key)\n";
    return kPlanToolUsageError;
  }
  out << (arguments.json ? PlanJson(plan) : PlanText(plan));
  return plan.predicts_success ? kPlanToolSuccess : kPlanToolFailure;
}
