#include "Signing/LibrarySearch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

namespace {

signing::ReadAtFunction Reader(const std::string& bytes) {
  return [&bytes](uint64_t offset, void* buffer, size_t count) {
    if (offset > bytes.size() || count > bytes.size() - offset) return false;
    bytes.copy(static_cast<char*>(buffer), count, offset);
    return true;
  };
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A sanitizer build adds its own runtime libraries to what each one needs.
bool Names(const std::vector<std::string>& needed, const std::string& name) {
  return std::find(needed.begin(), needed.end(), name) != needed.end();
}

TEST(LibrarySearchTest, ReadsWhatTheLoaderSearches) {
  ElfLibrarySearch search;
  const std::string origin = Bytes(TAVERLY_ORIGIN_LIBRARY_PATH);
  ASSERT_TRUE(ReadElfLibrarySearch(origin.size(), Reader(origin), &search));
  EXPECT_TRUE(search.elf);
  EXPECT_EQ(search.runpath, std::vector<std::string>{"$ORIGIN"});
  EXPECT_TRUE(Names(search.needed, "libtaverly_origin_dependency.so"));
  EXPECT_TRUE(Names(search.needed, "libc.so.6"));
  EXPECT_EQ(UncheckedDependencySource(search), "RUNPATH $ORIGIN");
  // A library that needs only the system's libraries.
  const std::string probe = Bytes(TAVERLY_PROBE_LIBRARY_PATH);
  ASSERT_TRUE(ReadElfLibrarySearch(probe.size(), Reader(probe), &search));
  EXPECT_TRUE(Names(search.needed, "libc.so.6"));
  EXPECT_FALSE(Names(search.needed, "libtaverly_origin_dependency.so"));
  EXPECT_EQ(UncheckedDependencySource(search), "");
  search.needed.push_back("./libx.so");
  EXPECT_EQ(UncheckedDependencySource(search), "NEEDED ./libx.so");
  search.rpath.push_back("/opt/p");
  EXPECT_EQ(UncheckedDependencySource(search), "RPATH /opt/p");
  // An auditor runs inside whatever loads the library, from wherever the
  // loader finds it.
  const std::string audited = Bytes(TAVERLY_AUDITED_LIBRARY_PATH);
  ASSERT_TRUE(ReadElfLibrarySearch(audited.size(), Reader(audited), &search));
  EXPECT_EQ(search.audit, std::vector<std::string>{"libtaverly_auditor.so"});
  EXPECT_EQ(UncheckedDependencySource(search), "AUDIT libtaverly_auditor.so");
  // A program names its loader; a library none.
  EXPECT_TRUE(search.interpreters.empty());
  const std::string program = Bytes(TAVERLY_PROBE_PATH);
  ASSERT_TRUE(ReadElfLibrarySearch(program.size(), Reader(program), &search));
  ASSERT_EQ(search.interpreters.size(), 1u);
  EXPECT_EQ(search.interpreters[0].rfind("/lib", 0), 0u) << search.interpreters[0];
  // Bytes that are no ELF image name nothing; fuzz_signed_content reads
  // any bytes, with this library among its seeds.
  const std::string text = "MZ not an ELF image";
  EXPECT_TRUE(ReadElfLibrarySearch(text.size(), Reader(text), &search));
  EXPECT_FALSE(search.elf);
}

}  // namespace
