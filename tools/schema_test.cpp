// The shipped schemas against the program: every module file the examples
// and the test builders make validates, what the program drops still shows
// in taverly-plan, and the module list's schema refuses exactly the lists
// in which the filter cannot read a module's state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "App/FilterLoadModule.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"
#include "tools/plan.h"

namespace fs = std::filesystem;
using ::testing::Contains;

namespace {

const std::string kSchemas = std::string(TAVERLY_SOURCE_DIR) + "/schemas/";

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Runs a validator quietly; true when it accepts.
bool Accepts(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool ModuleFileValidates(const std::string& path) {
  return Accepts(std::string(TAVERLY_XMLLINT) + " --noout --schema " +
                 Quoted(kSchemas + "module.xsd") + " " + Quoted(path));
}

bool ModuleListValidates(const std::string& path) {
  return Accepts(std::string(TAVERLY_PYTHON) + " -m jsonschema -i " + Quoted(path) + " " +
                 Quoted(kSchemas + "module_config.schema.json"));
}

std::vector<std::string> ExampleFiles(const std::string& extension) {
  std::vector<std::string> files;
  for (const auto& entry :
       fs::recursive_directory_iterator(std::string(TAVERLY_SOURCE_DIR) + "/examples")) {
    if (entry.path().extension() == extension) files.push_back(entry.path().string());
  }
  return files;
}

TEST(ModuleSchemaTest, ExampleAndTestModuleFilesValidate) {
  const std::vector<std::string> examples = ExampleFiles(".xml");
  ASSERT_GE(examples.size(), 6u);  // the demo products for both systems
  for (const std::string& file : examples) EXPECT_TRUE(ModuleFileValidates(file)) << file;

  // What the tests' builders write, with every attribute the program reads,
  // one it does not know, and content it passes over.
  TempFolder folder;
  const std::string item = ItemXml({{"type", "Exe"},
                                    {"file", "bin/tool"},
                                    {"param", "--root &quot;%productpath%&quot;"},
                                    {"wait_for_exit", "1"},
                                    {"exitcode", "0;100"},
                                    {"reboot_exitcode", "3010"},
                                    {"system", "0"},
                                    {"timeout", "not a number"},
                                    {"log_output", "1"},
                                    {"vendor_note", "kept"}});
  const std::string library =
      ItemXml({{"type", "SimpleDll"}, {"file", "lib/x.so"}, {"entry", "Go"}, {"exitcode", "0"}});
  const std::vector<std::string> modules = {
      ModuleXml(item + library, item, library),
      ModuleXml(PhaseXml("after_setup", item) + "<notes>any</notes>"),
      ModuleXml(""),
      "<root><module><setup/></module><module name=\"second, not read\"/></root>",
  };
  for (size_t i = 0; i < modules.size(); ++i) {
    const std::string path = folder.Join("mod_" + std::to_string(i) + ".xml");
    WriteTextFile(path, modules[i]);
    EXPECT_TRUE(ModuleFileValidates(path)) << modules[i];
  }

  // Not every file passes: one whose root is not "root" holds no module.
  const std::string stray = folder.Join("mod_stray.xml");
  WriteTextFile(stray, "<modules><module/></modules>");
  EXPECT_FALSE(ModuleFileValidates(stray));
}

TEST(ModuleSchemaTest, ItemThatTheRunDropsValidatesAndThePlanNamesIt) {
  TempFolder folder;
  const std::string product = folder.Join("product");
  const std::string module_file = JoinPath(JoinPath(product, "modularize"), "mod_core.xml");
  const std::string kept = ItemXml({{"type", "Exe"}, {"file", "bin/tool"}});
  WriteTextFile(module_file,
                ModuleXml(kept + ItemXml({{"type", "Exe"}, {"param", "--no-file"}}), kept, kept));
  WriteTextFile(JoinPath(JoinPath(product, "modularize"), "module_config.dat"),
                "{\"module_info\": {\"core\": {\"state\": \"1\"}}}");

  EXPECT_TRUE(ModuleFileValidates(module_file));
  RunContext run = PlanContext(product);
  const Plan plan = BuildPlan(run, PlanOptions());
  std::vector<std::string> codes;
  for (const PlanWarning& warning : plan.warnings) codes.push_back(warning.code);
  EXPECT_THAT(codes, Contains("item-dropped"));
}

TEST(ModuleListSchemaTest, RefusesTheListsWhoseStateTheFilterCannotRead) {
  TempFolder folder;
  const std::string modularize = JoinPath(folder.Join("product"), "modularize");
  const std::string module_file = JoinPath(modularize, "mod_core.xml");
  const std::string list = JoinPath(modularize, "module_config.dat");
  WriteTextFile(module_file, ModuleXml(""));

  struct Case {
    const char* json;
    ModuleVerdictReason reason;
  };
  const Case cases[] = {
      {R"({"module_info": {"core": {"state": "1"}}})", ModuleVerdictReason::kInstalled},
      {R"({"product": "x", "module_info": {"core": {"state": "0", "version": "2"}}})",
       ModuleVerdictReason::kStateNotOne},
      {R"({"module_info": {"core": {"state": 1}}})", ModuleVerdictReason::kStateNotString},
      {R"({"module_info": {"core": {"version": "2"}}})", ModuleVerdictReason::kNoState},
      {R"({"module_info": {"core": "1"}})", ModuleVerdictReason::kEntryNotObject},
      {R"({"module_info": ["core"]})", ModuleVerdictReason::kConfigMisshapen},
      {R"({"modules": {"core": {"state": "1"}}})", ModuleVerdictReason::kConfigMisshapen},
      {R"([{"module_info": {}}])", ModuleVerdictReason::kConfigMisshapen},
  };
  for (const Case& c : cases) {
    WriteTextFile(list, c.json);
    const ModuleVerdict verdict = LoadModFilter(folder.Join("product")).Judge(Wide(module_file));
    EXPECT_EQ(verdict.reason, c.reason) << c.json;
    const bool readable = c.reason == ModuleVerdictReason::kInstalled ||
                          c.reason == ModuleVerdictReason::kStateNotOne;
    EXPECT_EQ(ModuleListValidates(list), readable) << c.json;
  }

  for (const std::string& file : ExampleFiles(".dat")) {
    EXPECT_TRUE(ModuleListValidates(file)) << file;
  }
}

}  // namespace
