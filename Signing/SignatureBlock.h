// Reads and writes the signature block that a signed file carries at its end:
//
//   offset size
//        0    8  magic "TVSIG001"
//        8    4  key index (0 or 1)
//       12    8  signed content length: the file's bytes before the block
//       20   64  SHA-512 of that content
//       84   64  Ed25519 signature over bytes 0..83 of the block
//      148    4  block length (always kBlockSize)
//      152    8  end magic "TVSIGEND"
//
// All integers are little-endian. Loaders of executables and libraries ignore
// trailing bytes, so the block does not disturb the signed file.
//
// PE images are signed so that the signature survives Authenticode signing,
// which comes second (SignedContent.h finds the parts, PeImage.h reads the
// headers; docs/signatures.md has the whole scheme):
// - The content of a PE image is digested with the optional header's CheckSum
//   and the Certificate Table entry read as zero, at signing and at
//   verifying: those are the header bytes Authenticode rewrites.
// - Authenticode appends zero padding to an 8-byte boundary and its
//   certificate table after the block. When the entry is set, it must point
//   at an 8-byte boundary after the block, run exactly to the end of the
//   file, and leave only zero padding between; the block is taken from right
//   before the padding. Anything else is verdict 0.
// - A file that already carries a certificate table is not signed.
//
// Threat: the CheckSum, the entry and the certificate table with its padding
// are bytes an attacker may change without changing the verdict. That gains
// nothing. The loader never maps the certificate table: it maps the header
// area and the sections' raw data (rounded up to FileAlignment), and when a
// table is present the verifier requires all of them to lie inside the signed
// content, so a section stretched over the table gives verdict 0. The loader
// does not check the CheckSum of user-mode programs and libraries, and the
// entry only tells where the table is. The strict check of the entry closes
// every overlap: a table that starts inside the block or the content, runs
// past the end of the file, is misaligned, or leaves anything but fewer than
// 8 zero bytes after the block gives verdict 0, so no byte is ever both
// outside the digest and part of the content or the block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace signing {

constexpr size_t kBlockSize = 160;
constexpr uint32_t kKeyCount = 2;
constexpr size_t kDigestSize = 64;
constexpr size_t kSignatureSize = 64;
constexpr size_t kPublicKeySize = 32;
constexpr size_t kSecretKeySize = 64;

using Digest = std::array<uint8_t, kDigestSize>;
using PublicKey = std::array<uint8_t, kPublicKeySize>;
// A secret key in the crypto library's form: the 32-byte seed followed by the
// public key.
using SecretKey = std::array<uint8_t, kSecretKeySize>;
using BlockBytes = std::array<uint8_t, kBlockSize>;
using PublicKeySet = std::array<PublicKey, kKeyCount>;

// The verdicts a file's signature can earn.
enum Verdict : int {
  kNotSigned = 0,       // no well-formed, authentic block
  kContentChanged = 1,  // authentic block, but the content differs from it
  kValidKey0 = 2,
  kValidKey1 = 3,
};

struct SignatureBlock {
  uint32_t key_index = 0;
  uint64_t content_length = 0;
  Digest digest{};
  std::array<uint8_t, kSignatureSize> signature{};
};

// Reads width bytes (8 at most) as the little-endian number they spell, as
// the block and the image formats store numbers.
uint64_t GetUint(const uint8_t* in, size_t width);

// Reads exactly count bytes at offset; false on any shortfall.
using ReadAtFunction = std::function<bool(uint64_t offset, void* buffer, size_t count)>;

// Returns the public keys built into the program, by key index.
const PublicKeySet& BuiltInPublicKeys();

// Prepares the crypto library; false when it cannot be used.
bool InitCrypto();

// Serialises a block, signature included as it stands.
BlockBytes EncodeBlock(const SignatureBlock& block);

// Decodes the trailing kBlockSize bytes of a file of file_size bytes. Accepts
// only a block whose magics and length fields are exactly as written and
// whose content length is file_size - kBlockSize; says nothing about whether
// the signature is authentic.
bool DecodeBlock(const BlockBytes& bytes, uint64_t file_size, SignatureBlock* block);

enum class BlockSearch {
  kFound,       // the file ends in a well-formed block
  kAbsent,      // the file is too short for a block or its tail is none
  kReadFailed,  // the tail could not be read
};
// Reads and decodes the block that ends at offset end (the file's size for a
// block at the end of the file).
BlockSearch FindBlock(uint64_t end, const ReadAtFunction& read, SignatureBlock* block);

// Streams length bytes from offset 0 through SHA-512.
bool DigestContent(uint64_t length, const ReadAtFunction& read, Digest* digest);

// Fills block->signature for the block's other fields.
bool SignBlock(const SecretKey& secret_key, SignatureBlock* block);

// Answers whether block->signature was made by the secret half of public_key.
bool BlockIsAuthentic(const SignatureBlock& block, const PublicKey& public_key);

// Judges a file of file_size bytes against the given public keys, as
// ExamineFile (SignedContent.h) does. False only when the file could not be
// read; a file that merely is not signed gives true with verdict kNotSigned.
bool JudgeFile(uint64_t file_size, const ReadAtFunction& read, const PublicKeySet& keys,
               Verdict* verdict);

}  // namespace signing
