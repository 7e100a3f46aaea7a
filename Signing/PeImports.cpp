#include "Signing/PeImports.h"

#include <algorithm>
#include <array>
#include <vector>

#include "Signing/PeImage.h"

namespace signing {
namespace {

constexpr uint32_t kImportEntry = 1;
constexpr uint32_t kDelayImportEntry = 13;
constexpr uint64_t kDataDirectoryEntrySize = 8;
constexpr uint64_t kSectionHeaderSize = 40;
// More sections than any linker writes; the loader refuses far fewer.
constexpr uint32_t kMostSections = 4096;

struct Table {
  uint32_t entry;            // its data directory entry
  uint64_t descriptor_size;  // IMAGE_IMPORT_DESCRIPTOR, IMAGE_DELAYLOAD_DESCRIPTOR
  uint64_t name_offset;      // of the library's name in a descriptor
  bool delayed;
};
constexpr Table kImports = {kImportEntry, 20, 12, false};
constexpr Table kDelayImports = {kDelayImportEntry, 32, 4, true};
// A delay-import descriptor's first field: its addresses are offsets (RVAs).
constexpr uint32_t kDelayAddressesAreOffsets = 1;

struct Section {
  uint64_t address = 0, virtual_size = 0, raw_offset = 0, raw_size = 0;
};

// Reads what the loader maps of an image, by its offsets once loaded (RVAs).
class MappedReader {
 public:
  MappedReader(uint64_t size, const ReadAtFunction& read, const PeHeaders& headers)
      : size_(size), read_(read), headers_(headers) {}

  bool Read(uint64_t offset, void* buffer, size_t count) const {
    return offset <= size_ && count <= size_ - offset && read_(offset, buffer, count);
  }

  bool ReadSections() {
    if (headers_.section_count > kMostSections) return false;
    for (uint32_t i = 0; i < headers_.section_count; ++i) {
      uint8_t header[kSectionHeaderSize];
      if (!Read(headers_.section_table_offset + i * kSectionHeaderSize, header, sizeof header)) {
        return false;
      }
      sections_.push_back({GetUint(header + 12, 4),
                           GetUint(header + 8, 4),
                           GetUint(header + 20, 4),
                           GetUint(header + 16, 4)});
    }
    return true;
  }

  // The file offset of an RVA and the end of the bytes mapped there.
  bool OffsetOf(uint64_t rva, uint64_t* offset, uint64_t* end) const {
    if (rva < headers_.size_of_headers) {
      *offset = rva;
      *end = std::min<uint64_t>(headers_.size_of_headers, size_);
      return true;
    }
    for (const Section& section : sections_) {
      if (rva >= section.address && rva - section.address < section.raw_size) {
        *offset = section.raw_offset + (rva - section.address);
        *end = std::min(section.raw_offset + section.raw_size, size_);
        return *offset < *end;
      }
    }
    return false;
  }

  // count bytes at an RVA, all of them mapped from the file.
  bool ReadMapped(uint64_t rva, void* buffer, size_t count) const {
    uint64_t offset = 0, end = 0;
    return OffsetOf(rva, &offset, &end) && count <= end - offset && Read(offset, buffer, count);
  }

  bool Name(uint64_t rva, std::string* name) const {
    uint64_t offset = 0, end = 0;
    if (!OffsetOf(rva, &offset, &end)) return false;
    std::array<char, kLongestImportName + 1> text{};
    const size_t count = static_cast<size_t>(std::min<uint64_t>(text.size(), end - offset));
    if (!Read(offset, text.data(), count)) return false;
    const auto nul = std::find(text.begin(), text.begin() + count, '\0');
    if (nul == text.begin() + count) return false;
    name->assign(text.begin(), nul);
    return true;
  }

  // A data directory entry's RVA; 0 where the image has none.
  bool Directory(uint32_t entry, uint64_t* rva) const {
    *rva = 0;
    if (entry >= headers_.data_directory_count) return true;
    uint8_t bytes[kDataDirectoryEntrySize];
    if (!Read(headers_.data_directory_offset + entry * kDataDirectoryEntrySize, bytes, 8)) {
      return false;
    }
    *rva = GetUint(bytes, 4);
    return true;
  }

 private:
  uint64_t size_;
  const ReadAtFunction& read_;
  const PeHeaders& headers_;
  std::vector<Section> sections_;
};

// The names of one table, to the descriptor whose name is 0.
bool ReadTable(const MappedReader& image, const Table& table, std::vector<std::string>* names) {
  uint64_t rva = 0;
  if (!image.Directory(table.entry, &rva)) return false;
  if (rva == 0) return true;
  for (size_t i = 0; i < kMostImportDescriptors; ++i) {
    std::array<uint8_t, kDelayImports.descriptor_size> descriptor{};
    if (!image.ReadMapped(rva + i * table.descriptor_size,
                          descriptor.data(),
                          static_cast<size_t>(table.descriptor_size))) {
      return false;
    }
    const uint64_t name_rva = GetUint(descriptor.data() + table.name_offset, 4);
    if (name_rva == 0) return true;
    if (table.delayed && (GetUint(descriptor.data(), 4) & kDelayAddressesAreOffsets) == 0) {
      return false;
    }
    std::string name;
    if (!image.Name(name_rva, &name)) return false;
    names->push_back(name);
  }
  return false;
}

}  // namespace

bool ReadPeImports(uint64_t size, const ReadAtFunction& read, PeImports* imports) {
  *imports = PeImports();
  PeHeaders headers;
  PeShape shape = PeShape::kNoDosHeader;
  if (!ReadPeHeaders(size, read, &headers, &shape)) return false;
  // What starts as a PE image but is none this reader knows may still be
  // one the loader takes: it is not read as no image.
  if (shape == PeShape::kNoDosHeader) return true;
  if (shape != PeShape::kImage) return false;
  imports->image = true;
  MappedReader image(size, read, headers);
  return image.ReadSections() && ReadTable(image, kImports, &imports->imported) &&
         ReadTable(image, kDelayImports, &imports->delayed);
}

}  // namespace signing
