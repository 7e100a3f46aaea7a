// Declares the plan of a run: what Taverly would do with a product folder, and
// why, worked out with the program's own catalogue, filter and item rules
// without starting, calling or writing anything.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "App/FilterLoadModule.h"
#include "CallPlugins/ExitClasses.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/Item.h"
#include "CallPlugins/ItemConditions.h"
#include "CallPlugins/RestartRecord.h"
#include "CallPlugins/RunContext.h"
#include "CallPlugins/RunModel.h"
#include "LoadXml/LoadModXml.h"
#include "Platform/process/sessions.h"
#include "Platform/system/event_sink.h"
#include "Signing/SignatureBlock.h"
#include "Utils/FileUtils.h"

struct PlanOptions {
  // Loads each library item's library and looks for its entry (never calls
  // it). Loading runs the library's initialisers, so it is asked for.
  bool load_libraries = false;
  // The folder that holds Taverly (taverly-plan lies beside it); empty: not
  // looked at.
  std::wstring program_folder;
  // Starts each item's if_program, as the run does, to learn what it
  // decides; without it the plan names the program and starts nothing.
  bool start_conditions = false;
  // What the conditions ask; null: the system itself (tests give their own).
  ConditionSystem* condition_system = nullptr;
  // The key of the item whose failure the plan's rollback answers for
  // (--fail-at=); empty: the failure the plan predicts, if any.
  std::string fail_at;
  // The sessions an as_user item would run in: the system's own
  // (platform::FindUserSessions; tests give their own).
  std::function<bool(platform::SessionChoice, const std::wstring&,
                     std::vector<platform::UserSession>*, uint32_t*)>
      find_sessions = platform::FindUserSessions;
};

enum class ItemOutcome {
  kRuns,         // started or called
  kSkipped,      // passed over by type, by the system gate or by a condition
  kDoesNothing,  // taken up, but nothing can be started or called
  kFails,        // fails the run with fail_code: a signed="1" item that cannot
                 // run as checked (52), a condition that fails the item (50),
                 // an as_user item with no user to run as or no known value (54)
};

enum class LibraryCheck {
  kNotChecked,  // without PlanOptions::load_libraries
  kLoads,       // loads and exports the entry
  kNoLoad,      // the library does not load
  kNoEntry,     // it loads but exports no such entry
};

// Whether a program can be started as the run starts an item's program.
struct StartCheck {
  ShellOpenRefusal refusal = ShellOpenRefusal::kNone;
  bool can_start = false;
  uint32_t start_error = 0;         // the system error a start would give, when it cannot
  bool arguments_too_long = false;  // its parameters exceed the system's limit for a start
};

// The plan's view of an item's undo (Item::undo), judged as the item's own
// program or entry is.
struct PlannedUndo {
  StartCheck start;                                // of the undo's program
  bool writable_by_others = false;                 // the program or a folder above it
  signing::Verdict verdict = signing::kNotSigned;  // of the program, for a signed item
  // Whether that program, verified, can run as it was checked.
  bool signed_content_accepted = false;
  LibraryCheck entry = LibraryCheck::kNotChecked;  // undo_entry, with --load
};

// Whom an as_user item's program would run as now: the sessions found when
// the plan looked.
struct PlannedAsUser {
  bool looked = false;   // an Exe item with a known as_user
  bool readable = true;  // false: the sessions could not be read (error)
  uint32_t error = 0;
  std::vector<platform::UserSession> sessions;
  // The run passes the item over or fails it here, before its start.
  bool decides = false;
};

