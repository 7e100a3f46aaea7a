// Each item's undo as the plan sees it: the program judged as the item's
// own program is, the entry looked up with --load, and their lines.
#include "tools/plan_undo.h"

#include "CallPlugins/ItemSecurity.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "Utils/SignatureVerdicts.h"
#include "tools/plan_parts.h"

void PlanUndo(PlannedItem* item) {
  const ItemUndo& undo = item->undo;
  if (item->kind == ItemKind::kSkipped || undo.program_path.empty()) return;
  PlannedUndo& planned = item->planned_undo;
  planned.start = CheckStart(undo.program_path, undo.program_parameters, item->signed_item);
  planned.writable_by_others = platform::OthersMayChangePath(undo.program_path);
  if (!item->signed_item) return;
  // Reading never blocks: only a regular file is opened.
  platform::ReadOnlyFile file;
  if (file.Open(undo.program_path)) planned.verdict = ReadOpenSignatureVerdict(file);
  if (!IsAcceptedVerdict(planned.verdict)) return;
  // The run judges it as a signed program item's file: through the open file.
  Item program;
  program.kind = ItemKind::kExe;
  program.path = undo.program_path;
  program.signed_item = program.wait = true;
  std::string source;
  planned.signed_content_accepted =
      JudgeSignedContent(program, file, &source) == SignedContentProblem::kNone;
}

namespace {

std::wstring ProgramPart(const std::wstring& path) { return path + L", the program of undo,"; }
const wchar_t kCannotUndo[] = L": a rollback cannot take the item back";

void Add(std::vector<PlanWarning>* warnings, const char* code, const std::wstring& text) {
  warnings->push_back({code, text});
}

}  // namespace

std::vector<PlanWarning> UndoWarnings(const std::wstring& where, const PlannedItem& item) {
  std::vector<PlanWarning> warnings;
  const PlannedUndo& planned = item.planned_undo;
  const std::wstring& program = item.undo.program_path;
  if (item.kind == ItemKind::kSkipped) return warnings;
  if (planned.entry == LibraryCheck::kNoEntry) {
    Add(&warnings,
        "undo-entry",
        where + L": the library exports no " + Quoted(item.undo.entry) + kCannotUndo);
  }
  if (program.empty()) return warnings;
  if (planned.start.refusal == ShellOpenRefusal::kMissing) {
    Add(&warnings,
        "undo-file-missing",
        where + L": " + ProgramPart(program) + L" does not exist" + kCannotUndo);
  } else if (!planned.start.can_start) {
    Add(&warnings,
        "undo-cannot-start",
        where + L": " + ProgramPart(program) + L" cannot be started (" +
            StartProblem(planned.start) + L")" + kCannotUndo);
  } else if (item.signed_item && !IsAcceptedVerdict(planned.verdict)) {
    Add(&warnings,
        "undo-signature-refused",
        where + L": signed=\"1\" and " + ProgramPart(program) + L" has signature verdict " +
            SignatureVerdictText(planned.verdict) + kCannotUndo);
  } else if (item.signed_item && !planned.signed_content_accepted) {
    Add(&warnings,
        "undo-signature-refused",
        where + L": signed=\"1\" and " + ProgramPart(program) +
            L" which verifies, cannot run as checked (as signed-cannot-run says of an item's "
            L"file)" +
            kCannotUndo);
  }
  if (planned.writable_by_others) {
    Add(&warnings,
        "undo-writable-by-others",
        where + L": " + ProgramPart(program) +
            L" or a folder above it, can be changed by other accounts: what they put there runs "
            L"with the rights of the run when a rollback takes the item back");
  }
  return warnings;
}

