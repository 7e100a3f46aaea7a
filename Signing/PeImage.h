// Reads what the own signature needs to know of a PE image: where the two
// header fields lie that Authenticode signing rewrites (the optional header's
// CheckSum and the Certificate Table entry of its data directory), and whether
// everything the loader maps (the header area and each section's data) lies
// within a given length of the file.
//
// Every field is read through a ReadAtFunction, never past the length the
// caller names, and all offset arithmetic is done in 64 bits on 32-bit
// fields, so no header value, however forged, can wrap an offset or steer a
// read outside the file.
#pragma once

#include <cstdint>

#include "Signing/SignatureBlock.h"

namespace signing {

constexpr uint64_t kChecksumSize = 4;
constexpr uint64_t kCertificateEntrySize = 8;
// Authenticode puts the certificate table on an 8-byte boundary.
constexpr uint64_t kCertificateAlignment = 8;
// The smallest certificate table: one entry's length, revision and type.
constexpr uint64_t kMinCertificateTableSize = 8;

// Whether bytes are a PE image as far as the signature is concerned, or why not.
enum class PeShape {
  kImage,
  kNoDosHeader,            // shorter than a DOS header, or no "MZ"
  kNoPeHeader,             // no "PE\0\0" and file header where e_lfanew points
  kUnknownOptionalHeader,  // the optional header is neither PE32 nor PE32+
  kNoCertificateEntry,     // the optional header has no Certificate Table entry
  kBadFileAlignment,       // FileAlignment is not a power of two up to 64 KiB
};

enum class PeFormat { kPe32, kPe32Plus };

struct PeHeaders {
  PeFormat format = PeFormat::kPe32;
  uint64_t checksum_offset = 0;           // kChecksumSize bytes
  uint64_t certificate_entry_offset = 0;  // kCertificateEntrySize bytes
  uint32_t certificate_offset = 0;        // the entry: a file offset, not an RVA
  uint32_t certificate_size = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_headers = 0;
  uint32_t section_count = 0;
  uint64_t section_table_offset = 0;
  // The data directory's first entry, and how many entries both
  // NumberOfRvaAndSizes and SizeOfOptionalHeader give it.
  uint64_t data_directory_offset = 0;
  uint32_t data_directory_count = 0;

  bool HasCertificateTable() const { return certificate_offset != 0 || certificate_size != 0; }
};

// Reads the headers of a PE image from the first limit bytes. False only when
// a read fails; *shape says whether the bytes are an image.
bool ReadPeHeaders(uint64_t limit, const ReadAtFunction& read, PeHeaders* headers, PeShape* shape);

// What of an image runs past a length, if anything.
enum class PeExtent {
  kWithin,
  kSectionTablePast,
  kHeaderAreaPast,  // SizeOfHeaders, rounded up to FileAlignment
  kSectionPast,     // a section's raw data, rounded up to FileAlignment as the loader reads it
};

// Answers whether everything the loader maps from the file lies in its first
// limit bytes. False only when a read fails; *section is the index of the
// section that runs past, for kSectionPast.
bool FindPeExtent(const PeHeaders& headers, uint64_t limit, const ReadAtFunction& read,
                  PeExtent* extent, uint32_t* section);

}  // namespace signing
