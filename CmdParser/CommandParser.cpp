#include "CmdParser/CommandParser.h"

#include <glog/logging.h>

#include "Platform/system/system.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace CommandParser {

std::vector<std::string> GetArguments() {
  std::vector<std::string> arguments;
  std::vector<std::wstring> all = platform::CommandLineArguments();
  for (size_t i = 1; i < all.size(); ++i) {
    if (all[i].empty()) continue;
    arguments.push_back(WideToAnsi(all[i]));
  }
  return arguments;
}

bool ParseOption(std::string& destination, const std::string& argument, const std::string& key) {
  if (argument.compare(0, key.size(), key) != 0) return false;
  destination = argument.substr(key.size());
  // "commindline" is spelt so on purpose: installers and log readers match
  // the line byte for byte.
  LOG(INFO) << "commindline " << key << " : " << NarrowLogText(destination);
  return true;
}

FlagMatch ParseFlag(const std::string& argument, const std::string& flag) {
  if (argument.compare(0, flag.size(), flag) != 0) return FlagMatch::kNone;
  if (argument.size() > flag.size()) return FlagMatch::kMisspelt;
  LOG(INFO) << "commindline " << flag;
  return FlagMatch::kGiven;
}

}  // namespace CommandParser
