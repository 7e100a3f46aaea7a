// The system as the runner's tests script it, item file by item file (its
// name in the product folder), in words separated by blanks:
//   3 3 0        the program's exit codes, one each start (the last repeats)
//   unstarted:N  the start fails with the system's error N
//   timeout      the program runs past its time limit and is ended
//   unsigned     the file's signature is not accepted
//   unchecked    accepted, but the program may run code nobody checked
//   unloaded:N   the library does not load, with the system's error N
//   entry:N      the library's entry returns N (else it has no entry)
//   there        the path is there, for a condition
// and the sessions an as_user item asks for under the name "sessions":
// "user:session" words in order, or unread:N (they cannot be read, error N).
// if_program's program answers from its script as an item's does.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CallPlugins/ItemSystem.h"
#include "Platform/system/system.h"
#include "tests/support/builders.h"

class FakeItemSystem : public ItemSystem, public ConditionSystem {
 public:
  explicit FakeItemSystem(std::map<std::string, std::string> scripts)
      : scripts_(std::move(scripts)) {}

  bool Start(const platform::ProgramRequest& request, platform::ProgramResult* result) override {
    *result = RunProgram(request);
    return result->started;
  }
  bool OpenSigned(const std::wstring& path, platform::ReadOnlyFile*) override {
    return !Has(Name(path), "unsigned");
  }
  SignedContentProblem JudgeContent(const Item& item, const platform::ReadOnlyFile&,
                                    std::string* source) override {
    *source = "lib";
    return Has(Name(item.path), "unchecked") ? SignedContentProblem::kUncheckedProgram
                                             : SignedContentProblem::kNone;
  }
  void* Load(const std::wstring& path, const platform::ReadOnlyFile*, uint32_t* error) override {
    const std::string name = Name(path);
    calls.push_back("load " + name);
    int64_t value = 0;
    if (Has(name, "unloaded:", &value)) *error = static_cast<uint32_t>(value);
    return Has(name, "unloaded:") ? nullptr : &*scripts_.emplace(name, "").first;
  }
  bool CallEntry(void* library, const std::string&, int32_t* result) override {
    const std::string& name =
        static_cast<std::pair<const std::string, std::string>*>(library)->first;
    int64_t value = 0;
    if (!Has(name, "entry:", &value)) return false;
    calls.push_back("entry " + name);
    *result = static_cast<int32_t>(value);
    return true;
  }
  bool UserSessions(platform::SessionChoice choice, const std::wstring&,
                    std::vector<platform::UserSession>* sessions, uint32_t* error) override {
    calls.push_back(choice == platform::SessionChoice::kAll ? "sessions all" : "sessions active");
    int64_t value = 0;
    if (Has("sessions", "unread:", &value)) return (*error = static_cast<uint32_t>(value)) == 0;
    for (const std::string& word : Words("sessions")) {
      sessions->emplace_back();
      sessions->back().user = Wide(word.substr(0, word.find(':')));
      sessions->back().session = Wide(word.substr(word.find(':') + 1));
    }
    return true;
  }
  ConditionSystem& Conditions(ConditionSystem&) override { return *this; }

  platform::Answer PathIsThere(const std::wstring& path, uint32_t*) override {
    return Has(Name(path), "there") ? platform::Answer::kYes : platform::Answer::kNo;
  }
  platform::Answer RestartPending(std::wstring*, uint32_t*) override {
    return platform::Answer::kNo;
  }
  platform::Answer RegistryHolds(const std::wstring&, uint32_t*) override {
    return platform::Answer::kNo;
  }
  platform::ProgramResult RunProgram(const platform::ProgramRequest& request) override {
    const std::string name = Name(request.file);
    calls.push_back(
        "start " + name +
        (request.as_user ? " as " + platform::WideToUtf8(request.as_user->session) : ""));
    platform::ProgramResult result;
    int64_t value = 0;
    if (Has(name, "unstarted:", &value)) {
      result.start_error = static_cast<uint32_t>(value);
      return result;
    }
    result.started = result.has_process = true;
    result.timed_out = result.ended_all = Has(name, "timeout");
    std::vector<uint32_t> codes;
    for (const std::string& word : Words(name)) {
      if (word.find_first_not_of("0123456789") == std::string::npos) {
        codes.push_back(static_cast<uint32_t>(std::stoul(word)));
      }
    }
    const size_t start = starts_[name]++;
    if (!codes.empty()) result.exit_code = codes[start < codes.size() ? start : codes.size() - 1];
    return result;
  }

  std::vector<std::string> calls;  // "start a", "load l", "entry l", in order

 private:
  static std::string Name(const std::wstring& path) {
    return platform::WideToUtf8(path.substr(path.find_last_of(platform::kPathSeparator) + 1));
  }
  std::vector<std::string> Words(const std::string& name) const {
    auto script = scripts_.find(name);
    std::istringstream in(script == scripts_.end() ? std::string() : script->second);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
  }
  // A word, or a word that starts with the prefix "name:" and its number.
  bool Has(const std::string& name, const std::string& word, int64_t* value = nullptr) const {
    for (const std::string& each : Words(name)) {
      if (each == word || (word.back() == ':' && each.compare(0, word.size(), word) == 0)) {
        if (value != nullptr) *value = std::stoll(each.substr(word.size()));
        return true;
      }
    }
    return false;
  }

  std::map<std::string, std::string> scripts_;
  std::map<std::string, size_t> starts_;
};
