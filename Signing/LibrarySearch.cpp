#include "Signing/LibrarySearch.h"

#include <cstring>

namespace {

constexpr uint32_t kProgramHeaderLoad = 1;
constexpr uint32_t kProgramHeaderDynamic = 2;
constexpr uint32_t kProgramHeaderInterpreter = 3;
constexpr uint64_t kTagNull = 0;
constexpr uint64_t kTagNeeded = 1;
constexpr uint64_t kTagStringTable = 5;
constexpr uint64_t kTagRpath = 15;
constexpr uint64_t kTagRunpath = 29;
constexpr uint64_t kTagDependencyAudit = 0x6ffffefb;
constexpr uint64_t kTagAudit = 0x6ffffefc;
constexpr uint64_t kTagAuxiliary = 0x7ffffffd;
constexpr uint64_t kTagFilter = 0x7fffffff;
// Far more than any real library has; a forged count is not followed further.
constexpr uint64_t kMostEntries = 65536;
constexpr size_t kLongestString = 4096;

// Reads the fields of one ELF file: 32 or 64 bits, either byte order.
class ElfReader {
 public:
  ElfReader(uint64_t size, const signing::ReadAtFunction& read) : size_(size), read_(read) {}

  // Reads the identification; false when the bytes are no ELF image.
  bool Identify(bool* failed) {
    unsigned char ident[16];
    *failed = false;
    if (size_ < sizeof ident) return false;
    if (!read_(0, ident, sizeof ident)) return !(*failed = true);
    if (std::memcmp(ident,
                    "\x7f"
                    "ELF",
                    4) != 0)
      return false;
    if ((ident[4] != 1 && ident[4] != 2) || (ident[5] != 1 && ident[5] != 2)) return false;
    wide_ = ident[4] == 2;
    big_endian_ = ident[5] == 2;
    return true;
  }

  bool wide() const { return wide_; }

  // An unsigned field of width bytes (2, 4 or 8) at offset.
  bool Field(uint64_t offset, size_t width, uint64_t* value) const {
    unsigned char bytes[8];
    if (offset > size_ || width > size_ - offset || !read_(offset, bytes, width)) return false;
    *value = 0;
    for (size_t i = 0; i < width; ++i) {
      const size_t at = big_endian_ ? i : width - 1 - i;
      *value = (*value << 8) | bytes[at];
    }
    return true;
  }
  bool Word(uint64_t offset, uint64_t* value) const { return Field(offset, wide_ ? 8 : 4, value); }

  // The text at offset up to its NUL, within limit bytes of the file.
  bool Text(uint64_t offset, uint64_t limit, std::string* text) const {
    text->clear();
    for (uint64_t at = offset; at < limit && text->size() < kLongestString; ++at) {
      char c = 0;
      if (at >= size_ || !read_(at, &c, 1)) return false;
      if (c == '\0') return true;
      text->push_back(c);
    }
    return false;
  }

 private:
  uint64_t size_;
  const signing::ReadAtFunction& read_;
  bool wide_ = false;
  bool big_endian_ = false;
};

struct Segment {
  uint64_t offset = 0, address = 0, size = 0;
};

// The loadable segments and the dynamic segment, from the program headers.
bool ReadSegments(const ElfReader& elf, std::vector<Segment>* loads, Segment* dynamic,
                  bool* has_dynamic, std::vector<Segment>* interpreters) {
  const bool wide = elf.wide();
  uint64_t table = 0, entry_size = 0, count = 0;
  if (!elf.Word(wide ? 32 : 28, &table) || !elf.Field(wide ? 54 : 42, 2, &entry_size) ||
      !elf.Field(wide ? 56 : 44, 2, &count)) {
    return false;
  }
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t at = table + i * entry_size;
    uint64_t type = 0;
    Segment segment;
    if (!elf.Field(at, 4, &type) || !elf.Word(at + (wide ? 8 : 4), &segment.offset) ||
        !elf.Word(at + (wide ? 16 : 8), &segment.address) ||
        !elf.Word(at + (wide ? 32 : 16), &segment.size)) {
      return false;
    }
    if (type == kProgramHeaderLoad) loads->push_back(segment);
    if (type == kProgramHeaderInterpreter) interpreters->push_back(segment);
    if (type == kProgramHeaderDynamic) {
      *dynamic = segment;
      *has_dynamic = true;
    }
  }
  return true;
}

