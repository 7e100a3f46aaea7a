#include "CallPlugins/AsUserItem.h"

#include <glog/logging.h>

#include <string>

#include "CallPlugins/InstallErrorRecord.h"
#include "Platform/process/process.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

bool FailForAsUser(RunContext& run, const std::wstring& detail, ItemReport* report, bool* done) {
  run.errors.SetErrorCode(kInstallErrorAsUser);
  run.errors.SetErrorDetail(detail);
  report->status = ItemStatus::kFailed;
  report->failed_by = "as_user";
  *done = false;
  return false;
}

}  // namespace

bool AsUserLetsItemRun(RunContext& run, const Item& item, ItemReport* report,
                       std::vector<platform::UserSession>* sessions, bool* done) {
  const ItemAsUser& as_user = item.as_user;
  *done = true;
  sessions->clear();
  if (as_user.mode == AsUser::kNo) return true;
  const std::string head =
      ", path: " + EscapedLogText(item.path) + " ,as_user: " + EscapedLogText(as_user.as_user);
  const std::wstring named =
      L", exe file:" + item.path + L" ,as_user:" + AnsiToWide(as_user.as_user);
  // Run as this process's account, such an item would do what its author
  // meant it never to do.
  if (as_user.mode == AsUser::kUnknown) {
    LOG(INFO) << "as_user not known" << head;
    return FailForAsUser(run, L"as_user not known" + named, report, done);
  }
  const platform::SessionChoice choice = as_user.mode == AsUser::kAll
                                             ? platform::SessionChoice::kAll
                                             : platform::SessionChoice::kActive;
  uint32_t error = 0;
  if (!run.items->UserSessions(choice, run.product_folder(), sessions, &error)) {
    LOG(INFO) << "user sessions cannot be read, path: " << EscapedLogText(item.path)
              << " ,error: " << error;
    sessions->clear();
  }
  if (!sessions->empty()) return true;
  if (as_user.fail_when_no_user) {
    LOG(INFO) << "no user to run as" << head;
    return FailForAsUser(run, L"no user to run as" + named, report, done);
  }
  LOG(INFO) << "item passed over" << head << " ,no user is logged on";
  report->status = ItemStatus::kSkipped;
  report->skipped_by = "as_user";
  return false;
}

bool StartInSessions(const std::vector<platform::UserSession>& sessions,
                     platform::ProgramRequest* request, ItemReport* report,
                     const std::function<bool()>& start) {
  if (sessions.empty()) return start();
  for (const platform::UserSession& session : sessions) {
    // A run asked to end starts nothing more; the item under way fails with it.
    if (&session != &sessions.front() && platform::EndRequestName() != nullptr) break;
    LOG(INFO) << "run exe as user: " << EscapedLogText(session.user)
              << " ,session: " << EscapedLogText(session.session);
    report->as_user.push_back({session.user, session.session});
    request->as_user = &session;
    const bool done = start();
    request->as_user = nullptr;
    if (!done || report->status == ItemStatus::kNotStarted) return done;
  }
  return true;
}
