#include "App/FilterLoadModule.h"

#include <glog/logging.h>
#include <rapidjson/document.h>
#include <rapidjson/error/error.h>
#include <rapidjson/istreamwrapper.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "App/JsonGuard.h"
#include "CmdParser/CommandParser.h"
#include "Platform/platform.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

// Reads the whole configuration file; one that cannot be opened reads as empty.
std::string ReadConfigText(const std::wstring& path) {
  std::ifstream stream;
  std::string text;
  if (!platform::OpenInputStream(path, &stream)) return text;
  // The stream turns a read error (a folder, a failing disk) into its end
  // instead of an exception, so such a file reads as what it gave so far.
  char chunk[4096];
  while (stream.read(chunk, sizeof(chunk)) || stream.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(stream.gcount()));
  }
  return text;
}

void LogNotInstalled(const std::string& name) {
  LOG(INFO) << name << " is not installed, will ignore it.";
}

// module_config.dat under the installation path; with an empty installation
// path, the suffix alone.
std::wstring ModuleConfigPath() {
  std::wstring path = AnsiToWide(GetInstallPath());
  path += platform::kPathSeparator;
  path += L"modularize";
  path += platform::kPathSeparator;
  path += L"module_config.dat";
  return path;
}

}  // namespace

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
  if (path.empty() || !platform::PathExists(path)) return false;

  const std::string name = WideToAnsi(ModuleNameFromPath(path));
  const std::wstring config_path = ModuleConfigPath();
  if (!platform::PathExists(config_path)) return false;

  const std::string text = ReadConfigText(config_path);
  rapidjson::Document document;
  // A document the parser cannot take safely is reported as a parse that was
  // cut short; it never reaches the parser.
  rapidjson::ParseErrorCode error = rapidjson::kParseErrorTermination;
  if (IsJsonSafeToParse(text)) {
    std::istringstream bytes(text);
    rapidjson::IStreamWrapper stream(bytes);
    document.ParseStream(stream);
    error = document.GetParseError();
  }
  if (error != rapidjson::kParseErrorNone) {
    LOG(ERROR) << "parse json failed. file: " << LogText(config_path)
               << " ,GetParseError() : " << static_cast<int>(error);
    return false;
  }

  bool shaped = document.IsObject();
  auto modules = shaped ? document.FindMember("module_info") : rapidjson::Value::MemberIterator();
  shaped = shaped && modules != document.MemberEnd() && modules->value.IsObject();
  if (!shaped) {
    LOG(ERROR) << "parse json failed. file: " << LogText(config_path);
    return false;
  }

  const rapidjson::Value key(rapidjson::StringRef(name.data(), name.size()));
  auto module = modules->value.FindMember(key);
  if (module == modules->value.MemberEnd() || !module->value.IsObject()) {
    LogNotInstalled(name);
    return false;
  }

  auto state = module->value.FindMember("state");
  if (state != module->value.MemberEnd() && state->value.IsString() &&
      std::strcmp(state->value.GetString(), "1") == 0) {
    return true;
  }
  LogNotInstalled(name);
  return false;
}
