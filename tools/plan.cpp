#include "tools/plan.h"

#include <map>
#include <memory>

#include "App/Elevate.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CmdParser/CommandParser.h"
#include "Platform/platform.h"
#include "Utils/FileUtils.h"
#include "Utils/PathUtils.h"
#include "tools/plan_parts.h"
#include "tools/plan_restart.h"

namespace {

void PlanSecurityBase(const std::wstring& product_folder, SecurityBaseEntry* plan) {
  plan->path = SecurityBasePath(product_folder);
  plan->present = platform::PathExists(plan->path);
  if (!plan->present) return;
  plan->verdict = ReadSignatureVerdict(plan->path.c_str());
  plan->accepted = IsAcceptedVerdict(plan->verdict);
}
}  // namespace

Plan BuildPlan(const PlanOptions& options) {
  Plan plan;
  plan.product_folder = ProductFolderOf(GetInstallPath());
  plan.system_account = IsSystemAccount();
  plan.libraries_loaded = options.load_libraries;
  PlanSecurityBase(plan.product_folder, &plan.security_base);

  // The record belongs to this process alone; start it clean so that what it
  // holds afterwards is what the catalogue put there.
  GetInstallErrorRecord() = InstallErrorRecord();
  auto verdicts = std::make_shared<VerdictRecorder>(false);
  ModXmlLoader loader(plan.product_folder, verdicts);
  plan.catalogue_loaded = loader.LoadModules();
  plan.error_code = GetInstallErrorRecord().errorCode;
  plan.error_detail = GetInstallErrorRecord().errorDetail;
  std::map<std::string, size_t> module_of_key;
  plan.modules = verdicts->Modules(loader, &module_of_key);

  RestartRecord restart_record = PlanRestartRecord(&plan);
  bool reached = plan.catalogue_loaded;
  std::string empty_phase;
  for (const PhaseRule& rule : kPhaseRules) {
    PlannedPhase phase;
    phase.name = rule.element;
    phase.reached = reached;
    for (const auto& entry : (loader.*rule.items)()) {
      PlannedItem item = PlanItem(entry.first, entry.second, plan.product_folder, options);
      auto module = module_of_key.find(entry.first);
      if (module != module_of_key.end())
        item.module_file = plan.modules[module->second].record.path;
      MarkDoneBeforeRestart(&restart_record, entry.second, &item);
      phase.items.push_back(item);
    }
    if (reached && phase.items.empty()) {
      reached = false;
      empty_phase = phase.name;
    }
    plan.phases.push_back(phase);
  }

  AddPlanWarnings(options, &plan);

  if (!plan.catalogue_loaded) {
    plan.prediction =
        L"the run fails: the module catalogue does not load; Taverly ends with "
        L"exit code 210";
  } else if (!empty_phase.empty()) {
    plan.prediction = L"the run fails: phase " + AnsiToWide(empty_phase) +
                      L" has no item; Taverly ends with exit code 210";
  } else {
    plan.predicts_success = true;
    plan.prediction =
        L"the run succeeds when every started program and called entry gives a "
        L"result its item accepts; Taverly then ends with exit code 0";
  }
  return plan;
}
