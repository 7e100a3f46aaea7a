// What is kept of a program's output: its first and its last part, with the
// rest of the line the first part ends in. The platform's waits feed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The most of a program's output that is kept: its first and its last part.
constexpr size_t kOutputHeadBytes = 32 * 1024;
constexpr size_t kOutputTailBytes = 32 * 1024;
// After the first part, the rest of the line it ends in is kept too, up to
// this many bytes, so that the line is not cut where the part ends.
constexpr size_t kOutputHeadLineBytes = 16 * 1024;

struct CapturedOutput {
  uint64_t size = 0;              // bytes the program wrote in all
  std::string head;               // all of them when they fit in head and tail together,
                                  // else the first kOutputHeadBytes, and after them the
                                  // rest of their last line up to kOutputHeadLineBytes
  std::string tail;               // the last kOutputTailBytes when they did not fit; else empty
  bool tail_starts_line = false;  // with a tail: the byte before it ended a line
  // With a tail: the head ends in the CR of a CR LF whose LF came after it.
  bool head_ends_in_split_break = false;
};

// Keeps the parts of output that CapturedOutput holds while it arrives in
// pieces, in bounded memory however much arrives.
class OutputKeeper {
 public:
  void Add(const char* data, size_t count);
  CapturedOutput Kept() const;

 private:
  bool HeadComplete() const;

  uint64_t size_ = 0;
  std::string head_;  // CapturedOutput's head
  std::string ring_;  // the last kOutputTailBytes + 1 after it, from ring_start_
  size_t ring_start_ = 0;
  bool past_head_ = false;    // a byte came after the complete head
  bool split_break_ = false;  // the head ended in CR, and that byte was LF
};

}  // namespace platform
