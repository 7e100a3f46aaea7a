// The fixture of the plan's tests: a product folder with the probe program
// and library, module files written per test.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"
#include "tools/plan.h"

namespace plan_test {

namespace fs = std::filesystem;

inline size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

inline std::vector<std::string> Codes(const Plan& plan) {
  std::vector<std::string> codes;
  for (const PlanWarning& warning : plan.warnings) codes.push_back(warning.code);
  return codes;
}

inline std::vector<std::string> Texts(const Plan& plan) {
  std::vector<std::string> texts;
  for (const PlanWarning& warning : plan.warnings) texts.push_back(WideToAnsi(warning.text));
  return texts;
}

class PlanTest : public ::testing::Test {
 protected:
  PlanTest() : product_(folder_.Join("product")) {
    fs::create_directories(JoinPath(product_, "modularize"));
    AddFile(probe_, TAVERLY_PROBE_PATH);
    AddFile("lib/probe.so", TAVERLY_PROBE_LIBRARY);
    Installed({"core"});
  }

  void AddFile(const std::string& relative, const std::string& source) {
    const fs::path target(JoinPath(product_, relative));
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  }
  void Installed(const std::vector<std::string>& names, const std::string& state = "\"1\"") {
    std::string json = "{\"module_info\": {";
    for (size_t i = 0; i < names.size(); ++i) {
      json += (i > 0 ? ", \"" : "\"") + names[i] + "\": {\"state\": " + state + "}";
    }
    WriteTextFile(ModuleFile("module_config.dat"), json + "}}");
  }
  std::string ModuleFile(const std::string& name) const {
    return JoinPath(JoinPath(product_, "modularize"), name);
  }
  void WriteModule(const std::string& name, const std::string& xml) {
    WriteTextFile(ModuleFile(name), xml);
  }
  std::string Exe(std::map<std::string, std::string> extra = {}) const {
    std::map<std::string, std::string> attributes = {
        {"type", "Exe"}, {"file", probe_}, {"wait_for_exit", "1"}, {"exitcode", "0"}};
    for (const auto& item : extra) attributes[item.first] = item.second;
    return ItemXml(attributes);
  }
  std::string Dll(std::map<std::string, std::string> extra = {}) const {
    std::map<std::string, std::string> attributes = {
        {"type", "SimpleDll"}, {"file", "lib/probe.so"}, {"entry", "ReturnMinusOne"}};
    for (const auto& item : extra) attributes[item.first] = item.second;
    return ItemXml(attributes);
  }
  // A product whose core module holds first_phase and one clean item in
  // each later phase; returns its plan.
  Plan PlanWith(const std::string& first_phase, PlanOptions options = {}) {
    WriteModule("mod_core.xml", ModuleXml(first_phase, Exe(), Exe()));
    return Planned(options);
  }
  // The plan of the product as it stands, as taverly-plan works it out.
  Plan Planned(const PlanOptions& options = {}) const {
    RunContext run = PlanContext(product_);
    return BuildPlan(run, options);
  }
  // "phase after_setup, key K (mod_core.xml)" for the first item of a plan.
  static std::string Where(const Plan& plan) {
    return "phase after_setup, key " + plan.phases[0].items[0].key + " (mod_core.xml)";
  }

  TempFolder folder_;
  std::string product_;
  // Windows starts a file by the action its extension names.
  const std::string probe_ = "bin/probe" + fs::path(TAVERLY_PROBE_PATH).extension().string();
};

}  // namespace plan_test
