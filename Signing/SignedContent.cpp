#include "Signing/SignedContent.h"

#include <sodium.h>

#include <algorithm>
#include <vector>

namespace signing {
namespace {

// Counts the zero bytes that end the first end bytes of the file, up to limit.
bool CountZerosBefore(uint64_t end, uint64_t limit, const ReadAtFunction& read, uint64_t* count) {
  uint8_t tail[kCertificateAlignment] = {};
  const uint64_t length = std::min<uint64_t>({end, limit, sizeof(tail)});
  *count = 0;
  if (length == 0) return true;
  if (!read(end - length, tail, static_cast<size_t>(length))) return false;
  while (*count < length && tail[length - 1 - *count] == 0) ++*count;
  return true;
}

// Decodes the block that ends where the padding starts, recording both.
bool TakeBlockBefore(uint64_t padding_start, uint64_t padding_size, const ReadAtFunction& read,
                     Examination* examination) {
  if (padding_size > 0) examination->padding = {true, padding_start, padding_size};
  SignatureBlock block;
  switch (FindBlock(padding_start, read, &block)) {
    case BlockSearch::kReadFailed:
      return false;
    case BlockSearch::kAbsent:
      return true;
    case BlockSearch::kFound:
      break;
  }
  examination->block = {true, block.content_length, kBlockSize};
  examination->decoded = block;
  examination->content = {true, 0, block.content_length};
  return true;
}

// A file without a certificate table: the block ends the file, or, for a PE
// image, the zero padding to an 8-byte boundary that an Authenticode
// signature left when it was removed.
bool LocateAtEnd(const ReadAtFunction& read, Examination* examination) {
  const uint64_t size = examination->file_size;
  uint64_t zeros = 0;
  if (examination->shape == PeShape::kImage && size % kCertificateAlignment == 0 &&
      !CountZerosBefore(size, kCertificateAlignment - 1, read, &zeros)) {
    return false;
  }
  examination->finding = Finding::kNoBlock;
  return TakeBlockBefore(size - zeros, zeros, read, examination);
}

// A PE image with a set Certificate Table entry: the table must start on an
// 8-byte boundary after the block and run to the end of the file, with only
// zero padding between the two.
bool LocateBeforeCertificateTable(const ReadAtFunction& read, Examination* examination) {
  const uint64_t size = examination->file_size;
  const uint64_t start = examination->headers.certificate_offset;
  const uint64_t table_size = examination->headers.certificate_size;
  examination->certificate_table = {true, start, table_size};
  const uint64_t end = start + table_size;  // two 32-bit values: no wrap
  if (end > size) {
    examination->finding = Finding::kCertificateTablePastEnd;
    return true;
  }
  if (end < size) {
    // Own-signing an Authenticode-signed file puts a block over all of it.
    SignatureBlock block;
    const BlockSearch search = FindBlock(size, read, &block);
    if (search == BlockSearch::kReadFailed) return false;
    examination->finding = Finding::kCertificateTableBeforeEnd;
    if (search == BlockSearch::kFound && block.content_length == end) {
      examination->finding = Finding::kBlockAfterCertificateTable;
      examination->block = {true, block.content_length, kBlockSize};
      examination->decoded = block;
    }
    return true;
  }
  if (start % kCertificateAlignment != 0) {
    examination->finding = Finding::kCertificateTableMisaligned;
    return true;
  }
  if (table_size < kMinCertificateTableSize) {
    examination->finding = Finding::kCertificateTableTooShort;
    return true;
  }
  uint64_t zeros = 0;
  if (!CountZerosBefore(start, kCertificateAlignment, read, &zeros)) return false;
  examination->finding = Finding::kNoBlockBeforeCertificateTable;
  if (zeros == kCertificateAlignment) return true;  // more than padding
  return TakeBlockBefore(start - zeros, zeros, read, examination);
}

// A block that ends the file over content without PE headers was made for
// a file that is no PE image: whatever the bytes after the content say, it
// is judged as such.
bool EndsInPlainBlock(const ReadAtFunction& read, Examination* examination, bool* plain) {
  *plain = false;
  SignatureBlock block;
  const BlockSearch search = FindBlock(examination->file_size, read, &block);
  if (search != BlockSearch::kFound) return search != BlockSearch::kReadFailed;
  PeHeaders headers;
  PeShape shape = PeShape::kImage;
  if (!ReadPeHeaders(block.content_length, read, &headers, &shape)) return false;
  *plain = shape != PeShape::kImage;
  return !*plain || TakeBlockBefore(examination->file_size, 0, read, examination);
}

// Reads like read, with the CheckSum field and the Certificate Table entry as zero.
ReadAtFunction PeFieldsAsZero(const ReadAtFunction& read, const PeHeaders& headers) {
  return [&read, headers](uint64_t offset, void* buffer, size_t count) {
    if (!read(offset, buffer, count)) return false;
    const uint64_t end = offset + count;  // a range the caller could read: no wrap
    for (const FilePart field :
         {FilePart{true, headers.checksum_offset, kChecksumSize},
          FilePart{true, headers.certificate_entry_offset, kCertificateEntrySize}}) {
      const uint64_t from = std::max(offset, field.offset);
      const uint64_t to = std::min(end, field.offset + field.size);
      if (from < to) {
        std::fill_n(static_cast<uint8_t*>(buffer) + (from - offset), to - from, uint8_t{0});
      }
    }
    return true;
  };
}

// Reads the content as a PE image, when it is one: *image is true only for
// an image that maps nothing from outside the content.
bool ReadContentImage(uint64_t length, const ReadAtFunction& read, Examination* examination,
                      PeHeaders* headers, bool* image) {
  *image = false;
  if (!ReadPeHeaders(length, read, headers, &examination->content_shape)) return false;
  if (examination->content_shape != PeShape::kImage) return true;
  if (!FindPeExtent(
          *headers, length, read, &examination->content_extent, &examination->content_section)) {
    return false;
  }
  *image = examination->content_extent == PeExtent::kWithin;
  return true;
}

bool DigestUnder(DigestRule rule, uint64_t length, const ReadAtFunction& read,
                 const PeHeaders& headers, Digest* digest) {
  if (rule == DigestRule::kWholeContent) return DigestContent(length, read, digest);
  return DigestContent(length, PeFieldsAsZero(read, headers), digest);
}

}  // namespace

bool ExamineFile(uint64_t file_size, const ReadAtFunction& read, const PublicKeySet& keys,
                 Examination* examination) {
  *examination = Examination{};
  examination->file_size = file_size;
  if (!ReadPeHeaders(file_size, read, &examination->headers, &examination->shape)) return false;
  bool plain = false;
  if (!EndsInPlainBlock(read, examination, &plain)) return false;
  const bool table =
      !plain && examination->shape == PeShape::kImage && examination->headers.HasCertificateTable();
  if (!plain &&
      !(table ? LocateBeforeCertificateTable(read, examination) : LocateAtEnd(read, examination))) {
    return false;
  }
  if (!examination->content.found) return true;

  const uint64_t length = examination->content.size;
  PeHeaders headers;
  bool image = false;
  if (!ReadContentImage(length, read, examination, &headers, &image)) return false;
  // Outside the content there is only the certificate table, which nothing
  // may map.
  if (table && !image) {
    examination->finding = Finding::kContentNotWholeImage;
    return true;
  }
  const SignatureBlock& block = examination->decoded;
  const uint32_t index = block.key_index;
  examination->finding = Finding::kUnknownKeyIndex;
  if (index >= kKeyCount) return true;
  examination->finding = Finding::kNotAuthentic;
  if (!BlockIsAuthentic(block, keys[index])) return true;

  // Only an authentic block earns the cost of digesting the whole content.
  // A PE image without a certificate table also matches a block made over
  // its bytes as they stand, as blocks were made before images were signed
  // with their two fields as zero.
  std::vector<DigestRule> rules;
  if (image) rules.push_back(DigestRule::kPeFieldsAsZero);
  if (!table) rules.push_back(DigestRule::kWholeContent);
  examination->rule = rules.front();
  examination->finding = Finding::kContentChanged;
  examination->verdict = kContentChanged;
  for (const DigestRule rule : rules) {
    Digest digest{};
    if (!DigestUnder(rule, length, read, headers, &digest)) return false;
    if (sodium_memcmp(digest.data(), block.digest.data(), kDigestSize) == 0) {
      examination->rule = rule;
      examination->finding = Finding::kValid;
      examination->verdict = index == 0 ? kValidKey0 : kValidKey1;
      return true;
    }
  }
  return true;
}

Preparation PrepareBlock(uint64_t file_size, const ReadAtFunction& read, SignatureBlock* block) {
  Examination examination;
  examination.file_size = file_size;
  bool plain = false;
  if (!ReadPeHeaders(file_size, read, &examination.headers, &examination.shape) ||
      !EndsInPlainBlock(read, &examination, &plain)) {
    return Preparation::kReadFailed;
  }
  if (!plain && examination.shape == PeShape::kImage && examination.headers.HasCertificateTable()) {
    return Preparation::kCarriesCertificateTable;
  }
  if (!plain && !LocateAtEnd(read, &examination)) return Preparation::kReadFailed;
  const uint64_t length = examination.content.found ? examination.content.size : file_size;
  PeHeaders headers;
  bool image = false;
  if (!ReadContentImage(length, read, &examination, &headers, &image)) {
    return Preparation::kReadFailed;
  }
  block->content_length = length;
  const DigestRule rule = image ? DigestRule::kPeFieldsAsZero : DigestRule::kWholeContent;
  if (!DigestUnder(rule, length, read, headers, &block->digest)) return Preparation::kReadFailed;
  return Preparation::kReady;
}

}  // namespace signing
