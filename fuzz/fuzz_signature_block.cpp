// Judges arbitrary file bytes with the signature-block reader. Beside
// "no crash":
// - nothing is read outside the file;
// - a block that decodes encodes back to the very same bytes;
// - the verdict matches the content: 2 or 3 only when the content's digest is
//   the block's and the key index says which, 1 only when the digest differs.
#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "Signing/SignatureBlock.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto read = [data, size](uint64_t offset, void* buffer, size_t count) {
    FUZZ_CHECK(offset <= size && count <= size - offset, "read outside the file");
    std::memcpy(buffer, data + offset, count);
    return true;
  };

  signing::SignatureBlock block;
  if (size >= signing::kBlockSize) {
    signing::BlockBytes tail;
    std::copy_n(data + size - signing::kBlockSize, signing::kBlockSize, tail.begin());
    if (signing::DecodeBlock(tail, size, &block)) {
      FUZZ_CHECK(signing::EncodeBlock(block) == tail, "a decoded block encodes differently");
    }
  }

  signing::Verdict verdict = signing::kNotSigned;
  FUZZ_CHECK(signing::JudgeFile(size, read, signing::BuiltInPublicKeys(), &verdict),
             "an in-memory file could not be judged");
  if (verdict == signing::kNotSigned) return 0;

  FUZZ_CHECK(signing::FindBlock(size, read, &block) == signing::BlockSearch::kFound,
             "a verdict without a block");
  signing::Digest digest{};
  crypto_hash_sha512(digest.data(), data, block.content_length);
  const bool same = digest == block.digest;
  switch (verdict) {
    case signing::kContentChanged:
      FUZZ_CHECK(!same, "verdict 1 for unchanged content");
      break;
    case signing::kValidKey0:
    case signing::kValidKey1:
      FUZZ_CHECK(same, "a valid verdict for changed content");
      FUZZ_CHECK(block.key_index == (verdict == signing::kValidKey0 ? 0u : 1u), "key index");
      break;
    default:
      FUZZ_CHECK(false, "verdict " + std::to_string(verdict));
  }
  return 0;
}
