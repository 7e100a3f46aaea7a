#include "App/FilterLoadModule.h"

#include <glog/logging.h>
#include <rapidjson/document.h>
#include <rapidjson/error/error.h>

#include <cstring>
#include <utility>

#include "App/JsonGuard.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

void LogNotInstalled(const std::string& name) {
  LOG(INFO) << NarrowLogText(name) << " is not installed, will ignore it.";
}

// module_config.dat under the installation path; with an empty installation
// path, the suffix alone.
std::wstring ModuleConfigPath(const std::string& install_path) {
  std::wstring path = AnsiToWide(install_path);
  path += platform::kPathSeparator;
  path += L"modularize";
  path += platform::kPathSeparator;
  path += L"module_config.dat";
  return path;
}

}  // namespace

// module_config.dat as read and parsed, with the identity of the file read.
struct ParsedModuleConfig {
  platform::FileIdentity identity;
  rapidjson::ParseErrorCode error = rapidjson::kParseErrorNone;
  rapidjson::Document document;
};

LoadModFilter::LoadModFilter(std::string install_path) : install_path_(std::move(install_path)) {}

LoadModFilter::~LoadModFilter() = default;

LoadModFilter::LoadModFilter(const LoadModFilter& other) : install_path_(other.install_path_) {}

LoadModFilter& LoadModFilter::operator=(const LoadModFilter& other) {
  install_path_ = other.install_path_;
  config_.reset();
  return *this;
}

std::wstring ModuleNameFromPath(const std::wstring& path) {
  // Only the file name counts: a "_" or "." in a folder name must not move
  // the name. Windows also accepts "/" between components.
  const wchar_t* separators = platform::kPathSeparator == L'\\' ? L"\\/" : L"/";
  size_t slash = path.find_last_of(separators);
  const std::wstring file = slash == std::wstring::npos ? path : path.substr(slash + 1);

  size_t underscore = file.find(L'_');
  size_t start = underscore == std::wstring::npos ? 0 : underscore + 1;
  size_t dot = file.find(L'.');
  if (dot == std::wstring::npos || dot < start) return file.substr(start);
  return file.substr(start, dot - start);
}

bool LoadModFilter::IsModuleInstalled(std::wstring path) {
  ModuleVerdict verdict;
  return JudgeAndLog(path, &verdict);
}

bool LoadModFilter::JudgeAndLog(const std::wstring& path, ModuleVerdict* verdict_out) {
  *verdict_out = Judge(path);
  const ModuleVerdict& verdict = *verdict_out;
  switch (verdict.reason) {
    case ModuleVerdictReason::kConfigUnparsable:
      LOG(ERROR) << "parse json failed. file: " << LogText(verdict.config_path)
                 << " ,GetParseError() : " << verdict.parse_error;
      break;
    case ModuleVerdictReason::kConfigMisshapen:
      LOG(ERROR) << "parse json failed. file: " << LogText(verdict.config_path);
      break;
    case ModuleVerdictReason::kNotListed:
    case ModuleVerdictReason::kEntryNotObject:
    case ModuleVerdictReason::kNoState:
    case ModuleVerdictReason::kStateNotString:
    case ModuleVerdictReason::kStateNotOne:
      LogNotInstalled(verdict.module_name);
      break;
    case ModuleVerdictReason::kInstalled:
    case ModuleVerdictReason::kNoModuleFile:
    case ModuleVerdictReason::kNoConfig:
      break;
  }
  return verdict.installed;
}

