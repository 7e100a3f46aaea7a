// Fixture of the tests of item conditions and of the wait for a busy
// installer: probe items with conditions, runs that leave only their own log
// file, the report's items by status, and what a test changes on the system
// (registry keys under Wine, mounts in a private namespace natively), undone
// when the test ends, failed or not.
#pragma once

#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/private_mounts.h"
#include "tests/e2e/report_check.h"

namespace e2e {

class ConditionsTest : public ReportTest {
 protected:
  void TearDown() override {
    // A key the test removed itself, or one inside a key removed before, is gone already.
    for (const std::string& key : added_keys_) {
      if (Windows({"reg", "query", key, "/reg:64"}) != 0) continue;
      EXPECT_EQ(Windows({"reg", "delete", key, "/f", "/reg:64"}), 0) << "left behind: " << key;
    }
    for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount)
      umount2(mount->c_str(), 0);
  }

  // A waited-for probe item recording tag, with more of the probe's options
  // and attributes (the conditions) added.
  std::string Tagged(const std::string& tag, const std::string& more,
                     std::map<std::string, std::string> extra = {}) const {
    extra["param"] =
        "--record=" + Here("calls.txt") + " --tag=" + tag + (more.empty() ? "" : " ") + more;
    return Probe(tag, extra);
  }
  // A name in the product folder as a condition or parameter writes it.
  static std::string Here(const std::string& relative) {
    return "%productpath%" + std::string(1, target().separator) + target().Relative(relative);
  }
  // A run with only its own log file in the log folder.
  RunResult RunAgain() {
    for (const std::string& name : LogFileNames()) std::filesystem::remove(LogDir() + "/" + name);
    return RunProduct();
  }
  // "status" of every item in run order, "skipped:<skipped_by>" for one a
  // condition passed over.
  std::vector<std::string> Items() {
    std::vector<std::string> items;
    for (const auto& phase : Report()["phases"].GetArray()) {
      for (const auto& item : phase["items"].GetArray()) {
        std::string status = item["status"].GetString();
        if (item.HasMember("skipped_by"))
          status += std::string(":") + item["skipped_by"].GetString();
        items.push_back(status);
      }
    }
    return items;
  }
  unsigned Count(const char* name) { return Report()["counts"][name].GetUint(); }
  // The messages that hold text.
  std::vector<std::string> MessagesWith(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& message : Messages()) {
      if (message.find(text) != std::string::npos) found.push_back(message);
    }
    return found;
  }
  // The line of an item passed over by attribute (text as written).
  std::string PassedOver(const std::string& attribute, const std::string& text,
                         const std::string& more = "") const {
    return "I:item passed over, path: " + At(probe_) + " ," + attribute + ": " + text + more;
  }
  std::string Success() const { return target().IniText({"[result]", "is_success=true"}); }

  // A Windows program of the prefix (reg) run through the launcher.
  int Windows(const std::vector<std::string>& command) {
    RunOptions options;
    options.program = command.front();
    options.arguments.assign(command.begin() + 1, command.end());
    return Run(options).exit_code;
  }
  // Adds a registry key (with a value when given: name, type, data), deleted
  // when the test ends.
  void AddKey(const std::string& key, const std::vector<std::string>& value = {}) {
    std::vector<std::string> command = {"reg", "add", key};
    if (value.size() == 3)
      command.insert(command.end(), {"/v", value[0], "/t", value[1], "/d", value[2]});
    command.insert(command.end(), {"/f", "/reg:64"});
    if (std::find(added_keys_.begin(), added_keys_.end(), key) == added_keys_.end()) {
      added_keys_.push_back(key);
    }
    ASSERT_EQ(Windows(command), 0) << "reg add " << key;
  }
  // Natively: this process in a mount namespace of its own with an empty
  // file system over folder, unmounted when the test ends; "" or why not.
  std::string HideFolder(const std::string& folder) {
    std::string why = EnterPrivateMountNamespace();
    if (why.empty() && mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
      why = "cannot mount over " + folder;
    }
    if (why.empty()) mounts_.push_back(folder);
    return why;
  }

 private:
  std::vector<std::string> added_keys_;
  std::vector<std::string> mounts_;
};

}  // namespace e2e
