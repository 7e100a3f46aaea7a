// Collects the program's log lines while it lives, as "I:text" / "E:text".
#pragma once

#include <glog/logging.h>

#include <mutex>
#include <string>
#include <vector>

class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }

  void send(google::LogSeverity severity, const char* /*full_filename*/, const char* base_filename,
            int line, const struct ::tm* /*tm_time*/, const char* message,
            size_t message_len) override {
    std::lock_guard<std::mutex> lock(mutex_);
    char letter = severity == google::GLOG_INFO ? 'I' : severity == google::GLOG_ERROR ? 'E' : '?';
    lines_.push_back(std::string(1, letter) + ":" + std::string(message, message_len));
    files_.push_back(std::string(base_filename) + ":" + std::to_string(line));
  }

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // "file.cpp:line" of each line, in the same order.
  std::vector<std::string> files() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::string> files_;
};

// Log lines since the last call, as "<severity letter> <source file> <message>".
class LogLines {
 public:
  std::vector<std::string> Take() {
    const std::vector<std::string> lines = capture_.lines();
    const std::vector<std::string> files = capture_.files();
    std::vector<std::string> fresh;
    for (size_t i = taken_; i < lines.size(); ++i) {
      fresh.push_back(lines[i].substr(0, 1) + " " + files[i].substr(0, files[i].rfind(':')) + " " +
                      lines[i].substr(2));
    }
    taken_ = lines.size();
    return fresh;
  }

 private:
  LogCapture capture_;
  size_t taken_ = 0;
};