namespace {

// Parses module_config.dat's text into document; answers the parser's error.
rapidjson::ParseErrorCode ParseConfig(const std::string& text, rapidjson::Document* document) {
  // A document the parser cannot take safely is reported as a parse that was
  // cut short; it never reaches the parser.
  if (!IsJsonSafeToParse(text)) return rapidjson::kParseErrorTermination;
  // Parsed from memory: the standard-stream wrapper's two stream calls per
  // character cost several times the parse itself. Both streams end the
  // document at its first NUL, so every result and error code stays the same.
  rapidjson::StringStream stream(text.c_str());
  document->ParseStream(stream);
  return document->GetParseError();
}

// The list at path, whose identity is found now: the one parsed last while
// it is the same file unchanged, otherwise read and parsed again. Anything but
// a readable regular file reads as empty, without blocking, and is never kept.
const ParsedModuleConfig& ConfigAt(const std::wstring& path, const platform::FileIdentity& found,
                                   std::unique_ptr<ParsedModuleConfig>* kept) {
  if (*kept != nullptr && (*kept)->identity == found) return **kept;
  auto config = std::make_unique<ParsedModuleConfig>();
  std::string text;
  // The identity kept is the one the open file told, so a file replaced or
  // written between the look above and the read is read again next time.
  platform::ReadFileText(path, &text, &config->identity);
  config->error = ParseConfig(text, &config->document);
  *kept = std::move(config);
  return **kept;
}

// Judges the module's entry under module_info: its reason, state and answer.
void JudgeEntry(const rapidjson::Value& modules, ModuleVerdict* verdict) {
  const std::string& name = verdict->module_name;
  const rapidjson::Value key(rapidjson::StringRef(name.data(), name.size()));
  auto module = modules.FindMember(key);
  if (module == modules.MemberEnd()) {
    verdict->reason = ModuleVerdictReason::kNotListed;
    return;
  }
  if (!module->value.IsObject()) {
    verdict->reason = ModuleVerdictReason::kEntryNotObject;
    return;
  }

  auto state = module->value.FindMember("state");
  if (state == module->value.MemberEnd()) {
    verdict->reason = ModuleVerdictReason::kNoState;
  } else if (!state->value.IsString()) {
    verdict->reason = ModuleVerdictReason::kStateNotString;
  } else {
    // Compared as zero-terminated text: a state with a NUL inside counts up to it.
    verdict->state = state->value.GetString();
    verdict->installed = std::strcmp(state->value.GetString(), "1") == 0;
    verdict->reason =
        verdict->installed ? ModuleVerdictReason::kInstalled : ModuleVerdictReason::kStateNotOne;
  }
}

}  // namespace

ModuleVerdict LoadModFilter::Judge(const std::wstring& path) {
  ModuleVerdict verdict;
  if (path.empty() || !platform::PathExists(path)) {
    verdict.reason = ModuleVerdictReason::kNoModuleFile;
    return verdict;
  }

  verdict.module_name = WideToAnsi(ModuleNameFromPath(path));
  verdict.config_path = ModuleConfigPath(install_path_);
  platform::FileIdentity found;
  if (!platform::PathIdentity(verdict.config_path, &found)) {
    verdict.reason = ModuleVerdictReason::kNoConfig;
    return verdict;
  }

  const ParsedModuleConfig& config = ConfigAt(verdict.config_path, found, &config_);
  if (config.error != rapidjson::kParseErrorNone) {
    verdict.reason = ModuleVerdictReason::kConfigUnparsable;
    verdict.parse_error = static_cast<int>(config.error);
    return verdict;
  }

  const rapidjson::Document& document = config.document;
  bool shaped = document.IsObject();
  auto modules =
      shaped ? document.FindMember("module_info") : rapidjson::Value::ConstMemberIterator();
  shaped = shaped && modules != document.MemberEnd() && modules->value.IsObject();
  if (!shaped) {
    verdict.reason = ModuleVerdictReason::kConfigMisshapen;
    return verdict;
  }
  JudgeEntry(modules->value, &verdict);
  return verdict;
}

const char* ModuleReasonName(ModuleVerdictReason reason) {
  switch (reason) {
    case ModuleVerdictReason::kInstalled:
      return "installed";
    case ModuleVerdictReason::kNoModuleFile:
      return "no-module-file";
    case ModuleVerdictReason::kNoConfig:
      return "no-config";
    case ModuleVerdictReason::kConfigUnparsable:
      return "config-unparsable";
    case ModuleVerdictReason::kConfigMisshapen:
      return "config-misshapen";
    case ModuleVerdictReason::kNotListed:
      return "not-listed";
    case ModuleVerdictReason::kEntryNotObject:
      return "entry-not-object";
    case ModuleVerdictReason::kNoState:
      return "no-state";
    case ModuleVerdictReason::kStateNotString:
      return "state-not-string";
    case ModuleVerdictReason::kStateNotOne:
      break;
  }
  return "state-not-one";
}
