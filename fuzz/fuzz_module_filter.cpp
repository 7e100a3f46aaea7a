// Feeds the installed-module filter arbitrary module_config.dat bytes and
// asks it about two module files. Beside "no crash", each answer and its log
// lines must be those of a plain reading of the rules: the whole document
// parsed through rapidjson's standard-stream wrapper (as the filter once
// did), refused exactly when the full guard walk refuses it. This also holds
// the guard's quick test to the full walk.
#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "App/FilterLoadModule.h"
#include "App/JsonGuard.h"
#include "Utils/PathUtils.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Answer {
  bool installed = false;
  std::vector<std::string> lines;
};

Answer Expected(const std::string& text, const std::string& name, const std::string& config) {
  const std::string parse_failed = "E:parse json failed. file: " + config;
  const std::string not_installed = "I:" + name + " is not installed, will ignore it.";
  if (!JsonWalkIsSafe(text)) return {false, {parse_failed + " ,GetParseError() : 16"}};
  std::istringstream bytes(text);
  rapidjson::IStreamWrapper stream(bytes);
  rapidjson::Document document;
  document.ParseStream(stream);
  if (document.HasParseError()) {
    return {false,
            {parse_failed + " ,GetParseError() : " + std::to_string(document.GetParseError())}};
  }
  if (!document.IsObject()) return {false, {parse_failed}};
  auto modules = document.FindMember("module_info");
  if (modules == document.MemberEnd() || !modules->value.IsObject()) return {false, {parse_failed}};
  auto module =
      modules->value.FindMember(rapidjson::Value(rapidjson::StringRef(name.data(), name.size())));
  if (module == modules->value.MemberEnd() || !module->value.IsObject()) {
    return {false, {not_installed}};
  }
  auto state = module->value.FindMember("state");
  if (state != module->value.MemberEnd() && state->value.IsString() &&
      std::strcmp(state->value.GetString(), "1") == 0) {
    return {true, {}};
  }
  return {false, {not_installed}};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string product = fuzz::ScratchFolder() + "/product";
  static const std::string folder = product + "/modularize";
  static const bool made = [] {
    std::filesystem::create_directories(folder);
    fuzz::WriteBytes(folder + "/mod_core.xml", nullptr, 0);
    fuzz::WriteBytes(folder + "/mod_net_guard.xml", nullptr, 0);
    return true;
  }();
  (void)made;
  const std::string config = folder + "/module_config.dat";
  fuzz::WriteBytes(config, data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(IsJsonSafeToParse(text) == JsonWalkIsSafe(text), "the guard's quick test differs");

  fuzz::LogLines log;
  LoadModFilter filter(product);
  for (const char* name : {"core", "net_guard"}) {
    const bool installed = filter.IsModuleInstalled(AnsiToWide(folder + "/mod_" + name + ".xml"));
    const Answer expected = Expected(text, name, config);
    FUZZ_CHECK(installed == expected.installed, std::string("answer for ") + name);
    const std::vector<std::string> lines = log.Take();
    FUZZ_CHECK(lines == expected.lines,
               "log for " + std::string(name) + ": " + (lines.empty() ? "(none)" : lines[0]));
  }
  return 0;
}
