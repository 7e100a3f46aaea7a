// The part of output capture that both sides share: which bytes are kept.
#include "Platform/process.h"

#include <algorithm>

namespace platform {

void OutputKeeper::Add(const char* data, size_t count) {
  size_ += count;
  const size_t to_head = std::min(count, kOutputHeadBytes - head_.size());
  head_.append(data, to_head);
  data += to_head;
  count -= to_head;
  if (count >= kOutputTailBytes) {  // only its end stays
    ring_.assign(data + count - kOutputTailBytes, kOutputTailBytes);
    ring_start_ = 0;
    return;
  }
  while (count > 0 && ring_.size() < kOutputTailBytes) {
    const size_t part = std::min(count, kOutputTailBytes - ring_.size());
    ring_.append(data, part);
    data += part;
    count -= part;
  }
  while (count > 0) {  // the ring is full: overwrite its oldest bytes
    const size_t part = std::min(count, kOutputTailBytes - ring_start_);
    ring_.replace(ring_start_, part, data, part);
    ring_start_ = (ring_start_ + part) % kOutputTailBytes;
    data += part;
    count -= part;
  }
}

CapturedOutput OutputKeeper::Kept() const {
  CapturedOutput output;
  output.size = size_;
  const std::string recent = ring_.substr(ring_start_) + ring_.substr(0, ring_start_);
  if (size_ <= kOutputHeadBytes + kOutputTailBytes) {
    output.head = head_ + recent;
  } else {
    output.head = head_;
    output.tail = recent;
  }
  return output;
}

}  // namespace platform
