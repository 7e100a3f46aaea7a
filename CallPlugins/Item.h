// Declares an item of a module file as the program understands it: every
// attribute read once and parsed with every rule into one value, which the
// runner runs, taverly-plan explains and the run report names, so no two of
// them can ever read an item differently. Nothing here logs, starts, loads
// or records anything.
//
// A new attribute is one field of Item (its text and what it parses to), one
// line in ReadItemTexts and one rule in Item.cpp, which also says when the
// attribute does nothing (Unused.h); the runner and the plan then use the
// field. A condition on an item (an item that decides for
// itself whether it runs) is a field of ItemConditions, read and parsed here
// the same way, and judged in ItemConditions.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"
#include "CallPlugins/ExitClasses.h"

// What "param" and the condition texts write for the product folder.
constexpr char kProductPathToken[] = "%productpath%";

// The longest an item's if_program runs when its if_program_timeout does not
// say, in seconds.
constexpr uint32_t kDefaultConditionTimeout = 60;

// The longest an undo program runs when its undo_timeout does not say, in
// seconds.
constexpr uint32_t kDefaultUndoTimeout = 600;
// What undo_exitcode is when it is not written (or not used).
constexpr char kDefaultUndoExitCodes[] = "0";

// The result a library entry must return when its item has an expectation,
// whatever "exitcode" lists.
constexpr int32_t kExpectedLibraryResult = -1;
// The longest time limit an item may give, in seconds: a day.
constexpr uint32_t kLongestTimeout = 86400;
// What the records show in place of a sensitive item's parameters.
extern const wchar_t kHiddenParameters[];

enum class ItemKind { kExe, kSimpleDll, kSkipped };
// Types compare byte for byte: "exe" is not "Exe" and is skipped.
ItemKind ItemKindOf(const std::string& type);

// The "system" attribute of an Exe item: "1" runs it only under the system
// account, "0" only under any other; any other text sets no condition.
enum class SystemRequirement { kNone, kSystemAccount, kOtherAccount };
enum class SystemGate {
  kRun,
  kSkipNeedsSystem,        // "1", and the run is not under the system account
  kSkipNeedsOtherAccount,  // "0", and the run is under the system account
};
SystemGate DecideSystemGate(SystemRequirement requirement, bool system_account);

// What every view of an item names it by. The run report keeps it for each
// of its items, which may be ten thousand.
struct ItemHead {
  std::string type;  // as written
  std::string file;  // as written, relative to the product folder
  ItemKind kind = ItemKind::kSkipped;
};

// An item's conditions, as written and as parsed. A path is the product
// folder joined with the text, unless the text is absolute; "%productpath%"
// is replaced in every text as in "param".
struct ItemConditions {
  std::string creates;  // passed over when the path is there
  std::wstring creates_path;
  std::string if_exists;  // runs only when the path is there
  std::wstring if_exists_path;
  std::string unless_exists;  // passed over when the path is there
  std::wstring unless_exists_path;
  std::string unless_restart_pending;  // "1": passed over while a restart is pending
  bool unless_restart = false;
  std::string if_registry;  // runs only when the registry holds it (Windows)
  std::wstring registry_text;
  std::string if_program;  // a program: 0 runs the item, 1 to 254 pass it over
  std::wstring program_path;
  std::wstring program_parameters;
  std::string if_program_timeout;
  uint32_t program_timeout_seconds = kDefaultConditionTimeout;

  // Whether any condition is written (and used).
  bool Any() const;
};

// What takes an item back when a later item fails, as written and as parsed.
// The undo's program is split, resolved and expanded as if_program's is.
struct ItemUndo {
  std::string undo;  // "<program> <parameters>"
  std::wstring program_path;
  std::wstring program_parameters;
  std::string undo_entry;  // SimpleDll items: an export of the same library
  std::string undo_exitcode;
  std::vector<ExpectedCode> expected_codes;  // the codes that mean "undone"
  std::string undo_timeout;
  uint32_t timeout_seconds = kDefaultUndoTimeout;
  std::string rollback_boundary;
  bool boundary = false;  // "1": a rollback stops at this item, which stays done
  // The export the undo calls; empty when the undo is a program or none.
  std::string entry;

  // Whether the item has an undo (a program or an entry that is used).
  bool Any() const { return !program_path.empty() || !entry.empty(); }
};

// Whom an Exe item's program runs as: the run's own account, or the user of
// a session (as_user), as written and as parsed.
enum class AsUser {
  kNo,       // not written (or not used): the run's own account
  kActive,   // "active": the user of the active local session
  kAll,      // "all": one program in each active session
  kUnknown,  // any other text: the item fails rather than run as the run's account
};
struct ItemAsUser {
  std::string as_user;
  AsUser mode = AsUser::kNo;
  std::string when_no_user;
  bool fail_when_no_user =
      false;  // "fail": no user fails the item; else ("skip") it is passed over
};

