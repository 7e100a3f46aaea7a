// Loading libraries on Windows as the real loader answers.
#include "Platform/process/process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(LibraryWin32Test, LoadLibraryReportsTheLoadersError) {
  TempFolder tmp_;
  uint32_t error = 0;
  EXPECT_EQ(platform::LoadLibraryFile(tmp_.wpath() + L"\\none.dll", &error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
  WriteTextFile(tmp_.Join("junk.dll"), "not a library");
  EXPECT_EQ(platform::LoadLibraryFile(Wide(tmp_.Join("junk.dll")), &error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_BAD_EXE_FORMAT));
}

}  // namespace
