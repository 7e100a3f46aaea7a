#include "Signing/SignatureBlock.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "Signing/SignedContent.h"
#include "Signing/public_keys.h"

namespace signing {
namespace {

constexpr char kMagic[8] = {'T', 'V', 'S', 'I', 'G', '0', '0', '1'};
constexpr char kEndMagic[8] = {'T', 'V', 'S', 'I', 'G', 'E', 'N', 'D'};

constexpr size_t kMagicOffset = 0;
constexpr size_t kKeyIndexOffset = 8;
constexpr size_t kContentLengthOffset = 12;
constexpr size_t kDigestOffset = 20;
constexpr size_t kSignatureOffset = 84;
constexpr size_t kBlockLengthOffset = 148;
constexpr size_t kEndMagicOffset = 152;
// The signature covers everything in front of it.
constexpr size_t kSignedPrefixSize = kSignatureOffset;

static_assert(kSignatureOffset + kSignatureSize == kBlockLengthOffset, "block layout");
static_assert(kEndMagicOffset + sizeof(kEndMagic) == kBlockSize, "block layout");
static_assert(kPublicKeySize == crypto_sign_PUBLICKEYBYTES, "key size");
static_assert(kSecretKeySize == crypto_sign_SECRETKEYBYTES, "key size");
static_assert(kSignatureSize == crypto_sign_BYTES, "signature size");
static_assert(kDigestSize == crypto_hash_sha512_BYTES, "digest size");

// Large enough to keep system calls few, small enough for any stack of callers.
constexpr size_t kDigestChunk = 64 * 1024;

void PutUint(uint64_t value, size_t width, uint8_t* out) {
  for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

PublicKeySet MakeBuiltInKeys() {
  PublicKeySet keys{};
  std::copy(std::begin(generated::kPublicKey0), std::end(generated::kPublicKey0), keys[0].begin());
  std::copy(std::begin(generated::kPublicKey1), std::end(generated::kPublicKey1), keys[1].begin());
  return keys;
}

}  // namespace

uint64_t GetUint(const uint8_t* in, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

const PublicKeySet& BuiltInPublicKeys() {
  static const PublicKeySet keys = MakeBuiltInKeys();
  return keys;
}

bool InitCrypto() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

BlockBytes EncodeBlock(const SignatureBlock& block) {
  BlockBytes bytes{};
  std::memcpy(bytes.data() + kMagicOffset, kMagic, sizeof(kMagic));
  PutUint(block.key_index, 4, bytes.data() + kKeyIndexOffset);
  PutUint(block.content_length, 8, bytes.data() + kContentLengthOffset);
  std::copy(block.digest.begin(), block.digest.end(), bytes.begin() + kDigestOffset);
  std::copy(block.signature.begin(), block.signature.end(), bytes.begin() + kSignatureOffset);
  PutUint(kBlockSize, 4, bytes.data() + kBlockLengthOffset);
  std::memcpy(bytes.data() + kEndMagicOffset, kEndMagic, sizeof(kEndMagic));
  return bytes;
}

bool DecodeBlock(const BlockBytes& bytes, uint64_t file_size, SignatureBlock* block) {
  if (file_size < kBlockSize) return false;
  if (std::memcmp(bytes.data() + kMagicOffset, kMagic, sizeof(kMagic)) != 0) return false;
  if (std::memcmp(bytes.data() + kEndMagicOffset, kEndMagic, sizeof(kEndMagic)) != 0) {
    return false;
  }
  if (GetUint(bytes.data() + kBlockLengthOffset, 4) != kBlockSize) return false;
  const uint64_t content_length = GetUint(bytes.data() + kContentLengthOffset, 8);
  if (content_length != file_size - kBlockSize) return false;
  block->key_index = static_cast<uint32_t>(GetUint(bytes.data() + kKeyIndexOffset, 4));
  block->content_length = content_length;
  std::copy_n(bytes.begin() + kDigestOffset, kDigestSize, block->digest.begin());
  std::copy_n(bytes.begin() + kSignatureOffset, kSignatureSize, block->signature.begin());
  return true;
}

BlockSearch FindBlock(uint64_t end, const ReadAtFunction& read, SignatureBlock* block) {
  if (end < kBlockSize) return BlockSearch::kAbsent;
  BlockBytes bytes{};
  if (!read(end - kBlockSize, bytes.data(), bytes.size())) return BlockSearch::kReadFailed;
  return DecodeBlock(bytes, end, block) ? BlockSearch::kFound : BlockSearch::kAbsent;
}

bool DigestContent(uint64_t length, const ReadAtFunction& read, Digest* digest) {
  if (!InitCrypto()) return false;
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  std::vector<uint8_t> chunk(kDigestChunk);
  uint64_t offset = 0;
  while (offset < length) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(chunk.size(), length - offset));
    if (!read(offset, chunk.data(), count)) return false;
    crypto_hash_sha512_update(&state, chunk.data(), count);
    offset += count;
  }
  crypto_hash_sha512_final(&state, digest->data());
  return true;
}

bool SignBlock(const SecretKey& secret_key, SignatureBlock* block) {
  if (!InitCrypto()) return false;
  const BlockBytes bytes = EncodeBlock(*block);
  return crypto_sign_detached(block->signature.data(),
                              nullptr,
                              bytes.data(),
                              kSignedPrefixSize,
                              secret_key.data()) == 0;
}

bool BlockIsAuthentic(const SignatureBlock& block, const PublicKey& public_key) {
  if (!InitCrypto()) return false;
  const BlockBytes bytes = EncodeBlock(block);
  return crypto_sign_verify_detached(
             block.signature.data(), bytes.data(), kSignedPrefixSize, public_key.data()) == 0;
}

bool JudgeFile(uint64_t file_size, const ReadAtFunction& read, const PublicKeySet& keys,
               Verdict* verdict) {
  Examination examination;
  const bool judged = ExamineFile(file_size, read, keys, &examination);
  *verdict = judged ? examination.verdict : kNotSigned;
  return judged;
}

}  // namespace signing
