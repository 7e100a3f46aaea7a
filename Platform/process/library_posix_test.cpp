// Loading libraries on POSIX: the errors a load gives, and a library opened
// and judged loaded as it was checked, though another file is renamed over
// its name between the check and the use.
#include "Platform/process/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace {

class LibraryPosixTest : public ::testing::Test {
 protected:
  void AddFile(const std::string& name, const std::string& content, mode_t mode) {
    WriteTextFile(tmp_.Join(name), content);
    chmod(tmp_.Join(name).c_str(), mode);
  }
  TempFolder tmp_;
};

TEST_F(LibraryPosixTest, LoadLibraryTellsMissingUnreadableAndNotALibraryApart) {
  uint32_t error = 0;
  EXPECT_EQ(platform::LoadLibraryFile(Wide(tmp_.Join("none.so")), &error), nullptr);
  EXPECT_EQ(error, platform::kErrorFileNotFound);

  AddFile("junk.so", "not a library", 0644);
  EXPECT_EQ(platform::LoadLibraryFile(Wide(tmp_.Join("junk.so")), &error), nullptr);
  EXPECT_EQ(error, 8u);
  // A FIFO would hold the loader until a writer came: it is no library.
  ASSERT_EQ(mkfifo(tmp_.Join("fifo.so").c_str(), 0644), 0);
  error = 0;
  EXPECT_EQ(platform::LoadLibraryFile(Wide(tmp_.Join("fifo.so")), &error), nullptr);
  EXPECT_EQ(error, 8u);
  if (geteuid() != 0) {
    chmod(tmp_.Join("junk.so").c_str(), 0);
    EXPECT_EQ(platform::LoadLibraryFile(Wide(tmp_.Join("junk.so")), &error), nullptr);
    EXPECT_EQ(error, 13u);
  }
  EXPECT_EQ(platform::FindExport(nullptr, "x"), nullptr);
}

class OpenedLibraryTest : public LibraryPosixTest {
 protected:
  void TearDown() override { platform::SetBeforeOpenedUseForTesting(nullptr); }
  // After the check, an executable script is renamed over name.
  void SwapAtUse(const std::string& name) {
    AddFile("swap", "#!/bin/sh\nexit 0\n", 0755);
    platform::SetBeforeOpenedUseForTesting(
        [this, name] { ASSERT_EQ(rename(tmp_.Join("swap").c_str(), tmp_.Join(name).c_str()), 0); });
  }
};

TEST_F(OpenedLibraryTest, SwappedLibraryLoadsAsItWasChecked) {
  // A copy of the system's maths library is opened, then a script takes its
  // name: the load still finds the library's exports.
  const std::string library = tmp_.Join("lib.so");
  std::ifstream libm("/lib/x86_64-linux-gnu/libm.so.6", std::ios::binary);
  if (!libm) GTEST_SKIP() << "no maths library at the usual place";
  std::ofstream(library, std::ios::binary) << libm.rdbuf();
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(Wide(library)));
  SwapAtUse("lib.so");
  uint32_t error = 0;
  void* loaded = platform::LoadOpenedLibrary(
      file, Wide(library), platform::DependencySearch::kAsUnsigned, &error);
  ASSERT_NE(loaded, nullptr) << error;
  EXPECT_NE(platform::FindExport(loaded, "cos"), nullptr);
}

// The loader hands back what it already loaded under a name it knows: a
// second library opened after the first one's file was closed (its
// descriptor number free again) must still load as itself, also when code
// in the first library closed the descriptor its name stands for.
TEST_F(OpenedLibraryTest, EachOpenedLibraryLoadsAsItself) {
  std::ifstream libm("/lib/x86_64-linux-gnu/libm.so.6", std::ios::binary);
  if (!libm) GTEST_SKIP() << "no maths library at the usual place";
  std::ofstream(tmp_.Join("first.so"), std::ios::binary) << libm.rdbuf();
  for (const bool closed_by_library : {false, true}) {
    SCOPED_TRACE(closed_by_library);
    const std::string second = tmp_.Join(closed_by_library ? "third.so" : "second.so");
    std::ifstream probe(TAVERLY_PROBE_LIBRARY_PATH, std::ios::binary);
    std::ofstream(second, std::ios::binary) << probe.rdbuf();
    int named = -1;  // the descriptor the first library's name stands for
    void* first_cos = nullptr;
    {
      platform::ReadOnlyFile file;
      ASSERT_TRUE(file.Open(Wide(tmp_.Join("first.so"))));
      named = dup(0);  // the lowest free number, which the load's copy takes
      close(named);
      uint32_t error = 0;
      void* first = platform::LoadOpenedLibrary(
          file, L"first.so", platform::DependencySearch::kSystemOnly, &error);
      ASSERT_NE(first, nullptr) << error;
      first_cos = platform::FindExport(first, "cos");
      EXPECT_NE(first_cos, nullptr);
    }
    if (closed_by_library) {
      EXPECT_EQ(close(named), 0);
    }
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(Wide(second)));
    uint32_t error = 0;
    void* loaded = platform::LoadOpenedLibrary(
        file, Wide(second), platform::DependencySearch::kSystemOnly, &error);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_NE(platform::FindExport(loaded, "ReturnMinusOne"), nullptr);
    // A sanitizer build links the probe against the maths library, whose
    // cos is then found; never the copy's.
    EXPECT_NE(platform::FindExport(loaded, "cos"), first_cos);
  }
}

}  // namespace