// The file offset of a loaded address, and the end of its segment's bytes.
bool FileOffsetOf(const std::vector<Segment>& loads, uint64_t address, uint64_t* offset,
                  uint64_t* end) {
  for (const Segment& load : loads) {
    if (address >= load.address && address - load.address < load.size) {
      *offset = load.offset + (address - load.address);
      *end = load.offset + load.size;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ReadElfLibrarySearch(uint64_t size, const signing::ReadAtFunction& read,
                          ElfLibrarySearch* search) {
  *search = ElfLibrarySearch();
  ElfReader elf(size, read);
  bool failed = false;
  if (!elf.Identify(&failed)) return !failed;
  search->elf = true;
  std::vector<Segment> loads, interpreters;
  Segment dynamic;
  bool has_dynamic = false;
  if (!ReadSegments(elf, &loads, &dynamic, &has_dynamic, &interpreters)) return false;
  // The program the kernel runs first, by its path, as a file's offsets
  // give it (the kernel reads it before anything is mapped).
  for (const Segment& interpreter : interpreters) {
    std::string path;
    if (interpreter.offset > UINT64_MAX - interpreter.size ||
        !elf.Text(interpreter.offset, interpreter.offset + interpreter.size, &path)) {
      return false;
    }
    search->interpreters.push_back(path);
  }
  if (!has_dynamic) return true;
  const uint64_t entry_size = elf.wide() ? 16 : 8;
  std::vector<std::pair<uint64_t, uint64_t>> strings;  // tag, offset in the table
  uint64_t table_address = 0;
  bool has_table = false;
  for (uint64_t i = 0; i < dynamic.size / entry_size && i < kMostEntries; ++i) {
    uint64_t tag = 0, value = 0;
    const uint64_t at = dynamic.offset + i * entry_size;
    if (!elf.Word(at, &tag) || !elf.Word(at + entry_size / 2, &value)) return false;
    if (tag == kTagNull) break;
    if (tag == kTagStringTable) {
      table_address = value;
      has_table = true;
    } else if (tag == kTagNeeded || tag == kTagAuxiliary || tag == kTagFilter || tag == kTagRpath ||
               tag == kTagRunpath || tag == kTagAudit || tag == kTagDependencyAudit) {
      strings.emplace_back(tag, value);
    }
  }
  uint64_t table = 0, table_end = 0;
  if (strings.empty()) return true;
  if (!has_table || !FileOffsetOf(loads, table_address, &table, &table_end)) return false;
  for (const auto& entry : strings) {
    std::string text;
    if (entry.second > table_end - table || !elf.Text(table + entry.second, table_end, &text)) {
      return false;
    }
    if (entry.first == kTagRpath) {
      search->rpath.push_back(text);
    } else if (entry.first == kTagRunpath) {
      search->runpath.push_back(text);
    } else if (entry.first == kTagAudit || entry.first == kTagDependencyAudit) {
      search->audit.push_back(text);
    } else {
      search->needed.push_back(text);
    }
  }
  return true;
}

std::string UncheckedDependencySource(const ElfLibrarySearch& search) {
  for (const std::string& paths : search.rpath) {
    if (!paths.empty()) return "RPATH " + paths;
  }
  for (const std::string& paths : search.runpath) {
    if (!paths.empty()) return "RUNPATH " + paths;
  }
  for (const std::string& names : search.audit) {
    if (!names.empty()) return "AUDIT " + names;
  }
  for (const std::string& name : search.needed) {
    if (name.find('/') != std::string::npos) return "NEEDED " + name;
  }
  return std::string();
}
