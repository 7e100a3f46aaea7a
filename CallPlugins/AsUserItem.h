// Whom an Exe item's program runs as (as_user): the sessions it is started
// in, asked of the run's ItemSystem, or why it is not started at all (an
// as_user not known, no user there). The runner (DoFinishWork.cpp) starts
// and judges each start as it does any other.
#pragma once

#include <functional>
#include <vector>

#include "CallPlugins/Item.h"
#include "CallPlugins/RunContext.h"
#include "CallPlugins/RunReport.h"
#include "Platform/process/sessions.h"

// Answers whether an Exe item runs: true with the sessions it runs in (none
// for an item without as_user: the run's own account). Else it was passed
// over for want of a user (done: true, the report says skipped by as_user)
// or failed (done: false, error 54, failed by as_user), each with its line.
bool AsUserLetsItemRun(RunContext& run, const Item& item, ItemReport* report,
                       std::vector<platform::UserSession>* sessions, bool* done);

// Starts the item once through start (which starts, waits and judges, and
// answers done), or, with sessions, once in each, in order, with its line
// and the session in the request and the report; the first start that fails
// or does not start ends the item there, as does a request to end the run.
bool StartInSessions(const std::vector<platform::UserSession>& sessions,
                     platform::ProgramRequest* request, ItemReport* report,
                     const std::function<bool()>& start);
