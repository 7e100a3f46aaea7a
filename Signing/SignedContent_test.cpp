#include "Signing/SignedContent.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Signing/KeyText.h"
#include "tests/support/pe_builder.h"

namespace signing {
namespace {

using pe_builder::AddCertificateTable;
using pe_builder::CertificateEntryOffset;
using pe_builder::ChecksumOffset;
using pe_builder::PutUint32;

// A file in memory; reads outside it fail and are counted.
struct MemoryFile {
  std::string bytes;
  mutable int out_of_bounds = 0;

  ReadAtFunction Reader() const {
    return [this](uint64_t offset, void* buffer, size_t count) {
      if (offset > bytes.size() || count > bytes.size() - offset) {
        ++out_of_bounds;
        return false;
      }
      std::memcpy(buffer, bytes.data() + offset, count);
      return true;
    };
  }
};

std::string ToString(const BlockBytes& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The padding Authenticode puts after a file of size bytes.
uint64_t PaddingAfter(uint64_t size) { return (8 - size % 8) % 8; }

class SignedContentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(InitCrypto());
    for (uint32_t i = 0; i < kKeyCount; ++i) {
      ASSERT_TRUE(GenerateKeyPair(&keys_[i], &secrets_[i]));
    }
  }

  // Signs a file as taverly-sign does.
  static std::string Sign(const std::string& file, uint32_t index = 1) {
    MemoryFile memory{file};
    SignatureBlock block;
    block.key_index = index;
    EXPECT_EQ(PrepareBlock(file.size(), memory.Reader(), &block), Preparation::kReady);
    EXPECT_TRUE(SignBlock(secrets_[index], &block));
    return file.substr(0, block.content_length) + ToString(EncodeBlock(block));
  }

  // Appends a block over every byte of content as it stands.
  static std::string SignWhole(const std::string& content) {
    MemoryFile memory{content};
    SignatureBlock block;
    block.key_index = 1;
    block.content_length = content.size();
    EXPECT_TRUE(DigestContent(content.size(), memory.Reader(), &block.digest));
    EXPECT_TRUE(SignBlock(secrets_[1], &block));
    return content + ToString(EncodeBlock(block));
  }

  // Examines bytes; the reader must never be asked for bytes outside them.
  static Examination Examine(const std::string& bytes) {
    MemoryFile file{bytes};
    Examination examination;
    EXPECT_TRUE(ExamineFile(bytes.size(), file.Reader(), keys_, &examination));
    EXPECT_EQ(file.out_of_bounds, 0);
    return examination;
  }

  static int Verdict(const std::string& bytes) { return Examine(bytes).verdict; }

