// The part of output capture that both sides share: which bytes are kept.
#include "Rules/output_capture.h"

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

// One byte more than the tail: it tells whether the tail starts a line.
constexpr size_t kRingBytes = kOutputTailBytes + 1;

}  // namespace

bool OutputKeeper::HeadComplete() const {
  if (head_.size() < kOutputHeadBytes) return false;
  return head_.back() == '\n' || head_.size() == kOutputHeadBytes + kOutputHeadLineBytes;
}

void OutputKeeper::Add(const char* data, size_t count) {
  size_ += count;
  if (!HeadComplete()) {
    size_t to_head = std::min(count, kOutputHeadBytes - std::min(head_.size(), kOutputHeadBytes));
    head_.append(data, to_head);
    data += to_head;
    count -= to_head;
    if (!HeadComplete() && count > 0) {  // on to the end of the head's last line
      const size_t room = std::min(count, kOutputHeadBytes + kOutputHeadLineBytes - head_.size());
      const void* line_end = std::memchr(data, '\n', room);
      to_head = line_end != nullptr ? static_cast<const char*>(line_end) - data + 1 : room;
      head_.append(data, to_head);
      data += to_head;
      count -= to_head;
    }
  }
  if (count > 0 && !past_head_) {
    past_head_ = true;
    split_break_ = head_.back() == '\r' && data[0] == '\n';
  }
  if (count >= kRingBytes) {  // only its end stays
    ring_.assign(data + count - kRingBytes, kRingBytes);
    ring_start_ = 0;
    return;
  }
  while (count > 0 && ring_.size() < kRingBytes) {
    const size_t part = std::min(count, kRingBytes - ring_.size());
    ring_.append(data, part);
    data += part;
    count -= part;
  }
  while (count > 0) {  // the ring is full: overwrite its oldest bytes
    const size_t part = std::min(count, kRingBytes - ring_start_);
    ring_.replace(ring_start_, part, data, part);
    ring_start_ = (ring_start_ + part) % kRingBytes;
    data += part;
    count -= part;
  }
}

CapturedOutput OutputKeeper::Kept() const {
  CapturedOutput output;
  output.size = size_;
  const std::string recent = ring_.substr(ring_start_) + ring_.substr(0, ring_start_);
  if (size_ - head_.size() <= kOutputTailBytes) {
    output.head = head_ + recent;
  } else {
    output.head = head_;
    output.tail = recent.substr(1);
    output.tail_starts_line = recent[0] == '\n';
    output.head_ends_in_split_break = split_break_;
  }
  return output;
}

}  // namespace platform
