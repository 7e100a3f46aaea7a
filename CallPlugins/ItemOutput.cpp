#include "CallPlugins/ItemOutput.h"

#include "Platform/system/system.h"
#include "Utils/LogText.h"

namespace {

// Collects the texts; bytes left out between two of them are named once.
class OutputTexts {
 public:
  void Show(std::string text) {
    Flush();
    texts_.push_back(std::move(text));
  }
  void LeaveOut(uint64_t bytes) { left_out_ += bytes; }
  std::vector<std::string> Finish() {
    Flush();
    return std::move(texts_);
  }

 private:
  void Flush() {
    if (left_out_ > 0) texts_.push_back(std::to_string(left_out_) + " bytes left out");
    left_out_ = 0;
  }

  std::vector<std::string> texts_;
  uint64_t left_out_ = 0;
};

// Adds the lines of one stretch of output, from start on.
void AddLines(const std::string& text, size_t start, OutputTexts* texts) {
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool terminated = end != std::string::npos;
    if (!terminated) end = text.size();
    size_t length = end - start;
    if (terminated && length > 0 && text[end - 1] == '\r') --length;
    const std::string line = text.substr(start, length);
    size_t used = 0;
    texts->Show(EscapedLogText(line, platform::OutputLineReader(line), kLongestOutputLine, &used));
    texts->LeaveOut(line.size() - used);
    start = terminated ? end + 1 : end;
  }
}

}  // namespace

std::vector<std::string> OutputLogTexts(const platform::CapturedOutput& output) {
  OutputTexts texts;
  // A CR LF split at the head's edge ends the head's last line there: as
  // any line break, neither of its bytes counts as output left out.
  const bool split = output.head_ends_in_split_break;
  AddLines(split ? output.head.substr(0, output.head.size() - 1) : output.head, 0, &texts);
  if (!output.tail.empty()) {
    texts.LeaveOut(output.size - output.head.size() - output.tail.size() - (split ? 1 : 0));
    // A tail that starts inside a line shows from the next line on.
    size_t start = 0;
    if (!output.tail_starts_line) {
      const size_t line_end = output.tail.find('\n');
      start = line_end == std::string::npos ? output.tail.size() : line_end + 1;
      texts.LeaveOut(start);
    }
    AddLines(output.tail, start, &texts);
  }
  return texts.Finish();
}

std::string EndedReachText(const platform::ProgramResult& result) {
  if (!result.ended_all) return ", only the program";
  const std::string outside = std::to_string(result.ended_outside) + " of them had left its group";
  return (result.ended_outside > 0 ? ", " + outside : std::string()) +
         (result.may_have_escaped ? ", some may have escaped" : "");
}
