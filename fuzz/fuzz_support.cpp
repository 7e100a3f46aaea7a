#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

// A replayed input stops where a fuzz run would: at the first finding that
// tests/sanitizers/ubsan.supp does not waive.
extern "C" const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1:suppressions=" TAVERLY_UBSAN_SUPPRESSIONS;
}

namespace fuzz {

void Fail(const char* file, int line, const char* condition, const std::string& message) {
  std::fprintf(
      stderr, "%s:%d: property broken: %s\n  %s\n", file, line, condition, message.c_str());
  std::abort();
}

namespace {

// Owns the scratch folder: made on first use, removed with the process.
struct Scratch {
  Scratch() {
    std::random_device seed;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::filesystem::path candidate;
    do {
      candidate = base / ("taverly-fuzz-" + std::to_string(seed()));
    } while (!std::filesystem::create_directory(candidate));
    path = candidate.string();
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

}  // namespace

const std::string& ScratchFolder() {
  static const Scratch scratch;
  return scratch.path;
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void QuietLogging() {
  static bool done = false;
  if (done) return;
  done = true;
  google::InitGoogleLogging("taverly-fuzz");
  for (google::LogSeverity severity :
       {google::GLOG_INFO, google::GLOG_WARNING, google::GLOG_ERROR}) {
    google::SetLogDestination(severity, "");
  }
  FLAGS_logtostderr = false;
  FLAGS_alsologtostderr = false;
  google::SetStderrLogging(google::GLOG_FATAL);
}

LogLines::LogLines() { google::AddLogSink(this); }

LogLines::~LogLines() { google::RemoveLogSink(this); }

void LogLines::send(google::LogSeverity severity, const char*, const char*, int, const struct ::tm*,
                    const char* message, size_t message_len) {
  const char letter = severity == google::GLOG_INFO    ? 'I'
                      : severity == google::GLOG_ERROR ? 'E'
                                                       : '?';
  lines_.push_back(std::string(1, letter) + ":" + std::string(message, message_len));
}

std::vector<std::string> LogLines::Take() {
  std::vector<std::string> lines;
  lines.swap(lines_);
  return lines;
}

}  // namespace fuzz