  static PublicKeySet keys_;
  static SecretKey secrets_[kKeyCount];
};

PublicKeySet SignedContentTest::keys_;
SecretKey SignedContentTest::secrets_[kKeyCount];

TEST_F(SignedContentTest, ImageIsDigestedWithCheckSumAndEntryAsZero) {
  for (const bool plus : {true, false}) {
    const std::string image = pe_builder::Build({plus});
    std::string zeroed = image;
    zeroed.replace(216, 4, 4, '\0');
    zeroed.replace(plus ? 296 : 280, 8, 8, '\0');
    ASSERT_NE(zeroed, image);
    unsigned char digest[kDigestSize];
    crypto_hash_sha512(
        digest, reinterpret_cast<const unsigned char*>(zeroed.data()), zeroed.size());
    const std::string signed_image = Sign(image);
    EXPECT_EQ(signed_image.substr(0, image.size()), image);
    EXPECT_EQ(signed_image.substr(image.size() + 20, kDigestSize),
              std::string(reinterpret_cast<char*>(digest), kDigestSize));
    const Examination examination = Examine(signed_image);
    EXPECT_EQ(examination.verdict, kValidKey1);
    EXPECT_EQ(examination.rule, DigestRule::kPeFieldsAsZero);
  }
}

TEST_F(SignedContentTest, BlockIsFoundBeforeACertificateTableWithAndWithoutPadding) {
  for (const bool plus : {true, false}) {
    for (const uint32_t overlay : {0u, 3u, 7u}) {
      const std::string image = pe_builder::Build({plus, 2, overlay});
      const std::string file = AddCertificateTable(Sign(image, 0), 1520, 'c');
      const uint64_t padding = PaddingAfter(image.size() + kBlockSize);
      const Examination e = Examine(file);
      EXPECT_EQ(e.verdict, kValidKey0) << "overlay " << overlay;
      EXPECT_EQ(e.block.offset, image.size());
      EXPECT_EQ(e.padding.found, padding > 0);
      EXPECT_EQ(e.padding.size, padding);
      EXPECT_EQ(e.certificate_table.offset, image.size() + kBlockSize + padding);
      EXPECT_EQ(e.certificate_table.size, 1520u);
    }
  }
}

TEST_F(SignedContentTest, OnlyCheckSumAndEntryMayChangeInTheHeaders) {
  const std::string image = pe_builder::Build({true, 2, 3});
  const std::string signed_image = Sign(image);
  const std::string with_table = AddCertificateTable(signed_image, 64, 'c');
  const uint64_t checksum = ChecksumOffset(image);
  const uint64_t entry = CertificateEntryOffset(image);
  // Fields whose change moves the headers, the entry or a section: the block
  // can then no longer be found behind a certificate table.
  const uint64_t pe = pe_builder::PeOffset(image);
  const uint64_t table = pe_builder::SectionTableOffset(image);
  std::set<uint64_t> steering;
  for (uint64_t field :
       {uint64_t{0}, uint64_t{0x3c}, pe, pe + 24 + 36, pe + 24 + 60, pe + 24 + 108}) {
    for (uint64_t i = 0; i < 4; ++i) steering.insert(field + i);
  }
  for (uint64_t i : {pe + 6, pe + 7, pe + 20, pe + 21, pe + 24, pe + 25}) steering.insert(i);
  for (uint64_t i = table; i < table + 80; ++i) steering.insert(i);

  for (uint64_t i = 0; i < 0x200; ++i) {
    std::string changed = signed_image;
    std::string changed_with_table = with_table;
    changed[i] ^= 0x10;
    changed_with_table[i] ^= 0x10;
    if (i >= checksum && i < checksum + 4) {
      EXPECT_EQ(Verdict(changed), kValidKey1) << "byte " << i;
      EXPECT_EQ(Verdict(changed_with_table), kValidKey1) << "byte " << i;
    } else if (i < entry || i >= entry + 8) {
      EXPECT_EQ(Verdict(changed), kContentChanged) << "byte " << i;
      const int verdict = Verdict(changed_with_table);
      if (steering.count(i) != 0) {
        EXPECT_TRUE(verdict == kContentChanged || verdict == kNotSigned) << "byte " << i;
      } else {
        EXPECT_EQ(verdict, kContentChanged) << "byte " << i;
      }
    }
  }
}

TEST_F(SignedContentTest, CertificateTableAddedGrownReplacedAndRemovedKeepsTheVerdict) {
  const std::string image = pe_builder::Build({true, 2, 5});
  const std::string signed_image = Sign(image);
  const std::string added = AddCertificateTable(signed_image, 1520, 'a');
  const std::string grown = pe_builder::ReplaceCertificateTable(added, 3064, 'n');
  const std::string replaced = pe_builder::ReplaceCertificateTable(grown, 1480, 'r');
  const std::string removed = pe_builder::RemoveCertificateTable(replaced);
  const std::string cut = pe_builder::RemoveCertificateTable(replaced, false);
  ASSERT_EQ(removed.size(), signed_image.size() + PaddingAfter(signed_image.size()));
  ASSERT_NE(removed.size(), signed_image.size());
  for (const std::string& file : {signed_image, added, grown, replaced, removed, cut}) {
    EXPECT_EQ(Verdict(file), kValidKey1) << file.size() << " bytes";
    std::string changed = file;
    changed[0x300] ^= 0x01;
    EXPECT_EQ(Verdict(changed), kContentChanged) << file.size() << " bytes";
  }
  // Signing again after the removal replaces the block, padding and all.
  const std::string signed_again = Sign(removed);
  EXPECT_EQ(signed_again.size(), signed_image.size());
  EXPECT_EQ(signed_again.substr(0, image.size()), removed.substr(0, image.size()));
  EXPECT_EQ(Verdict(signed_again), kValidKey1);
}

TEST_F(SignedContentTest, ForgedCertificateEntriesAreNotSigned) {
  const std::string image = pe_builder::Build({true, 2, 3});
  const std::string signed_image = Sign(image);
  const std::string file = AddCertificateTable(signed_image, 64, 'c');
  const uint32_t size = static_cast<uint32_t>(file.size());
  const uint32_t start = size - 64;
  struct Forgery {
    uint32_t offset;
    uint32_t size;
    Finding finding;
  };
  const uint32_t in_block = static_cast<uint32_t>(image.size() + 85) & ~7u;
  const std::vector<Forgery> forgeries = {
      {in_block, size - in_block, Finding::kNoBlockBeforeCertificateTable},
      {0x400, size - 0x400, Finding::kNoBlockBeforeCertificateTable},
      {0, size, Finding::kNoBlockBeforeCertificateTable},
      {start + 8, 64, Finding::kCertificateTablePastEnd},
      {0xfffffff8, 0xffffffff, Finding::kCertificateTablePastEnd},
      {start, 56, Finding::kCertificateTableBeforeEnd},
      {start + 1, 63, Finding::kCertificateTableMisaligned},
      {size, 0, Finding::kCertificateTableTooShort},
  };
  for (const Forgery& forgery : forgeries) {
    std::string forged = file;
    pe_builder::SetCertificateEntry(&forged, forgery.offset, forgery.size);
    const Examination e = Examine(forged);
    EXPECT_EQ(e.verdict, kNotSigned) << forgery.offset << " " << forgery.size;
    EXPECT_EQ(e.finding, forgery.finding) << forgery.offset << " " << forgery.size;
  }
  // Padding that is not zero is no padding, and eight zero bytes are more than padding.
  std::string dirty = file;
  dirty[start - 1] = 'x';
  EXPECT_EQ(Examine(dirty).finding, Finding::kNoBlockBeforeCertificateTable);
  std::string too_long = file;
  too_long.replace(start, 8, 8, '\0');
  pe_builder::SetCertificateEntry(&too_long, start + 8, 56);
  EXPECT_EQ(Examine(too_long).finding, Finding::kNoBlockBeforeCertificateTable);

  // A section that maps bytes behind the block would map the table.
  std::string long_section = image;
  PutUint32(&long_section, pe_builder::SectionTableOffset(image) + 40 + 16, 0x400);
  const std::string signed_long = Sign(long_section);
  EXPECT_EQ(Verdict(signed_long), kValidKey1);
  const Examination e = Examine(AddCertificateTable(signed_long, 0x400, 'c'));
  EXPECT_EQ(e.finding, Finding::kContentNotWholeImage);
  EXPECT_EQ(e.verdict, kNotSigned);
}

TEST_F(SignedContentTest, SigningOrderIsOwnSignatureFirst) {
  const std::string image = pe_builder::Build({true, 2, 1});
  const std::string authenticode = AddCertificateTable(image, 64, 'c');
  for (const std::string& file : {authenticode, AddCertificateTable(Sign(image), 64, 'c')}) {
    MemoryFile memory{file};
    SignatureBlock block;
    EXPECT_EQ(PrepareBlock(file.size(), memory.Reader(), &block),
              Preparation::kCarriesCertificateTable);
  }
  // A block made over an Authenticode-signed file follows its table.
  const Examination e = Examine(SignWhole(authenticode));
  EXPECT_EQ(e.verdict, kNotSigned);
  EXPECT_EQ(e.finding, Finding::kBlockAfterCertificateTable);
  EXPECT_EQ(e.block.offset, authenticode.size());
}

TEST_F(SignedContentTest, ImageBlocksOverTheBytesAsTheyStandHoldWithoutATable) {
  const std::string image = pe_builder::Build({});
  const std::string old_style = SignWhole(image);
  const Examination e = Examine(old_style);
  EXPECT_EQ(e.verdict, kValidKey1);
  EXPECT_EQ(e.rule, DigestRule::kWholeContent);
  std::string checksum_changed = old_style;
  checksum_changed[ChecksumOffset(image)] ^= 0x01;
  EXPECT_EQ(Verdict(checksum_changed), kContentChanged);
  EXPECT_EQ(Verdict(AddCertificateTable(old_style, 64, 'c')), kContentChanged);
}

TEST_F(SignedContentTest, OtherFilesKeepTheBlockAtTheirVeryEnd) {
  const std::string elf = std::string(
                              "\x7f"
                              "ELF",
                              4) +
                          std::string(1003, 'e');
  EXPECT_EQ(Verdict(Sign(elf)), kValidKey1);
  EXPECT_EQ(Verdict(Sign(elf) + std::string(PaddingAfter(elf.size() + kBlockSize), '\0')),
            kNotSigned);
  // Headers that run past the content make it no image, even when they
  // would fit in the file: every byte counts, the entry's bytes included.
  const std::string short_image = pe_builder::Build({}).substr(0, 300);
  const std::string signed_short = Sign(short_image);
  const Examination e = Examine(signed_short);
  EXPECT_EQ(e.shape, PeShape::kImage);
  EXPECT_EQ(e.verdict, kValidKey1);
  EXPECT_EQ(e.rule, DigestRule::kWholeContent);
  std::string changed = signed_short;
  changed[ChecksumOffset(short_image)] ^= 0x01;
  EXPECT_EQ(Verdict(changed), kContentChanged);
  EXPECT_EQ(Sign(signed_short), signed_short);
}

TEST_F(SignedContentTest, DamagedImagesGetAVerdictWithoutStrayReads) {
  const std::string image = pe_builder::Build({true, 3, 3});
  const std::string file = AddCertificateTable(Sign(image), 48, 'c');
  for (size_t length = 0; length < file.size(); ++length) {
    EXPECT_EQ(Verdict(file.substr(0, length)), kNotSigned) << "length " << length;
  }
  const uint64_t checksum = ChecksumOffset(image);
  const uint64_t entry = CertificateEntryOffset(image);
  std::mt19937 random(4242);
  for (int round = 0; round < 400; ++round) {
    std::string mutated = file;
    uint64_t at = random() % image.size();
    if ((at >= checksum && at < checksum + 4) || (at >= entry && at < entry + 8)) continue;
    switch (random() % 3) {
      case 0:
        mutated[at] = static_cast<char>(mutated[at] ^ (1 + random() % 255));
        break;
      case 1:
        mutated.erase(at, 1 + random() % 8);
        break;
      default:
        mutated.insert(at, 1 + random() % 8, static_cast<char>(random()));
        break;
    }
    const int verdict = Verdict(mutated);
    EXPECT_TRUE(verdict == kNotSigned || verdict == kContentChanged) << "round " << round;
  }
}

}  // namespace
}  // namespace signing