namespace {

std::string Text(const std::wstring& wide) { return WideToAnsi(wide); }
std::string Json(const std::wstring& wide) { return platform::WideToUtf8(wide); }
std::string Json(const std::string& narrow) { return AnsiToUtf8(narrow.c_str()); }

// The undo's parameters as every record shows them: hidden as the item's are.
std::wstring ShownUndoParameters(const PlannedItem& item) {
  return item.sensitive ? std::wstring(kHiddenParameters) : item.undo.program_parameters;
}

// "undo" as written, hidden where its parameters are.
std::wstring ShownUndoText(const PlannedItem& item) {
  return item.sensitive ? std::wstring(kHiddenParameters) : Quoted(item.undo.undo);
}

std::wstring ProgramStatus(const PlannedItem& item) {
  const PlannedUndo& planned = item.planned_undo;
  std::wstring status =
      planned.start.refusal == ShellOpenRefusal::kMissing
          ? L"does not exist"
          : (planned.start.can_start ? L"exists, can be started" : L"exists, cannot be started");
  if (item.signed_item) status += L"; signature verdict " + SignatureVerdictText(planned.verdict);
  return status;
}

std::wstring EntryStatus(LibraryCheck check) {
  switch (check) {
    case LibraryCheck::kNotChecked:
      return L"--load checks that the library exports it";
    case LibraryCheck::kLoads:
      return L"exported";
    case LibraryCheck::kNoLoad:
      return L"the library does not load";
    case LibraryCheck::kNoEntry:
      break;
  }
  return L"not exported";
}

std::wstring CodesText(const std::vector<ExpectedCode>& codes) {
  std::wstring text;
  for (const ExpectedCode& code : codes) {
    text += (text.empty() ? L"" : L", ") + std::to_wstring(code.value);
  }
  return text;
}

// What the undo is and when it has undone: the line of the item.
std::wstring UndoLineText(const PlannedItem& item) {
  const ItemUndo& undo = item.undo;
  if (!undo.entry.empty()) {
    return UndoTarget(item) + L" (" + EntryStatus(item.planned_undo.entry) +
           L"); undone when it returns -1";
  }
  std::wstring codes = L"undone on exit code " + CodesText(undo.expected_codes);
  if (!undo.undo_exitcode.empty()) codes += L" (undo_exitcode " + Quoted(undo.undo_exitcode) + L")";
  return UndoTarget(item) + L" (" + ProgramStatus(item) + L"); " + codes + L", within " +
         std::to_wstring(undo.timeout_seconds) + L" s";
}

std::wstring BoundaryText(const PlannedItem& item) {
  const std::string& text = item.undo.rollback_boundary;
  if (item.undo.boundary) {
    return L"a rollback stops at this item: it and the items before it stay done";
  }
  return Quoted(text) + (text == "0" ? L": no boundary" : L" is not used");
}

// Whether the item writes an undo attribute that is not used.
bool UnusedUndo(const PlannedItem& item) {
  return !item.undo.Any() && (!item.undo.undo.empty() || !item.undo.undo_entry.empty());
}

}  // namespace

std::wstring UndoTarget(const PlannedItem& item) {
  if (!item.undo.entry.empty()) {
    return L"entry " + Quoted(item.undo.entry) + L" of " + item.path;
  }
  const std::wstring parameters = ShownUndoParameters(item);
  return L"program " + item.undo.program_path + L", param: " +
         (parameters.empty() ? std::wstring(L"(none)") : parameters);
}

void WriteUndoText(const PlannedItem& item, std::ostream& out) {
  // Shown where written, so a plan of a product without them reads as before.
  if (item.undo.Any()) out << "    undo: " << Text(UndoLineText(item)) << "\n";
  if (UnusedUndo(item)) {
    out << "    undo: "
        << (item.undo.undo_entry.empty() ? Text(ShownUndoText(item))
                                         : "undo_entry " + Text(Quoted(item.undo.undo_entry)))
        << " (not used)\n";
  }
  if (!item.undo.rollback_boundary.empty()) {
    out << "    rollback_boundary: " << Text(BoundaryText(item)) << "\n";
  }
}

void WriteUndoJson(const PlannedItem& item, json::Writer& json) {
  const ItemUndo& undo = item.undo;
  if (undo.Any() || UnusedUndo(item)) {
    json.Key("undo");
    json.StartObject();
    json::Member(json, "used", undo.Any());
    json::Member(json,
                 "undo",
                 item.sensitive && !undo.undo.empty() ? Json(std::wstring(kHiddenParameters))
                                                      : Json(undo.undo));
    json::Member(json, "undo_entry", Json(undo.undo_entry));
    json::Member(json, "program", Json(undo.program_path));
    json::Member(json, "param", Json(ShownUndoParameters(item)));
    json::Member(json, "can_start", item.planned_undo.start.can_start);
    json::Member(json, "entry", Json(undo.entry));
    json::Member(json, "undo_exitcode", Json(undo.undo_exitcode));
    json.Key("undone_codes");
    json.StartArray();
    for (const ExpectedCode& code : undo.expected_codes) json.Int(code.value);
    json.EndArray();
    json::Member(json, "timeout_seconds", static_cast<uint64_t>(undo.timeout_seconds));
    if (undo.Any()) json::Member(json, "text", Json(UndoLineText(item)));
    json.EndObject();
  }
  if (undo.rollback_boundary.empty()) return;
  json::Member(json, "rollback_boundary", Json(undo.rollback_boundary));
  json::Member(json, "boundary", undo.boundary);
}
