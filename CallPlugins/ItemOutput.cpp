#include "CallPlugins/ItemOutput.h"

#include "Platform/platform.h"
#include "Utils/LogText.h"

namespace {

std::string LeftOut(uint64_t bytes) { return std::to_string(bytes) + " bytes left out"; }

// Appends the lines of one stretch of output.
void AddLines(const std::string& text, std::vector<std::string>* texts) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool terminated = end != std::string::npos;
    if (!terminated) end = text.size();
    size_t length = end - start;
    if (terminated && length > 0 && text[end - 1] == '\r') --length;
    const std::string line = text.substr(start, length);
    size_t used = 0;
    texts->push_back(
        EscapedLogText(line, platform::OutputLineReader(line), kLongestOutputLine, &used));
    if (used < line.size()) texts->push_back(LeftOut(line.size() - used));
    start = terminated ? end + 1 : end;
  }
}

}  // namespace

std::vector<std::string> OutputLogTexts(const platform::CapturedOutput& output) {
  std::vector<std::string> texts;
  AddLines(output.head, &texts);
  if (!output.tail.empty()) {
    texts.push_back(LeftOut(output.size - output.head.size() - output.tail.size()));
    AddLines(output.tail, &texts);
  }
  return texts;
}
