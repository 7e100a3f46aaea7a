// Building product folders for the suite, and reading back what the probe
// program and library recorded in them.
#include <filesystem>
#include <sstream>

#include "Rules/ini_text.h"
#include "tests/e2e/harness.h"
#include "tests/support/builders.h"

namespace fs = std::filesystem;

namespace e2e {

Product::Product(std::string folder) : folder_(std::move(folder)) {
  fs::create_directories(folder_ + "/modularize");
}

void Product::AddModuleFile(const std::string& file_name, const std::string& after_setup,
                            const std::string& open_selfprotect,
                            const std::string& after_selfprotect) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<root><module><setup>\n";
  if (!after_setup.empty()) xml += "<after_setup>" + after_setup + "</after_setup>\n";
  if (!open_selfprotect.empty()) {
    xml += "<open_selfprotect>" + open_selfprotect + "</open_selfprotect>\n";
  }
  if (!after_selfprotect.empty()) {
    xml += "<after_selfprotect>" + after_selfprotect + "</after_selfprotect>\n";
  }
  xml += "</setup></module></root>\n";
  WriteTextFile(folder_ + "/modularize/" + file_name, xml);
}

void Product::SetInstalledModules(const std::vector<std::string>& names) {
  std::string json = "{\"module_info\": {";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) json += ", ";
    json += "\"" + names[i] + "\": {\"state\": \"1\"}";
  }
  json += "}}\n";
  WriteTextFile(folder_ + "/modularize/module_config.dat", json);
}

void Product::AddProbe(const std::string& relative) const { AddFile(relative, ProbeProgram()); }

void Product::AddFile(const std::string& relative, const std::string& source) const {
  fs::path target_file(Path(relative));
  fs::create_directories(target_file.parent_path());
  fs::copy_file(source, target_file, fs::copy_options::overwrite_existing);
}

std::string Item(const std::map<std::string, std::string>& attributes) {
  return ItemXml(attributes);
}

std::vector<std::string> ReadCalls(const std::string& file) {
  std::vector<std::string> calls;
  std::istringstream in(ReadTextFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("arg=--tag=", 0) == 0) calls.push_back(line.substr(10));
    if (line.rfind("entry=", 0) == 0) calls.push_back("dll:" + line.substr(6));
  }
  return calls;
}

std::vector<ProbeRun> ReadProbeRecords(const std::string& file) {
  std::vector<ProbeRun> runs;
  std::istringstream in(ReadTextFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (line == "[run]") {
      runs.emplace_back();
    } else if (!runs.empty() && line.rfind("arg=", 0) == 0) {
      runs.back().args.push_back(line.substr(4));
    } else if (!runs.empty() && line.rfind("cwd=", 0) == 0) {
      runs.back().cwd = line.substr(4);
    } else if (!runs.empty() && line.rfind("path=", 0) == 0) {
      runs.back().path = line.substr(5);
    }
  }
  return runs;
}

ProductTest::ProductTest() {
  product_.AddProbe(probe_);
  product_.SetInstalledModules({"core"});
}

std::string ProductTest::Probe(const std::string& tag,
                               const std::map<std::string, std::string>& extra) const {
  std::map<std::string, std::string> attributes = {
      {"type", "Exe"},
      {"file", target().Relative(probe_)},
      {"wait_for_exit", "1"},
      {"param",
       "--record=%productpath%" + std::string(1, target().separator) + "calls.txt --tag=" + tag}};
  for (const auto& item : extra) attributes[item.first] = item.second;
  return Item(attributes);
}

RunResult ProductTest::PlanProduct(const std::vector<std::string>& more_arguments) {
  RunOptions plan;
  plan.program = PlanBinary();
  plan.arguments = {"--installpath=" + product_.TargetFolder()};
  plan.arguments.insert(plan.arguments.end(), more_arguments.begin(), more_arguments.end());
  return Run(plan);
}

std::string ProductTest::Result(const std::string& section, const std::string& key) const {
  std::string value = "<absent>";
  GetIniValue(ReadTextFile(ResultFile()), section, key, &value);
  return value;
}

}  // namespace e2e
