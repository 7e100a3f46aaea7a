// Gives the fuzz targets a private scratch folder, quiet logging whose lines
// can still be read back, and the check that ends a run on a broken property.
#pragma once

#include <glog/logging.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Ends the run with a message when a property does not hold; libFuzzer then
// saves the input that broke it.
#define FUZZ_CHECK(condition, message)                                         \
  do {                                                                         \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, #condition, (message)); \
  } while (false)
[[noreturn]] void Fail(const char* file, int line, const char* condition,
                       const std::string& message);

// Creates a fresh folder under the temporary folder for this process, removed
// at exit.
const std::string& ScratchFolder();

// Writes bytes to path, replacing the file.
void WriteBytes(const std::string& path, const uint8_t* data, size_t size);

// Sets up logging so that the program's lines are formed in full but reach
// neither a file nor standard error, only the collector.
void QuietLogging();

// Collects the lines logged since the last Take, as "I:text" / "E:text".
class LogLines : public google::LogSink {
 public:
  LogLines();
  ~LogLines() override;
  void send(google::LogSeverity severity, const char* full_filename, const char* base_filename,
            int line, const struct ::tm* tm_time, const char* message, size_t message_len) override;
  std::vector<std::string> Take();

 private:
  std::vector<std::string> lines_;
};

}  // namespace fuzz
