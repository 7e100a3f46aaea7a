// The fixture of the tests of items with a time limit or with their output
// in the log: the lines after an item's start, and whether what a probe
// started still runs.
#pragma once

#include <signal.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

class SupervisionTest : public ProductTest {
 protected:
  // An Exe item that runs the probe with exactly these parameters.
  std::string Exe(const std::string& param, std::map<std::string, std::string> extra = {}) const {
    extra["param"] = param;
    return Probe("", extra);
  }
  // A file of the product as the probe, started by the program, names it.
  std::string Named(const std::string& relative) const { return At(relative); }

  // The lines that follow the start line of the item whose parameters
  // begin so, up to the next item's start or the phase's end or failure line.
  std::vector<std::string> LinesAfterStart(const std::string& param) const {
    std::vector<std::string> messages = Messages();
    std::vector<std::string> after;
    bool found = false;
    for (const std::string& message : messages) {
      if (found) {
        if (message.rfind("I:end   call", 0) == 0 || message.rfind("E:Call", 0) == 0 ||
            message.rfind("I:run exe application: ", 0) == 0) {
          break;
        }
        after.push_back(message);
      } else if (message.rfind("I:run exe application: ", 0) == 0 &&
                 message.find(" , param: " + param) != std::string::npos) {
        found = true;
      }
    }
    return after;
  }

  // Whether a file still grows: a probe that ticks into it still runs.
  bool StillTicking(const std::string& file) const {
    const size_t before = ReadTextFile(file).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return ReadTextFile(file).size() != before;
  }

 public:
  // Whether the processes whose ids a probe wrote are all gone (native ids).
  static bool AllGone(const std::string& pid_file) {
    std::istringstream in(ReadTextFile(pid_file));
    long pid = 0;
    int seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (in >> pid) {
      ++seen;
      // A process reparented to init may take a moment to be reaped.
      while (kill(static_cast<pid_t>(pid), 0) == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return seen > 0;
  }
};

}  // namespace e2e
