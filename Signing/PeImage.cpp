#include "Signing/PeImage.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace signing {
namespace {

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kNewHeaderPointerOffset = 0x3c;
// "PE\0\0", the 20-byte file header, and the optional header's magic;
// offsets from the signature.
constexpr uint64_t kPeStartSize = 26;
constexpr uint64_t kSectionCountOffset = 6;
constexpr uint64_t kOptionalHeaderSizeOffset = 20;
constexpr uint64_t kOptionalHeaderOffset = 24;
constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;

// Offsets within the optional header, the same for both formats up to CheckSum.
constexpr uint64_t kFileAlignmentOffset = 36;
constexpr uint64_t kSizeOfHeadersOffset = 60;
constexpr uint64_t kChecksumOffset = 64;
constexpr uint32_t kCertificateEntryIndex = 4;
constexpr uint64_t kDataDirectoryEntrySize = 8;
constexpr uint32_t kMaxFileAlignment = 64 * 1024;

constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint64_t kRawSizeOffset = 16;
constexpr uint64_t kRawPointerOffset = 20;
// Section headers read per call: few calls, a small buffer.
constexpr uint64_t kSectionsPerRead = 64;

struct FormatLayout {
  uint64_t rva_count_offset;       // NumberOfRvaAndSizes
  uint64_t data_directory_offset;  // the first entry
};
constexpr FormatLayout kPe32Layout = {92, 96};
constexpr FormatLayout kPe32PlusLayout = {108, 112};
// The optional header up to the end of the Certificate Table entry, PE32+.
constexpr size_t kMaxFieldsSize = 152;

// Rounds up to a power of two; the operands are 32-bit values, so it cannot wrap.
uint64_t AlignUp(uint64_t value, uint32_t alignment) {
  return (value + alignment - 1) & ~static_cast<uint64_t>(alignment - 1);
}

// Reads count bytes at offset when they lie in the first limit bytes. False
// (with *inside false) when they do not, false (with *inside true) when the
// read itself fails.
bool ReadWithin(uint64_t limit, const ReadAtFunction& read, uint64_t offset, void* buffer,
                size_t count, bool* inside) {
  *inside = offset <= limit && count <= limit - offset;
  return *inside && read(offset, buffer, count);
}

}  // namespace

bool ReadPeHeaders(uint64_t limit, const ReadAtFunction& read, PeHeaders* headers, PeShape* shape) {
  bool inside = false;
  uint8_t dos[kDosHeaderSize];
  *shape = PeShape::kNoDosHeader;
  if (!ReadWithin(limit, read, 0, dos, sizeof(dos), &inside)) return !inside;
  if (dos[0] != 'M' || dos[1] != 'Z') return true;

  *shape = PeShape::kNoPeHeader;
  const uint64_t pe = GetUint(dos + kNewHeaderPointerOffset, 4);
  uint8_t start[kPeStartSize];
  if (!ReadWithin(limit, read, pe, start, sizeof(start), &inside)) return !inside;
  if (std::memcmp(start, "PE\0\0", 4) != 0) return true;

  *shape = PeShape::kUnknownOptionalHeader;
  const uint64_t magic = GetUint(start + kOptionalHeaderOffset, 2);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return true;
  const bool plus = magic == kPe32PlusMagic;
  const FormatLayout& layout = plus ? kPe32PlusLayout : kPe32Layout;
  const uint64_t entry =
      layout.data_directory_offset + kCertificateEntryIndex * kDataDirectoryEntrySize;
  const uint64_t needed = entry + kCertificateEntrySize;

  *shape = PeShape::kNoCertificateEntry;
  const uint64_t optional_size = GetUint(start + kOptionalHeaderSizeOffset, 2);
  if (optional_size < needed) return true;
  const uint64_t optional = pe + kOptionalHeaderOffset;
  *shape = PeShape::kNoPeHeader;
  if (optional > limit || optional_size > limit - optional) return true;
  std::array<uint8_t, kMaxFieldsSize> fields{};
  static_assert(kMaxFieldsSize >= kPe32PlusLayout.data_directory_offset +
                                      (kCertificateEntryIndex + 1) * kDataDirectoryEntrySize,
                "optional header fields");
  if (!read(optional, fields.data(), static_cast<size_t>(needed))) return false;

  *shape = PeShape::kNoCertificateEntry;
  if (GetUint(fields.data() + layout.rva_count_offset, 4) <= kCertificateEntryIndex) return true;
  *shape = PeShape::kBadFileAlignment;
  const uint64_t alignment = GetUint(fields.data() + kFileAlignmentOffset, 4);
  if (alignment == 0 || alignment > kMaxFileAlignment || (alignment & (alignment - 1)) != 0) {
    return true;
  }

  headers->format = plus ? PeFormat::kPe32Plus : PeFormat::kPe32;
  headers->checksum_offset = optional + kChecksumOffset;
  headers->certificate_entry_offset = optional + entry;
  headers->certificate_offset = static_cast<uint32_t>(GetUint(fields.data() + entry, 4));
  headers->certificate_size = static_cast<uint32_t>(GetUint(fields.data() + entry + 4, 4));
  headers->file_alignment = static_cast<uint32_t>(alignment);
  headers->size_of_headers =
      static_cast<uint32_t>(GetUint(fields.data() + kSizeOfHeadersOffset, 4));
  headers->section_count = static_cast<uint32_t>(GetUint(start + kSectionCountOffset, 2));
  headers->section_table_offset = optional + optional_size;
  headers->data_directory_offset = optional + layout.data_directory_offset;
  headers->data_directory_count = static_cast<uint32_t>(
      std::min<uint64_t>(GetUint(fields.data() + layout.rva_count_offset, 4),
                         (optional_size - layout.data_directory_offset) / kDataDirectoryEntrySize));
  *shape = PeShape::kImage;
  return true;
}

bool FindPeExtent(const PeHeaders& headers, uint64_t limit, const ReadAtFunction& read,
                  PeExtent* extent, uint32_t* section) {
  *section = 0;
  *extent = PeExtent::kSectionTablePast;
  const uint64_t table_size = uint64_t{headers.section_count} * kSectionHeaderSize;
  if (headers.section_table_offset > limit || table_size > limit - headers.section_table_offset) {
    return true;
  }
  *extent = PeExtent::kHeaderAreaPast;
  if (AlignUp(headers.size_of_headers, headers.file_alignment) > limit) return true;

  *extent = PeExtent::kSectionPast;
  std::array<uint8_t, kSectionsPerRead * kSectionHeaderSize> chunk{};
  for (uint32_t first = 0; first < headers.section_count; first += kSectionsPerRead) {
    const uint32_t count =
        static_cast<uint32_t>(std::min<uint64_t>(kSectionsPerRead, headers.section_count - first));
    if (!read(headers.section_table_offset + first * kSectionHeaderSize,
              chunk.data(),
              static_cast<size_t>(count * kSectionHeaderSize))) {
      return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* header = chunk.data() + i * kSectionHeaderSize;
      const uint64_t raw_size = GetUint(header + kRawSizeOffset, 4);
      if (raw_size == 0) continue;
      const uint64_t raw_end =
          GetUint(header + kRawPointerOffset, 4) + AlignUp(raw_size, headers.file_alignment);
      if (raw_end > limit) {
        *section = first + i;
        return true;
      }
    }
  }
  *extent = PeExtent::kWithin;
  return true;
}

}  // namespace signing
