#include "Signing/SignatureBlock.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "Signing/KeyText.h"

namespace signing {
namespace {

// A file held in memory. Reads outside it fail and are counted, so a test can
// tell that the reader never looked past the end of a hostile file.
struct MemoryFile {
  std::string bytes;
  mutable int out_of_bounds = 0;
  mutable int failing_reads_after = -1;  // fail every read after this many

  ReadAtFunction Reader() const {
    return [this](uint64_t offset, void* buffer, size_t count) {
      if (failing_reads_after == 0) return false;
      if (failing_reads_after > 0) --failing_reads_after;
      if (offset > bytes.size() || count > bytes.size() - offset) {
        ++out_of_bounds;
        return false;
      }
      std::memcpy(buffer, bytes.data() + offset, count);
      return true;
    };
  }
};

class SignatureBlockTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(InitCrypto());
    for (uint32_t i = 0; i < kKeyCount; ++i) {
      ASSERT_TRUE(GenerateKeyPair(&keys_[i], &secrets_[i]));
    }
    ASSERT_TRUE(GenerateKeyPair(&stranger_public_, &stranger_secret_));
  }

  // Signs content with the secret of key index, as the signing tool does.
  static std::string Signed(const std::string& content, uint32_t index) {
    return content + EncodedBlock(content, index, secrets_[index]);
  }

  static std::string EncodedBlock(const std::string& content, uint32_t index,
                                  const SecretKey& secret) {
    MemoryFile file{content};
    SignatureBlock block;
    block.key_index = index;
    block.content_length = content.size();
    EXPECT_TRUE(DigestContent(content.size(), file.Reader(), &block.digest));
    EXPECT_TRUE(SignBlock(secret, &block));
    return ToString(EncodeBlock(block));
  }

  static std::string ToString(const BlockBytes& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  // Judges bytes; the reader must never be asked for bytes outside the file.
  static int Judge(const std::string& bytes) {
    MemoryFile file{bytes};
    Verdict verdict = kValidKey1;
    EXPECT_TRUE(JudgeFile(bytes.size(), file.Reader(), keys_, &verdict));
    EXPECT_EQ(file.out_of_bounds, 0);
    return verdict;
  }

  static PublicKeySet keys_;
  static SecretKey secrets_[kKeyCount];
  static PublicKey stranger_public_;
  static SecretKey stranger_secret_;
};

PublicKeySet SignatureBlockTest::keys_;
SecretKey SignatureBlockTest::secrets_[kKeyCount];
PublicKey SignatureBlockTest::stranger_public_;
SecretKey SignatureBlockTest::stranger_secret_;

// Content with a NUL in it, as program images have.
const char kContentBytes[] = "MZ\x90\x00 a program image, more or less\n";
const std::string kContent(kContentBytes, sizeof(kContentBytes) - 1);

TEST_F(SignatureBlockTest, BlockLayoutIsLittleEndianWithBothMagics) {
  const std::string block = EncodedBlock(kContent, 1, secrets_[1]);
  ASSERT_EQ(block.size(), kBlockSize);
  EXPECT_EQ(block.substr(0, 8), "TVSIG001");
  EXPECT_EQ(block.substr(8, 4), std::string("\x01\x00\x00\x00", 4));
  std::string length(8, '\0');
  length[0] = static_cast<char>(kContent.size());
  EXPECT_EQ(block.substr(12, 8), length);
  unsigned char digest[crypto_hash_sha512_BYTES];
  crypto_hash_sha512(
      digest, reinterpret_cast<const unsigned char*>(kContent.data()), kContent.size());
  EXPECT_EQ(block.substr(20, 64), std::string(reinterpret_cast<char*>(digest), sizeof(digest)));
  EXPECT_EQ(crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(block.data()) + 84,
                                        reinterpret_cast<const unsigned char*>(block.data()),
                                        84,
                                        keys_[1].data()),
            0);
  EXPECT_EQ(block.substr(148, 4), std::string("\xa0\x00\x00\x00", 4));
  EXPECT_EQ(block.substr(152, 8), "TVSIGEND");
}

TEST_F(SignatureBlockTest, ValidSignaturesNameTheirKey) {
  EXPECT_EQ(Judge(Signed(kContent, 0)), kValidKey0);
  EXPECT_EQ(Judge(Signed(kContent, 1)), kValidKey1);
  EXPECT_EQ(Judge(Signed("", 1)), kValidKey1);
}

TEST_F(SignatureBlockTest, UnsignedFilesAreNotSigned) {
  EXPECT_EQ(Judge(""), kNotSigned);
  EXPECT_EQ(Judge(kContent), kNotSigned);
  EXPECT_EQ(Judge(std::string(kBlockSize, '\0')), kNotSigned);
  EXPECT_EQ(Judge(std::string(100000, 'x')), kNotSigned);
}

TEST_F(SignatureBlockTest, ContentDigestStreamsAcrossChunks) {
  std::string large(200003, '\0');
  std::mt19937 random(7);
  for (char& c : large) c = static_cast<char>(random());
  std::string signed_file = Signed(large, 1);
  EXPECT_EQ(Judge(signed_file), kValidKey1);
  signed_file[large.size() - 1] ^= 0x01;
  EXPECT_EQ(Judge(signed_file), kContentChanged);
}

TEST_F(SignatureBlockTest, ChangedContentIsDetectedAnywhere) {
  const std::string original = Signed(kContent, 1);
  for (size_t i : {size_t{0}, kContent.size() / 2, kContent.size() - 1}) {
    std::string changed = original;
    changed[i] ^= 0x20;
    EXPECT_EQ(Judge(changed), kContentChanged) << "byte " << i;
  }
}

