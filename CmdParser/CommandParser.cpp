#include "CmdParser/CommandParser.h"

#include <glog/logging.h>

#include <algorithm>
#include <cctype>

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

FlagMatch MatchFlag(const std::string& argument, const std::string& flag) {
  if (argument == flag) return FlagMatch::kGiven;
  const auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  for (const std::string& form : {flag, flag.substr(1)}) {
    if (argument.size() >= form.size() &&
        std::equal(form.begin(), form.end(), argument.begin(), same)) {
      return FlagMatch::kMisspelt;
    }
  }
  return FlagMatch::kNone;
}

FlagMatch ParseFlag(const std::string& argument, const std::string& flag) {
  const FlagMatch match = MatchFlag(argument, flag);
  if (match == FlagMatch::kGiven) LOG(INFO) << "commindline " << flag;
  return match;
}

}  // namespace CommandParser
