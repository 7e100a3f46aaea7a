// Whom an Exe item's program would run as (as_user), as the run decides it
// just before the start: after the system gate and the conditions.
#include "tools/plan_as_user.h"

#include "Platform/system/system.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"
#include "tools/plan_parts.h"

namespace {

bool Used(const PlannedItem& item) {
  return item.kind == ItemKind::kExe && item.as_user.mode != AsUser::kNo;
}

bool NoUser(const PlannedItem& item) {
  return item.planned_as_user.looked && item.planned_as_user.sessions.empty();
}

std::wstring Named(const PlannedItem& item) { return L"as_user=" + Quoted(item.as_user.as_user); }

// A name the system gives, its control bytes escaped as in the log.
std::wstring Shown(const std::wstring& text) { return AnsiToWide(EscapedLogText(text)); }

void LookForSessions(const PlanOptions& options, PlannedItem* item) {
  PlannedAsUser& planned = item->planned_as_user;
  const platform::SessionChoice choice = item->as_user.mode == AsUser::kAll
                                             ? platform::SessionChoice::kAll
                                             : platform::SessionChoice::kActive;
  planned.looked = true;
  planned.readable =
      options.find_sessions(choice, item->product_folder, &planned.sessions, &planned.error);
  // Sessions that cannot be read count as none, as in the run.
  if (!planned.readable) planned.sessions.clear();
}

std::string Json(const std::wstring& wide) { return platform::WideToUtf8(wide); }
std::string Json(const std::string& narrow) { return AnsiToUtf8(narrow.c_str()); }

}  // namespace

void PlanAsUser(const PlanOptions& options, bool reached, PlannedItem* item) {
  if (!Used(*item)) return;
  const ItemAsUser& as_user = item->as_user;
  if (as_user.mode != AsUser::kUnknown) LookForSessions(options, item);
  // An item the gate or a condition passes over or fails never comes here.
  if (!reached || item->gate != SystemGate::kRun || item->done_before_restart ||
      item->outcome == ItemOutcome::kSkipped || item->outcome == ItemOutcome::kFails) {
    return;
  }
  std::wstring why;
  if (as_user.mode == AsUser::kUnknown) {
    why = Named(*item) + L" is neither \"active\" nor \"all\"";
  } else if (!NoUser(*item)) {
    return;
  } else if (!as_user.fail_when_no_user) {
    item->planned_as_user.decides = true;
    item->outcome = ItemOutcome::kSkipped;
    item->why = Named(*item) + L" and no user is logged on";
    return;
  } else {
    why = Named(*item) + L", when_no_user=\"fail\" and no user is logged on";
  }
  // An if_program the plan does not start decides whether the run comes here.
  const bool program_decides = item->conditions_judged &&
                               item->conditions_verdict.outcome == ConditionOutcome::kProgramNotRun;
  item->planned_as_user.decides = !program_decides;
  item->fail_code = kInstallErrorAsUser;
  item->why = why;
  item->fails_if_run = program_decides;
  if (!program_decides) item->outcome = ItemOutcome::kFails;
}

std::wstring AsUserText(const PlannedItem& item) {
  if (!Used(item)) return std::wstring();
  const std::wstring fails = L"fails with error code " + std::to_wstring(kInstallErrorAsUser);
  if (item.as_user.mode == AsUser::kUnknown) {
    return L"not a value as_user takes (\"active\" or \"all\"): " + fails;
  }
  const PlannedAsUser& planned = item.planned_as_user;
  if (NoUser(item)) {
    const std::wstring unread = planned.readable ? std::wstring()
                                                 : L"the sessions cannot be read (error " +
                                                       std::to_wstring(planned.error) + L"); ";
    return unread + L"no user is logged on: " +
           (item.as_user.fail_when_no_user ? fails : std::wstring(L"passed over"));
  }
  std::wstring text;
  for (const platform::UserSession& session : planned.sessions) {
    text += (text.empty() ? L"" : L"; ") + (L"runs as " + Shown(session.user)) + L" (session " +
            Shown(session.session) + L")";
  }
  return text;
}

std::vector<PlanWarning> AsUserWarnings(const std::wstring& where, const PlannedItem& item) {
  if (!Used(item) || item.as_user.mode != AsUser::kUnknown) return {};
  return {{"as-user-unknown",
           where + L": " + Named(item) +
               L" is neither \"active\" nor \"all\" (compared exactly), so the item fails with "
               L"error code " +
               std::to_wstring(kInstallErrorAsUser)}};
}

void WriteAsUserText(const PlannedItem& item, std::ostream& out) {
  if (!Used(item)) return;
  std::wstring line = Quoted(item.as_user.as_user);
  if (!item.as_user.when_no_user.empty()) {
    line += L", when_no_user " + Quoted(item.as_user.when_no_user);
  }
  out << "    as_user: " << WideToAnsi(line + L": " + AsUserText(item)) << "\n";
}

void WriteAsUserJson(const PlannedItem& item, json::Writer& json) {
  if (!Used(item)) return;
  const PlannedAsUser& planned = item.planned_as_user;
  json::Member(json, "as_user_value", Json(item.as_user.as_user));
  json::Member(json, "when_no_user", Json(item.as_user.when_no_user));
  json.Key("as_user");
  json.StartArray();
  for (const platform::UserSession& session : planned.sessions) {
    json.StartObject();
    json::Member(json, "user", Json(session.user));
    json::Member(json, "session", Json(session.session));
    json.EndObject();
  }
  json.EndArray();
  json::MemberOrNull(json, "sessions_error", !planned.readable, planned.error);
  json::Member(json, "as_user_text", Json(AsUserText(item)));
  if (!planned.decides) return;
  json::Member(json,
               item.outcome == ItemOutcome::kSkipped ? "skipped_by" : "failed_by",
               std::string("as_user"));
}