TEST_F(SignatureBlockTest, EveryByteOfTheBlockIsProtected) {
  const std::string original = Signed(kContent, 1);
  for (size_t i = 0; i < kBlockSize; ++i) {
    std::string changed = original;
    changed[kContent.size() + i] ^= 0x01;
    EXPECT_EQ(Judge(changed), kNotSigned) << "block byte " << i;
  }
}

TEST_F(SignatureBlockTest, MisplacedOrTruncatedBlocksAreNotSigned) {
  const std::string original = Signed(kContent, 1);
  for (size_t cut = 1; cut <= kBlockSize; ++cut) {
    EXPECT_EQ(Judge(original.substr(0, original.size() - cut)), kNotSigned) << "cut " << cut;
  }
  EXPECT_EQ(Judge(original + "x"), kNotSigned);
  EXPECT_EQ(Judge("x" + original), kNotSigned);
  // Only the block at the very end counts; a second one in front is content.
  EXPECT_EQ(Judge(Signed(original, 0)), kValidKey0);
}

TEST_F(SignatureBlockTest, WrongKeysAreNotSigned) {
  EXPECT_EQ(Judge(kContent + EncodedBlock(kContent, 0, secrets_[1])), kNotSigned);
  EXPECT_EQ(Judge(kContent + EncodedBlock(kContent, 1, stranger_secret_)), kNotSigned);
  EXPECT_EQ(Judge(kContent + EncodedBlock(kContent, 2, secrets_[1])), kNotSigned);
  EXPECT_EQ(Judge(kContent + EncodedBlock(kContent, 0xffffffff, secrets_[1])), kNotSigned);
}

// Blocks that are authentic but lie about the content length must not steer
// the reader past the file or into treating the block as content.
TEST_F(SignatureBlockTest, AuthenticBlocksWithInconsistentLengthsAreNotSigned) {
  for (uint64_t claimed : {uint64_t{kContent.size() + 1},
                           uint64_t{kContent.size() - 1},
                           uint64_t{kContent.size() + kBlockSize},
                           uint64_t{0},
                           UINT64_MAX,
                           UINT64_MAX - kBlockSize + 1}) {
    MemoryFile file{kContent};
    SignatureBlock block;
    block.key_index = 1;
    block.content_length = claimed;
    ASSERT_TRUE(DigestContent(kContent.size(), file.Reader(), &block.digest));
    ASSERT_TRUE(SignBlock(secrets_[1], &block));
    EXPECT_EQ(Judge(kContent + ToString(EncodeBlock(block))), kNotSigned) << "claimed " << claimed;
  }
}

TEST_F(SignatureBlockTest, MutatedFilesGetAVerdictWithoutStrayReads) {
  const std::string original = Signed(kContent, 1);
  std::mt19937 random(12345);
  for (int round = 0; round < 500; ++round) {
    std::string mutated = original;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int c = 0; c < changes; ++c) {
      switch (random() % 3) {
        case 0:
          mutated[random() % mutated.size()] = static_cast<char>(random());
          break;
        case 1:
          mutated.erase(random() % mutated.size(), 1 + random() % 8);
          break;
        default:
          mutated.insert(random() % mutated.size(), 1 + random() % 8, static_cast<char>(random()));
          break;
      }
      if (mutated.empty()) mutated = "x";
    }
    const int verdict = Judge(mutated);
    if (mutated != original) {
      EXPECT_TRUE(verdict == kNotSigned || verdict == kContentChanged) << "round " << round;
    }
  }
}

TEST_F(SignatureBlockTest, ReadFailuresAreReported) {
  MemoryFile file{Signed(kContent, 1)};
  Verdict verdict = kValidKey1;
  file.failing_reads_after = 0;
  EXPECT_FALSE(JudgeFile(file.bytes.size(), file.Reader(), keys_, &verdict));
  EXPECT_EQ(verdict, kNotSigned);
  // The tail reads, the content does not.
  file.failing_reads_after = 1;
  EXPECT_FALSE(JudgeFile(file.bytes.size(), file.Reader(), keys_, &verdict));
  EXPECT_EQ(verdict, kNotSigned);

  SignatureBlock block;
  file.failing_reads_after = 0;
  EXPECT_EQ(FindBlock(file.bytes.size(), file.Reader(), &block), BlockSearch::kReadFailed);
  file.failing_reads_after = -1;
  EXPECT_EQ(FindBlock(file.bytes.size(), file.Reader(), &block), BlockSearch::kFound);
  EXPECT_EQ(block.key_index, 1u);
  EXPECT_EQ(block.content_length, kContent.size());
  EXPECT_EQ(FindBlock(kContent.size(), MemoryFile{kContent}.Reader(), &block),
            BlockSearch::kAbsent);
}

// The keys compiled in are the ones in the key folder the build was given.
TEST(BuiltInPublicKeys, MatchTheConfiguredKeyFolder) {
  for (uint32_t i = 0; i < kKeyCount; ++i) {
    std::ifstream in(std::string(TAVERLY_KEY_DIR) + "/key" + std::to_string(i) + ".pub");
    std::stringstream text;
    text << in.rdbuf();
    PublicKey key{};
    ASSERT_TRUE(ParsePublicKeyText(text.str(), &key)) << "key" << i << ".pub";
    EXPECT_EQ(BuiltInPublicKeys()[i], key) << "key " << i;
  }
  EXPECT_NE(BuiltInPublicKeys()[0], BuiltInPublicKeys()[1]);
}

}  // namespace
}  // namespace signing
