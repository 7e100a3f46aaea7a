#include "Utils/JsonText.h"

namespace json {

Document::Document(size_t expected_size) {
  text.reserve(expected_size);
  writer.SetIndent(' ', 2);
}

void String(Writer& json, const std::string& utf8) {
  json.String(utf8.c_str(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void Member(Writer& json, const char* name, const std::string& utf8) {
  json.Key(name);
  String(json, utf8);
}

void Member(Writer& json, const char* name, bool value) {
  json.Key(name);
  json.Bool(value);
}

void Member(Writer& json, const char* name, int value) {
  json.Key(name);
  json.Int(value);
}

void Member(Writer& json, const char* name, uint64_t value) {
  json.Key(name);
  json.Uint64(value);
}

void MemberOrNull(Writer& json, const char* name, bool present, int64_t value) {
  json.Key(name);
  if (present) {
    json.Int64(value);
  } else {
    json.Null();
  }
}

}  // namespace json
