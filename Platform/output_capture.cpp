// The part of output capture that both sides share: which bytes are kept.
#include "Platform/process.h"

namespace platform {

bool ReadCapturedOutput(uint64_t size, const std::function<bool(uint64_t, void*, size_t)>& read,
                        CapturedOutput* output) {
  *output = CapturedOutput();
  output->size = size;
  const uint64_t kept = kOutputHeadBytes + kOutputTailBytes;
  const size_t head = static_cast<size_t>(size <= kept ? size : kOutputHeadBytes);
  output->head.resize(head);
  if (head > 0 && !read(0, &output->head[0], head)) return false;
  if (size > kept) {
    output->tail.resize(kOutputTailBytes);
    if (!read(size - kOutputTailBytes, &output->tail[0], kOutputTailBytes)) return false;
  }
  return true;
}

}  // namespace platform
