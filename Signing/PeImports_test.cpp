#include "Signing/PeImports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/pe_builder.h"

namespace signing {
namespace {

using pe_builder::PutUint32;
using Names = std::vector<std::string>;

constexpr uint64_t kRaw = 0x200;       // section 0's data in the file
constexpr uint32_t kAddress = 0x1000;  // and once loaded

// An image whose section 0 holds an import table naming KERNEL32.dll and
// wdep.dll and a delay-import table naming later.dll.
std::string WithImports(bool pe32_plus) {
  std::string file = pe_builder::Build({pe32_plus});
  std::memset(&file[kRaw], 0, 0x200);
  const uint64_t directory = pe_builder::CertificateEntryOffset(file) - 4 * 8;
  PutUint32(&file, directory + 8, kAddress + 0x40);
  PutUint32(&file, directory + 13 * 8, kAddress + 0x80);
  const char* names[] = {"KERNEL32.dll", "wdep.dll", "later.dll"};
  for (uint32_t i = 0; i < 3; ++i) {
    std::memcpy(&file[kRaw + 0x100 + 0x20 * i], names[i], std::strlen(names[i]));
  }
  for (uint32_t i = 0; i < 2; ++i) {
    PutUint32(&file, kRaw + 0x40 + 20 * i + 12, kAddress + 0x100 + 0x20 * i);
    PutUint32(&file, kRaw + 0x40 + 20 * i + 16, kAddress + 0x180);
  }
  PutUint32(&file, kRaw + 0x80, 1);  // its addresses are offsets
  PutUint32(&file, kRaw + 0x84, kAddress + 0x140);
  return file;
}

// Reads from bytes; a read outside them fails the test.
bool Read(const std::string& bytes, uint64_t size, PeImports* imports) {
  const ReadAtFunction read = [&](uint64_t offset, void* buffer, size_t count) {
    EXPECT_TRUE(offset <= size && count <= size - offset) << offset << " " << count;
    if (offset > size || count > size - offset) return false;
    std::memcpy(buffer, bytes.data() + offset, count);
    return true;
  };
  return ReadPeImports(size, read, imports);
}

TEST(PeImportsTest, ReadsBothTablesOfBothFormats) {
  for (const bool plus : {true, false}) {
    const std::string file = WithImports(plus);
    PeImports imports;
    ASSERT_TRUE(Read(file, file.size(), &imports)) << plus;
    EXPECT_TRUE(imports.image);
    EXPECT_EQ(imports.imported, (Names{"KERNEL32.dll", "wdep.dll"}));
    EXPECT_EQ(imports.delayed, Names{"later.dll"});
  }
  PeImports imports;
  EXPECT_TRUE(
      Read("\x7f"
           "ELF and more",
           12,
           &imports));
  EXPECT_FALSE(imports.image);
}

TEST(PeImportsTest, TablesThatCannotBeReadWholeAreNoAnswer) {
  const std::string image = WithImports(true);
  const auto changed = [&image](uint64_t offset, uint32_t value) {
    std::string bytes = image;
    PutUint32(&bytes, offset, value);
    return bytes;
  };
  const std::vector<std::string> broken = {
      changed(0x3c, 0x7fff0000),              // "MZ", but no PE header there
      changed(kRaw + 0x40 + 12, 0x7ffff000),  // a name outside every section
      changed(kRaw + 0x80, 0),                // a delay entry of addresses
  };
  PeImports imports;
  for (size_t i = 0; i < broken.size(); ++i) {
    EXPECT_FALSE(Read(broken[i], broken[i].size(), &imports)) << i;
  }
  // A name that does not end within the longest name, and a table with no end.
  std::string endless = image;
  std::memset(&endless[kRaw + 0x100], 'a', 0x100);
  EXPECT_FALSE(Read(endless, endless.size(), &imports));
  std::memset(&endless[kRaw], 1, 0x200);
  EXPECT_FALSE(Read(endless, endless.size(), &imports));
  // Cut anywhere, nothing is read outside the file.
  for (uint64_t size = 0; size < image.size(); size += 7) Read(image, size, &imports);
}

}  // namespace
}  // namespace signing
