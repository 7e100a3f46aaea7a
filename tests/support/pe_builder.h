// Builds small PE images for tests, laid out as a linker lays them out
// (FileAlignment 512, headers in the first 512 bytes, one 512-byte block of
// data per section), and does to files what Authenticode signing does. The
// helpers find the header fields themselves, apart from the code under test.
#pragma once

#include <cstdint>
#include <string>

namespace pe_builder {

struct Options {
  bool pe32_plus = true;
  uint32_t sections = 2;
  uint32_t overlay = 0;         // bytes after the last section, as a symbol table lies there
  uint32_t checksum = 0x5a5a5;  // what the linker wrote
};

std::string Build(const Options& options);

uint32_t GetUint32(const std::string& file, uint64_t offset);
void PutUint32(std::string* file, uint64_t offset, uint32_t value);
void PutUint16(std::string* file, uint64_t offset, uint16_t value);

// Offsets in any image with the usual headers.
uint64_t PeOffset(const std::string& file);  // the "PE\0\0" signature
uint64_t ChecksumOffset(const std::string& file);
uint64_t CertificateEntryOffset(const std::string& file);
uint64_t SectionTableOffset(const std::string& file);

void SetCertificateEntry(std::string* file, uint32_t offset, uint32_t size);

// Appends zero padding to an 8-byte boundary and a certificate table of size
// bytes filled with fill, points the entry at it and rewrites the CheckSum.
std::string AddCertificateTable(const std::string& file, uint32_t size, char fill);
// Replaces the table with one of another size, as re-signing and nesting do.
std::string ReplaceCertificateTable(const std::string& file, uint32_t size, char fill);
// Cuts the table off and clears the entry. The padding in front of it stays,
// as a removed signature leaves it, unless with_padding is false.
std::string RemoveCertificateTable(const std::string& file, bool with_padding = true);

}  // namespace pe_builder
