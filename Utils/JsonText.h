// Writes a JSON document, indented by two blanks, straight into a string:
// the one writer of the run report and of the plan.
#pragma once

#include <rapidjson/prettywriter.h>

#include <cstdint>
#include <string>

namespace json {

// rapidjson's output stream over a string: no buffer of its own to copy from.
class TextOutput {
 public:
  using Ch = char;
  explicit TextOutput(std::string* text) : text_(text) {}
  void Put(char c) { text_->push_back(c); }
  void Flush() {}

 private:
  std::string* text_;
};

using Writer = rapidjson::PrettyWriter<TextOutput>;

// A document under way; text holds what was written.
struct Document {
  explicit Document(size_t expected_size = 4096);
  std::string text;
  TextOutput output{&text};
  Writer writer{output};
};

void String(Writer& json, const std::string& utf8);
void Member(Writer& json, const char* name, const std::string& utf8);
void Member(Writer& json, const char* name, bool value);
void Member(Writer& json, const char* name, int value);
void Member(Writer& json, const char* name, uint64_t value);
// A whole number, or null where there is none.
void MemberOrNull(Writer& json, const char* name, bool present, int64_t value);

}  // namespace json
