#include "tools/plan.h"

#include <map>
#include <memory>

#include "App/Elevate.h"
#include "App/app.h"
#include "Platform/files/files.h"
#include "Utils/PathUtils.h"
#include "Utils/SignatureVerdicts.h"
#include "tools/plan_as_user.h"
#include "tools/plan_conditions.h"
#include "tools/plan_parts.h"
#include "tools/plan_restart.h"
#include "tools/plan_undo.h"

namespace {

void PlanSecurityBase(const std::wstring& product_folder, SecurityBaseEntry* plan) {
  plan->path = SecurityBasePath(product_folder);
  plan->present = platform::PathExists(plan->path);
  if (!plan->present) return;
  plan->verdict = ReadSignatureVerdict(plan->path.c_str());
  plan->accepted = IsAcceptedVerdict(plan->verdict);
}

// What the run's end will be, from the first place the plan sees it fail.
void Predict(const std::string& empty_phase, const PlannedItem* failing_item, Plan* plan) {
  if (!plan->catalogue_loaded) {
    plan->prediction =
        L"the run fails: the module catalogue does not load; Taverly ends with "
        L"exit code 210";
  } else if (!empty_phase.empty()) {
    plan->prediction = L"the run fails: phase " + AnsiToWide(empty_phase) +
                       L" has no item; Taverly ends with exit code 210";
  } else if (failing_item != nullptr && failing_item->fail_code == kInstallErrorNotSigned) {
    plan->prediction = L"the run fails: item " + AnsiToWide(failing_item->key) +
                       L" is signed=\"1\" and cannot run as checked (error code 52); Taverly "
                       L"ends with exit code 210";
  } else if (failing_item != nullptr) {
    plan->prediction = L"the run fails: item " + AnsiToWide(failing_item->key) +
                       L" fails with error code " + std::to_wstring(failing_item->fail_code) +
                       L" (" + failing_item->why + L"); Taverly ends with exit code 210";
  } else {
    plan->predicts_success = true;
    plan->prediction =
        L"the run succeeds when every started program and called entry gives a "
        L"result its item accepts; Taverly then ends with exit code 0";
  }
}

// A signed item that fails as checked if its if_program lets it run ends the
// run there; the prediction names each such item in run order, before the rest.
void AddFailuresIfRun(const std::vector<PlannedItem>& items, Plan* plan) {
  std::wstring before;
  for (const PlannedItem& item : items) {
    before += L"the run fails if its if_program lets item " + AnsiToWide(item.key) +
              L" run: that item fails with error code " + std::to_wstring(item.fail_code) + L" (" +
              item.why + L"), and Taverly ends with exit code 210; if not, ";
  }
  plan->prediction = before + plan->prediction;
}

}  // namespace

RunContext PlanContext(const std::string& install_path) {
  RunContext run;
  run.SetInstallPath(install_path);
  run.log_folder = AccountLogFolder();
  run.account.system = IsSystemAccount();
  return run;
}

Plan BuildPlan(RunContext& run, const PlanOptions& options) {
  Plan plan;
  plan.product_folder = run.product_folder();
  plan.system_account = run.account.system;
  plan.libraries_loaded = options.load_libraries;
  plan.event_records = run.event_records;
  plan.event_sink = platform::ProspectEventSink();
  PlanSecurityBase(plan.product_folder, &plan.security_base);

  auto verdicts = std::make_shared<VerdictRecorder>(run.install_path(), false);
  ModXmlLoader loader(plan.product_folder, verdicts, &run.errors);
  plan.catalogue_loaded = loader.LoadModules();
  plan.error_code = run.errors.errorCode;
  plan.error_detail = run.errors.errorDetail;
  std::map<std::string, size_t> module_of_key;
  plan.modules = verdicts->Modules(loader, &module_of_key);

  RestartRecord restart_record = PlanRestartRecord(run, &plan);
  bool reached = plan.catalogue_loaded;
  std::string empty_phase;
  std::string failing_item;  // the first item that fails the run
  PlannedItem failing;
  std::vector<PlannedItem> failing_if_run;  // before it, fail only if their if_program lets them
  for (const PhaseRule& rule : kPhaseRules) {
    PlannedPhase phase;
    phase.name = rule.element;
    phase.reached = reached;
    for (const auto& entry : (loader.*rule.items)()) {
      PlannedItem item = PlanItem(entry.first, entry.second, run, options);
      auto module = module_of_key.find(entry.first);
      if (module != module_of_key.end())
        item.module_file = plan.modules[module->second].record.path;
      MarkDoneBeforeRestart(&restart_record, entry.second, &item);
      item.reached = failing_item.empty();
      // Only an item the run comes to has its conditions judged (and its
      // if_program started, with --conditions).
      if (reached && item.reached) PlanConditions(options, &item);
      PlanAsUser(options, reached && item.reached, &item);
      MarkSignedFailure(&item);
      if (reached && item.reached && item.outcome == ItemOutcome::kFails) {
        failing_item = item.key;
        failing = item;
      }
      if (reached && item.reached && item.fails_if_run) failing_if_run.push_back(item);
      phase.items.push_back(item);
    }
    if (reached && phase.items.empty()) {
      reached = false;
      empty_phase = phase.name;
    }
    plan.phases.push_back(phase);
    reached = reached && failing_item.empty();
  }

  AddPlanWarnings(options, &plan);

  Predict(empty_phase, failing_item.empty() ? nullptr : &failing, &plan);
  AddFailuresIfRun(failing_if_run, &plan);
  PlanRollback(options.fail_at, &plan);
  return plan;
}
