// Finds the signature block of a file and the content it covers, under the
// rules that SignatureBlock.h describes: at the very end of a file that is no
// PE image; for a PE image also before Authenticode's zero padding and
// certificate table, or before the padding that removing an Authenticode
// signature leaves. Judges the block and reports every part it found, so
// that taverly-sign can explain a verdict.
#pragma once

#include <cstdint>

#include "Signing/PeImage.h"
#include "Signing/SignatureBlock.h"

namespace signing {

// A range of the file.
struct FilePart {
  bool found = false;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Why a file earned its verdict.
enum class Finding {
  kValid,
  kContentChanged,
  kUnknownKeyIndex,
  kNotAuthentic,
  kNoBlock,                        // no well-formed block at the end (or before the padding)
  kBlockAfterCertificateTable,     // the block follows the table: signed in the wrong order
  kCertificateTablePastEnd,        // the table runs past the end of the file
  kCertificateTableBeforeEnd,      // other bytes follow the table
  kCertificateTableMisaligned,     // not on an 8-byte boundary
  kCertificateTableTooShort,       // shorter than one certificate entry's header
  kNoBlockBeforeCertificateTable,  // no block ends where the padding before the table starts
  kContentNotWholeImage,           // the image maps bytes outside the signed content
};

// How the content was digested.
enum class DigestRule {
  kPeFieldsAsZero,  // a PE image: CheckSum and Certificate Table entry read as zero
  kWholeContent,    // every byte as it stands
};

struct Examination {
  uint64_t file_size = 0;
  PeShape shape = PeShape::kNoDosHeader;  // of the whole file
  PeHeaders headers;                      // the whole file's, when shape is kImage
  FilePart certificate_table;             // where a set Certificate Table entry points
  FilePart padding;                       // zero bytes after the block (found when any)
  FilePart block;
  SignatureBlock decoded;  // the block's fields, when one was found
  FilePart content;        // what the block covers, when one was found
  PeShape content_shape = PeShape::kNoDosHeader;
  PeExtent content_extent = PeExtent::kWithin;  // when content_shape is kImage
  uint32_t content_section = 0;                 // the section that runs past, if one does
  DigestRule rule = DigestRule::kWholeContent;  // when the block was authentic
  Finding finding = Finding::kNoBlock;
  Verdict verdict = kNotSigned;
};

// Examines a file of file_size bytes against the given public keys. False
// only when the file could not be read.
bool ExamineFile(uint64_t file_size, const ReadAtFunction& read, const PublicKeySet& keys,
                 Examination* examination);

enum class Preparation {
  kReady,
  kCarriesCertificateTable,  // a PE image signed with Authenticode: own-signing comes first
  kReadFailed,
};
// Fills block->content_length and block->digest for signing a file of
// file_size bytes. The content is what lies before the block the file
// already carries, if any, so signing again replaces it.
Preparation PrepareBlock(uint64_t file_size, const ReadAtFunction& read, SignatureBlock* block);

}  // namespace signing
