// Feeds SplitText and AnsiToWide arbitrary bytes. Beside "no crash":
// - SplitText gives the tokens that strtok gives, in order;
// - AnsiToWide drops one leading byte-order mark, ends at the first NUL, and
//   converts back to the same bytes, UTF-8 or not.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "Utils/PathUtils.h"
#include "fuzz/fuzz_support.h"

namespace {

std::vector<std::string> Strtok(std::string text, const std::string& delimiters) {
  std::vector<std::string> tokens;
  char* rest = nullptr;
  for (char* token = strtok_r(&text[0], delimiters.c_str(), &rest); token != nullptr;
       token = strtok_r(nullptr, delimiters.c_str(), &rest)) {
    tokens.push_back(token);
  }
  return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string delimiters = input.ConsumeRandomLengthString(8);
  const std::string text = input.ConsumeRemainingBytesAsString();

  FUZZ_CHECK(SplitText(text, delimiters) == Strtok(text, delimiters),
             "tokens differ from strtok's");

  const std::wstring wide = AnsiToWide(text);
  FUZZ_CHECK(wide.find(L'\0') == std::wstring::npos, "a NUL survived");
  std::string expected = text.c_str();
  if (expected.compare(0, 3, "\xEF\xBB\xBF") == 0) expected.erase(0, 3);
  FUZZ_CHECK(WideToAnsi(wide) == expected, "the conversion does not come back");
  return 0;
}