struct Item : ItemHead {
  std::wstring product_folder;
  std::wstring path;  // product folder + separator + file, plainly joined

  std::string exitcode;
  bool has_expectation = false;              // exitcode is written, even with no code in it
  std::vector<ExpectedCode> expected_codes;  // its pieces

  std::string param;
  std::wstring parameters;  // param with each "%productpath%" replaced
  std::string sensitive_text;
  bool sensitive = false;  // an Exe item with "1": the records show kHiddenParameters

  bool wait = false;  // an Exe item with wait_for_exit "1"
  std::string system;
  SystemRequirement system_requirement = SystemRequirement::kNone;  // Exe items
  std::string entry;                                                // SimpleDll items
  std::string signed_text;
  bool signed_item = false;  // "1": the file must carry the product's signature

  std::string timeout;
  uint32_t timeout_seconds = 0;  // 0: no time limit
  std::string log_output;
  bool capture_output = false;

  std::string reboot_exitcode;
  std::vector<ExpectedCode> restart_codes;  // its pieces, read as exitcode's are
  ExitClassTexts exit_class_texts;
  ExitClasses exit_classes;

  ItemConditions conditions;  // all optional; ItemConditions.h

  std::string wait_for_installer;
  uint32_t installer_wait_seconds = 0;  // 0: the start does not wait for the installer

  ItemUndo undo;       // all optional; Rollback.h orders the undos of a run
  ItemAsUser as_user;  // Exe items

  // The attributes written that do nothing for the item, in the order the
  // run says them.
  std::vector<UnusedAttribute> unused;

  // Why the attribute called name does nothing, kNo when it is used or not written.
  Unused UnusedWhy(const std::string& name) const;
  // The parameters as every record shows them.
  std::wstring ShownParameters() const;
  // The text of an unused attribute as the log shows it: hidden as the
  // parameters are when it carries some.
  std::string ShownText(const UnusedAttribute& attribute) const;
  // Answers whether exit_code asks for a restart at the end of the run.
  bool AsksForRestart(uint32_t exit_code) const;
  // Answers whether "exitcode" accepts exit_code (any, without an expectation).
  bool Accepts(uint32_t exit_code) const;
};

// Reads a text attribute with the bundle's two-call protocol; anything but a
// clean answer (and a null bundle or an empty name) reads as empty.
std::string ReadItemAttribute(ILwBundle* bundle, const char* name);

// Reads the head of an item; the run report reads it of every item before
// the phases.
ItemHead ReadItemHead(ILwBundle* bundle);
// Reads and parses the rest of an item whose head was read.
Item ParseItem(const ItemHead& head, ILwBundle* bundle, const std::wstring& product_folder);
// Puts an attribute that does nothing for the item on its list (not kNo, not
// an empty text), for the parser's rules.
void AddUnused(Item* item, UnusedStage stage, const char* name, const std::string& text, Unused why,
               UnusedLine line = UnusedLine::kNotUsed);
// Reads and parses as_user and when_no_user into item->as_user (the head read).
void ParseAsUser(ILwBundle* bundle, Item* item);
// Reads and parses a whole item.
Item ParseItem(ILwBundle* bundle, const std::wstring& product_folder);

// How the exit code of a program that ran to its end is judged: the first
// class of CodeClass that holds. Without a process (the shell opened a
// document) only "exitcode" judges, and it judges 0xFFFFFFFF; retries_left:
// the retry class may start it again.
CodeClass ClassOfExitCode(const Item& item, bool has_process, uint32_t exit_code,
                          bool retries_left);

// Splits a text of "<program> <parameters>" as if_program and undo are: the
// program is the first word, or the first part in double quotes, joined with
// product_folder unless absolute; the rest (after blanks) its parameters;
// "%productpath%" replaced in both. False when the text names no program
// (blanks only, or an empty "" first part).
bool SplitProgramText(const std::wstring& product_folder, const std::string& text,
                      std::wstring* program, std::wstring* parameters);

// Replaces each "%productpath%" (exact, case-sensitive) by folder; text that
// came from folder is never searched again.
std::wstring SubstituteProductPath(const std::wstring& text, const std::wstring& folder);

// The path the run forms for an item's "file": product folder + separator +
// "file" in wide text, plainly joined.
std::wstring ItemFilePath(const std::wstring& product_folder, const std::string& file);
