#include "CallPlugins/UndoJournalLedger.h"

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <map>

namespace {

const char* const kOutcomes[] = {"started", "succeeded", "failed_after_start", "other"};
const char* const kKinds[] = {"none", "program", "entry"};
const char* const kStatuses[] = {"", "undone", "undo_failed", "undo_not_started"};
const LedgerState kStates[] = {LedgerState::kRunning,
                               LedgerState::kStoppedForRestart,
                               LedgerState::kSucceeded,
                               LedgerState::kRollingBack,
                               LedgerState::kRolledBack};

// Wide text as bytes, each code unit on its own (a lone surrogate too), in
// UTF-8's form, so that any path survives the round trip on both systems.
std::string UnitBytes(const std::wstring& text) {
  std::string bytes;
  for (wchar_t unit : text) {
    const uint32_t c = static_cast<uint32_t>(unit);
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if (c < 0x800) {
      bytes += static_cast<char>(0xC0 | (c >> 6));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes += static_cast<char>(0xE0 | (c >> 12));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (c >> 18));
      bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return bytes;
}

bool UnitText(const std::string& bytes, std::wstring* text) {
  text->clear();
  for (size_t at = 0; at < bytes.size();) {
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    const size_t length = lead < 0x80    ? 1
                          : lead >= 0xF0 ? 4
                          : lead >= 0xE0 ? 3
                          : lead >= 0xC0 ? 2
                                         : 0;
    if (length == 0 || at + length > bytes.size()) return false;
    uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
      const unsigned char next = static_cast<unsigned char>(bytes[at + i]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (c > static_cast<uint32_t>(WCHAR_MAX)) return false;
    *text += static_cast<wchar_t>(c);
    at += length;
  }
  return true;
}

template <size_t N>
bool IndexOf(const char* const (&names)[N], const std::string& name, size_t* index) {
  for (size_t i = 0; i < N; ++i) {
    if (name == names[i]) {
      *index = i;
      return true;
    }
  }
  return false;
}

bool Number(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

JournalFields FieldsOf(const UndoEntry& entry) {
  const UndoStep& step = entry.step;
  const UndoResult& undo = entry.undo;
  return {{"identity", entry.identity},
          {"module", entry.module_file},
          {"key", entry.key},
          {"phase", entry.phase},
          {"path", UnitBytes(entry.path)},
          {"outcome", kOutcomes[static_cast<size_t>(entry.outcome)]},
          {"boundary", entry.boundary ? "1" : "0"},
          {"kind", kKinds[static_cast<size_t>(step.kind)]},
          {"item_path", UnitBytes(step.item_path)},
          {"program", UnitBytes(step.program)},
          {"parameters", UnitBytes(step.parameters)},
          {"entry", step.entry},
          {"library", UnitBytes(step.library)},
          {"exit_codes", step.exit_codes},
          {"timeout", std::to_string(step.timeout_seconds)},
          {"signed", step.signed_file ? "1" : "0"},
          {"sensitive", step.sensitive ? "1" : "0"},
          {"log_output", step.log_output ? "1" : "0"},
          {"undo", kStatuses[static_cast<size_t>(undo.status)]},
          {"undo_exit_code", undo.has_exit_code ? std::to_string(undo.exit_code) : ""},
          {"undo_ms", std::to_string(undo.duration_ms)}};
}

bool Flag(const std::string& text, bool* flag) {
  *flag = text == "1";
  return text == "1" || text == "0";
}

bool EntryOf(const JournalFields& fields, UndoEntry* entry) {
  std::map<std::string, std::string> f(fields.begin(), fields.end());
  if (f.size() != fields.size() || f.size() != FieldsOf(UndoEntry()).size()) return false;
  UndoStep& step = entry->step;
  UndoResult& undo = entry->undo;
  entry->identity = f["identity"], entry->module_file = f["module"], entry->key = f["key"];
  entry->phase = f["phase"], step.entry = f["entry"], step.exit_codes = f["exit_codes"];
  size_t outcome = 0, kind = 0, status = 0;
  uint64_t timeout = 0, ms = 0, code = 0;
  const std::string& exit_code = f["undo_exit_code"];
  undo.has_exit_code = !exit_code.empty();
  const bool negative = undo.has_exit_code && exit_code[0] == '-';
  if (!IndexOf(kOutcomes, f["outcome"], &outcome) || !IndexOf(kKinds, f["kind"], &kind) ||
      !IndexOf(kStatuses, f["undo"], &status) || !Number(f["timeout"], &timeout) ||
      timeout > 86400 || !Number(f["undo_ms"], &ms) ||
      (undo.has_exit_code && !Number(exit_code.substr(negative ? 1 : 0), &code)) ||
      !Flag(f["boundary"], &entry->boundary) || !Flag(f["signed"], &step.signed_file) ||
      !Flag(f["sensitive"], &step.sensitive) || !Flag(f["log_output"], &step.log_output) ||
      !UnitText(f["path"], &entry->path) || !UnitText(f["item_path"], &step.item_path) ||
      !UnitText(f["program"], &step.program) || !UnitText(f["parameters"], &step.parameters) ||
      !UnitText(f["library"], &step.library)) {
    return false;
  }
  entry->outcome = static_cast<LedgerOutcome>(outcome);
  step.kind = static_cast<UndoKind>(kind);
  step.timeout_seconds = static_cast<uint32_t>(timeout);
  undo.status = static_cast<UndoStatus>(status);
  undo.exit_code = negative ? -static_cast<int64_t>(code) : static_cast<int64_t>(code);
  undo.duration_ms = ms;
  return true;
}

}  // namespace

JournalBody JournalBodyOf(const UndoLedger& ledger) {
  JournalBody body;
  body.state = LedgerStateName(ledger.state());
  for (const UndoEntry& entry : ledger.entries()) body.items.push_back(FieldsOf(entry));
  return body;
}

bool RestoreLedger(const JournalBody& body, UndoLedger* ledger) {
  const LedgerState* state = nullptr;
  for (const LedgerState& known : kStates) {
    if (body.state == LedgerStateName(known)) state = &known;
  }
  if (state == nullptr) return false;
  std::vector<UndoEntry> entries(body.items.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!EntryOf(body.items[i], &entries[i])) return false;
  }
  ledger->Restore(*state, std::move(entries));
  return true;
}
