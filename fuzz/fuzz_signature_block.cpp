// Judges arbitrary file bytes with the signature-block reader. Beside
// "no crash":
// - nothing is read outside the file;
// - a block that decodes encodes back to the very same bytes;
// - the parts found lie in the file in order: content from offset 0, the
//   block right after it, zero padding, and a certificate table that runs to
//   the end of the file;
// - the verdict matches the content: 2 or 3 only when the content's digest,
//   taken here with the two PE fields as zero when the rule says so, is the
//   block's and the key index says which, 1 only when the digest differs;
// - JudgeFile gives the same verdict.
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "Signing/SignatureBlock.h"
#include "Signing/SignedContent.h"
#include "fuzz/fuzz_support.h"

namespace {

void CheckParts(const signing::Examination& e, const uint8_t* data, size_t size) {
  const uint64_t content = e.content.size;
  FUZZ_CHECK(e.content.offset == 0 && content <= size, "content outside the file");
  FUZZ_CHECK(e.block.found && e.block.offset == content && e.block.size == signing::kBlockSize &&
                 size - content >= signing::kBlockSize,
             "a content without its block right after it");
  uint64_t end = content + signing::kBlockSize;
  if (e.padding.found) {
    FUZZ_CHECK(e.padding.offset == end && e.padding.size < 8 && e.padding.size <= size - end,
               "padding not right after the block");
    FUZZ_CHECK(
        std::all_of(data + end, data + end + e.padding.size, [](uint8_t b) { return b == 0; }),
        "padding that is not zero");
    end += e.padding.size;
  }
  if (e.certificate_table.found) {
    FUZZ_CHECK(e.certificate_table.offset == end && end % 8 == 0, "table not after the padding");
    end += e.certificate_table.size;
  }
  FUZZ_CHECK(end == size, "the parts do not end the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto read = [data, size](uint64_t offset, void* buffer, size_t count) {
    FUZZ_CHECK(offset <= size && count <= size - offset, "read outside the file");
    std::memcpy(buffer, data + offset, count);
    return true;
  };

  if (size >= signing::kBlockSize) {
    signing::BlockBytes tail;
    std::copy_n(data + size - signing::kBlockSize, signing::kBlockSize, tail.begin());
    signing::SignatureBlock block;
    if (signing::DecodeBlock(tail, size, &block)) {
      FUZZ_CHECK(signing::EncodeBlock(block) == tail, "a decoded block encodes differently");
    }
  }

  signing::Examination e;
  FUZZ_CHECK(signing::ExamineFile(size, read, signing::BuiltInPublicKeys(), &e),
             "an in-memory file could not be examined");
  signing::Verdict verdict = signing::kNotSigned;
  FUZZ_CHECK(signing::JudgeFile(size, read, signing::BuiltInPublicKeys(), &verdict) &&
                 verdict == e.verdict,
             "JudgeFile and ExamineFile disagree");
  if (e.verdict == signing::kNotSigned) return 0;

  CheckParts(e, data, size);
  std::vector<uint8_t> content(data, data + e.content.size);
  if (e.rule == signing::DigestRule::kPeFieldsAsZero) {
    const signing::PeHeaders& h = e.headers;
    FUZZ_CHECK(
        h.checksum_offset + 4 <= content.size() && h.certificate_entry_offset + 8 <= content.size(),
        "PE fields outside the content");
    std::fill_n(content.begin() + h.checksum_offset, 4, uint8_t{0});
    std::fill_n(content.begin() + h.certificate_entry_offset, 8, uint8_t{0});
  }
  signing::Digest digest{};
  crypto_hash_sha512(digest.data(), content.data(), content.size());
  const bool same = digest == e.decoded.digest;
  switch (e.verdict) {
    case signing::kContentChanged:
      FUZZ_CHECK(!same, "verdict 1 for unchanged content");
      break;
    case signing::kValidKey0:
    case signing::kValidKey1:
      FUZZ_CHECK(same, "a valid verdict for changed content");
      FUZZ_CHECK(e.decoded.key_index == (e.verdict == signing::kValidKey0 ? 0u : 1u), "key index");
      break;
    default:
      FUZZ_CHECK(false, "verdict " + std::to_string(e.verdict));
  }
  return 0;
}
