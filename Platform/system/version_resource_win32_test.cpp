// The VERSIONINFO resources of the Windows programs, read back the way the
// file's properties and installer tools read them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/builders.h"

namespace {

struct ProgramVersion {
  bool found = false;
  DWORD file_version_ms = 0, file_version_ls = 0;
  std::wstring strings[6];
};

const wchar_t* const kNames[] = {L"FileVersion",
                                 L"ProductVersion",
                                 L"FileDescription",
                                 L"OriginalFilename",
                                 L"CompanyName",
                                 L"LegalCopyright"};

std::wstring Value(std::vector<char>& data, const wchar_t* name) {
  const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  void* text = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), query.c_str(), &text, &length) || length == 0) return L"";
  return std::wstring(static_cast<const wchar_t*>(text));
}

ProgramVersion ReadVersion(const std::string& program) {
  ProgramVersion version;
  const std::wstring path = Wide(program);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return version;
  std::vector<char> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return version;
  void* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", &fixed, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
    version.file_version_ms = static_cast<VS_FIXEDFILEINFO*>(fixed)->dwFileVersionMS;
    version.file_version_ls = static_cast<VS_FIXEDFILEINFO*>(fixed)->dwFileVersionLS;
  }
  for (size_t i = 0; i < 6; ++i) version.strings[i] = Value(data, kNames[i]);
  version.found = true;
  return version;
}

TEST(VersionResourceTest, EveryProgramCarriesTheProjectVersionAndItsOwnName) {
  const struct {
    const char* path;
    const wchar_t* file_name;
  } programs[] = {{TAVERLY_PROGRAM, L"Taverly.exe"},
                  {TAVERLY_SIGN_PROGRAM, L"taverly-sign.exe"},
                  {TAVERLY_PLAN_PROGRAM, L"taverly-plan.exe"}};
  const std::wstring version = Wide(TAVERLY_PROJECT_VERSION);
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(std::sscanf(TAVERLY_PROJECT_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
  for (const auto& program : programs) {
    SCOPED_TRACE(program.path);
    const ProgramVersion read = ReadVersion(program.path);
    ASSERT_TRUE(read.found);
    EXPECT_EQ(read.file_version_ms, major << 16 | minor);
    EXPECT_EQ(read.file_version_ls, patch << 16);
    EXPECT_EQ(read.strings[0], version);
    EXPECT_EQ(read.strings[1], version);
    EXPECT_FALSE(read.strings[2].empty());
    EXPECT_EQ(read.strings[3], program.file_name);
    EXPECT_EQ(read.strings[4], Wide(TAVERLY_COMPANY_NAME));
    EXPECT_FALSE(read.strings[5].empty());
  }
}

}  // namespace