// The plan's view of an item: the item as the run reads it, and what the
// plan finds out about it without running it. Its parameters are shown as
// ShownParameters gives them.
struct PlannedItem : Item {
  std::string key;
  std::wstring module_file;            // the module file it came from
  SystemGate gate = SystemGate::kRun;  // for the account of the plan (Exe items)
  bool file_exists = false;
  ShellOpenRefusal refusal = ShellOpenRefusal::kNone;  // Exe items
  bool can_start = false;                              // Exe items
  uint32_t start_error = 0;         // the system error a start would give, when it cannot
  bool arguments_too_long = false;  // its parameters exceed the system's limit for a start
  LibraryCheck library = LibraryCheck::kNotChecked;
  uint32_t load_error = 0;  // the system error of a failed load
  ItemOutcome outcome = ItemOutcome::kRuns;
  uint32_t fail_code = kInstallErrorNotSigned;  // the error code of kFails
  bool reached = true;                // false after an item of its phase that fails the run
  std::wstring why;                   // what decides a skip or a no-op
  std::vector<CodeOverlap> overlaps;  // exit codes listed in two classes
  bool done_before_restart = false;   // the record of a stopped run holds it
  signing::Verdict verdict = signing::kNotSigned;  // of the item's file
  // Why a signed item whose file verifies still cannot run as it was checked,
  // which fails the run with error code 52; empty when it can.
  std::wstring signed_problem;
  // A signed item that fails with fail_code (why says why) when its
  // if_program, not started by the plan, lets it run; its outcome is kRuns.
  bool fails_if_run = false;
  bool writable_by_others = false;  // the file or a folder above it
  // A command script with "%productpath%" outside quotes in "param".
  bool unquoted_productpath = false;
  // The verdict on its conditions, where the run comes to judge them.
  bool conditions_judged = false;
  ConditionVerdict conditions_verdict;
  bool installer_busy = false;  // now, for an item with wait_for_installer
  PlannedUndo planned_undo;     // where the item has an undo
  PlannedAsUser planned_as_user;
};

// reached is false after an empty phase or a failed catalogue.
using PlannedPhase = PhaseEntry<PlannedItem>;

// The rollback a failed run would make: for the item --fail-at names, or
// else where the plan predicts the run fails, in a product with an undo.
struct PlannedRollback {
  bool shown = false;
  bool requested = false;  // --fail-at
  std::string fail_at;     // the key; empty: the run fails after its last item
  bool found = false;      // an item has that key
  bool can_fail = false;   // the run comes to the item and can fail there
  bool started = false;    // its program is started or its entry called
  std::wstring why_not;    // why the run cannot fail there
  // The keys of the items undone, in the order their undos run, and of the
  // items with an undo that a rollback_boundary keeps done.
  std::vector<std::string> undone;
  std::vector<std::string> kept;
};

struct PlanWarning {
  std::string code;  // stable name for tools, e.g. "key-order"
  std::wstring text;
};

struct Plan {
  std::wstring product_folder;
  bool system_account = false;
  bool libraries_loaded = false;
  SecurityBaseEntry security_base;
  bool catalogue_loaded = false;
  std::wstring error_code;           // what the install error record holds after a
  std::wstring error_detail;         // failed catalogue load
  std::vector<ModuleEntry> modules;  // in search order
  std::vector<PlannedPhase> phases;  // in run order
  std::vector<PlanWarning> warnings;
  bool predicts_success = false;
  std::wstring prediction;
  // The record a run stopped for a restart left in the log folder.
  RestartRecordState restart_record = RestartRecordState::kMissing;
  std::wstring restart_record_path;
  // The run's records in the system's event log, and where they would go.
  bool event_records = true;
  platform::EventSinkProspect event_sink;
  PlannedRollback rollback;
};

// What the plan knows of the run it explains: the installation path, the
// account's log folder (where the restart record lies) and the account.
RunContext PlanContext(const std::string& install_path);

// Works out the plan for run's product folder; the catalogue's failure goes
// into run's error record, as in a run. Reads files and, with
// load_libraries, loads libraries; starts nothing.
Plan BuildPlan(RunContext& run, const PlanOptions& options);

// Describes why the filter admits a module file or not.
std::wstring VerdictText(const ModuleVerdict& verdict);
// Describes what the catalogue did with a module file.
std::wstring ModuleText(const ModuleEntry& module);
// Returns the last component of a path.
std::wstring FileName(const std::wstring& path);
// Describes a signature verdict: "3 (valid with key 1)".
std::wstring SignatureVerdictText(signing::Verdict verdict);

// Returns, for each item in run order, the keys later in run order that come
// earlier in the module files (smaller sequence numbers).
std::vector<std::vector<std::string>> KeysOvertaken(const std::vector<std::string>& run_order);
