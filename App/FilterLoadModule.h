// Declares the installed-module filter: the catalogue asks it, before parsing
// a module file, whether the module is listed as installed in the product's
// module_config.dat.
#pragma once

#include <memory>
#include <string>

#include "LoadXml/ModuleFilter.h"

struct ParsedModuleConfig;

// Why the filter admits a module file or leaves it out.
enum class ModuleVerdictReason {
  kInstalled,         // the entry's state is the string "1"
  kNoModuleFile,      // the path is empty or names nothing
  kNoConfig,          // module_config.dat is missing
  kConfigUnparsable,  // not well-formed JSON, or refused as unsafe to parse
  kConfigMisshapen,   // root not an object, module_info missing or not an object
  kNotListed,         // module_info has no member with the module name
  kEntryNotObject,    // the module's entry is not an object
  kNoState,           // the entry has no state
  kStateNotString,    // state is not a string
  kStateNotOne,       // state is a string other than "1"
};

struct ModuleVerdict {
  bool installed = false;
  ModuleVerdictReason reason = ModuleVerdictReason::kNoModuleFile;
  std::string module_name;   // narrow, as looked up under module_info
  std::wstring config_path;  // empty when the module file was not there
  int parse_error = 0;       // the parser's error code for kConfigUnparsable
  std::string state;         // the state text for kInstalled and kStateNotOne
};

// Returns the stable name of a reason for tools and reports: "installed",
// "not-listed", "state-not-one", ...
const char* ModuleReasonName(ModuleVerdictReason reason);

// Reads and parses module_config.dat again only when the file there is no
// longer the one it parsed last (platform::FileIdentity: the same file, size
// and time of writing); anything but a regular file is read anew every time.
class LoadModFilter final : public IFilterCallback {
 public:
  // install_path: the run's installation path, under which module_config.dat lies.
  explicit LoadModFilter(std::string install_path);
  ~LoadModFilter();
  // A copy starts with nothing parsed.
  LoadModFilter(const LoadModFilter& other);
  LoadModFilter& operator=(const LoadModFilter& other);

  // Judges, then logs the reason of a refusal where the reason calls for a line.
  bool IsModuleInstalled(std::wstring path) override;
  // The same, handing back the verdict (for the run report).
  bool JudgeAndLog(const std::wstring& path, ModuleVerdict* verdict);
  // Judges path as IsModuleInstalled does, without logging.
  ModuleVerdict Judge(const std::wstring& path);

 private:
  std::string install_path_;
  std::unique_ptr<ParsedModuleConfig> config_;  // the list as last parsed
};

// Derives the module name from the file name of a module file: the text after
// its first "_" up to its first "."; when that "." comes earlier, up to the end.
std::wstring ModuleNameFromPath(const std::wstring& path);
