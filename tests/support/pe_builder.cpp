#include "tests/support/pe_builder.h"

#include <cstring>

namespace pe_builder {
namespace {

constexpr uint32_t kPeOffset = 0x80;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kSizeOfHeaders = 0x200;
constexpr uint32_t kDataDirectoryCount = 16;

uint16_t GetUint16(const std::string& file, uint64_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(file[offset]) |
                               static_cast<uint8_t>(file[offset + 1]) << 8);
}

void PutBytes(std::string* file, uint64_t offset, const char* bytes, size_t count) {
  file->replace(offset, count, bytes, count);
}

// Stands in for the checksum Authenticode writes: any other value will do.
void RewriteChecksum(std::string* file) {
  const uint64_t offset = ChecksumOffset(*file);
  PutUint32(file, offset, GetUint32(*file, offset) * 31 + static_cast<uint32_t>(file->size()));
}

}  // namespace

uint32_t GetUint32(const std::string& file, uint64_t offset) {
  return static_cast<uint32_t>(GetUint16(file, offset)) |
         static_cast<uint32_t>(GetUint16(file, offset + 2)) << 16;
}

void PutUint32(std::string* file, uint64_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*file)[offset + i] = static_cast<char>(value >> (8 * i));
}

void PutUint16(std::string* file, uint64_t offset, uint16_t value) {
  (*file)[offset] = static_cast<char>(value);
  (*file)[offset + 1] = static_cast<char>(value >> 8);
}

uint64_t PeOffset(const std::string& file) { return GetUint32(file, 0x3c); }

uint64_t ChecksumOffset(const std::string& file) { return PeOffset(file) + 24 + 64; }

uint64_t CertificateEntryOffset(const std::string& file) {
  const bool plus = GetUint16(file, PeOffset(file) + 24) == 0x20b;
  return PeOffset(file) + 24 + (plus ? 112 : 96) + 4 * 8;
}

uint64_t SectionTableOffset(const std::string& file) {
  return PeOffset(file) + 24 + GetUint16(file, PeOffset(file) + 20);
}

std::string Build(const Options& options) {
  const uint32_t optional_size = (options.pe32_plus ? 112 : 96) + kDataDirectoryCount * 8;
  const uint32_t image_size = kSectionAlignment * (options.sections + 1);
  std::string file(kSizeOfHeaders + kFileAlignment * options.sections + options.overlay, '\0');
  PutBytes(&file, 0, "MZ", 2);
  PutUint32(&file, 0x3c, kPeOffset);
  const char stub[] = "This program cannot be run in DOS mode.\r\n$";
  PutBytes(&file, 0x4e, stub, sizeof(stub) - 1);

  PutBytes(&file, kPeOffset, "PE\0\0", 4);
  PutUint16(&file, kPeOffset + 4, options.pe32_plus ? 0x8664 : 0x14c);  // Machine
  PutUint16(&file, kPeOffset + 6, static_cast<uint16_t>(options.sections));
  PutUint32(&file, kPeOffset + 8, 0x65f0c0de);  // TimeDateStamp
  PutUint16(&file, kPeOffset + 20, static_cast<uint16_t>(optional_size));
  PutUint16(&file, kPeOffset + 22, 0x0022);  // Characteristics: executable, large addresses

  const uint64_t optional = kPeOffset + 24;
  PutUint16(&file, optional, options.pe32_plus ? 0x20b : 0x10b);
  PutUint32(&file, optional + 4, kFileAlignment * options.sections);  // SizeOfCode
  PutUint32(&file, optional + 16, kSectionAlignment);                 // AddressOfEntryPoint
  PutUint32(&file, optional + 32, kSectionAlignment);
  PutUint32(&file, optional + 36, kFileAlignment);
  PutUint32(&file, optional + 56, image_size);
  PutUint32(&file, optional + 60, kSizeOfHeaders);
  PutUint32(&file, optional + 64, options.checksum);
  PutUint16(&file, optional + 68, 2);  // Subsystem: Windows GUI
  const uint64_t directory = optional + (options.pe32_plus ? 112 : 96);
  PutUint32(&file, directory - 4, kDataDirectoryCount);
  PutUint32(&file, directory + 8, kSectionAlignment + 0x40);  // an import table, in section 0
  PutUint32(&file, directory + 12, 0x28);

  const uint64_t table = optional + optional_size;
  for (uint32_t i = 0; i < options.sections; ++i) {
    const uint64_t header = table + 40 * i;
    const std::string name = ".sect" + std::to_string(i);
    PutBytes(&file, header, name.data(), name.size());
    PutUint32(&file, header + 8, kFileAlignment);                        // VirtualSize
    PutUint32(&file, header + 12, kSectionAlignment * (i + 1));          // VirtualAddress
    PutUint32(&file, header + 16, kFileAlignment);                       // SizeOfRawData
    PutUint32(&file, header + 20, kSizeOfHeaders + kFileAlignment * i);  // PointerToRawData
    PutUint32(&file, header + 36, 0x60000020);  // code, readable, executable
    for (uint32_t b = 0; b < kFileAlignment; ++b) {
      file[kSizeOfHeaders + kFileAlignment * i + b] = static_cast<char>(i * 37 + b * 11 + 1);
    }
  }
  for (uint32_t b = 0; b < options.overlay; ++b) {
    file[kSizeOfHeaders + kFileAlignment * options.sections + b] = static_cast<char>(b * 7 + 3);
  }
  return file;
}

void SetCertificateEntry(std::string* file, uint32_t offset, uint32_t size) {
  PutUint32(file, CertificateEntryOffset(*file), offset);
  PutUint32(file, CertificateEntryOffset(*file) + 4, size);
}

std::string AddCertificateTable(const std::string& file, uint32_t size, char fill) {
  std::string result = file;
  result.append((8 - result.size() % 8) % 8, '\0');
  const uint32_t offset = static_cast<uint32_t>(result.size());
  result.append(size, fill);
  if (size >= 8) {
    PutUint32(&result, offset, size);        // dwLength
    PutUint16(&result, offset + 4, 0x0200);  // WIN_CERT_REVISION_2_0
    PutUint16(&result, offset + 6, 0x0002);  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  }
  SetCertificateEntry(&result, offset, size);
  RewriteChecksum(&result);
  return result;
}

std::string ReplaceCertificateTable(const std::string& file, uint32_t size, char fill) {
  return AddCertificateTable(RemoveCertificateTable(file, false), size, fill);
}

std::string RemoveCertificateTable(const std::string& file, bool with_padding) {
  std::string result = file.substr(0, GetUint32(file, CertificateEntryOffset(file)));
  if (!with_padding) {
    while (!result.empty() && result.back() == '\0') result.pop_back();
  }
  SetCertificateEntry(&result, 0, 0);
  RewriteChecksum(&result);
  return result;
}

}  // namespace pe_builder
