// A program, script or library opened and judged runs exactly as judged on
// Windows, whatever happens to the folders on its path. Under Wine a folder
// holding an open file can be renamed and another put in its place; Windows
// refuses that, and then the judged file runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "Platform/process/process.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class OpenedWin32Test : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetBeforeOpenedUseForTesting(nullptr); }

  // Puts a copy of source at app\name, the file a test opens, and another
  // copy at other\name; then, after the check, tries to rename app away and
  // other into its place. swapped_ tells whether the system let it.
  std::wstring SwapFolderAtUse(const std::string& source, const std::string& name) {
    for (const char* folder : {"app", "other"}) {
      fs::create_directory(tmp_.Join(folder));
      fs::copy_file(source, tmp_.Join(folder) + "\\" + name);
    }
    platform::SetBeforeOpenedUseForTesting([this] {
      swapped_ = MoveFileW(Wide(tmp_.Join("app")).c_str(), Wide(tmp_.Join("checked")).c_str()) &&
                 MoveFileW(Wide(tmp_.Join("other")).c_str(), Wide(tmp_.Join("app")).c_str());
    });
    return Wide(tmp_.Join("app") + "\\" + name);
  }

  TempFolder tmp_;
  bool swapped_ = false;
};

TEST_F(OpenedWin32Test, SwappedFolderStartsNothingButTheCheckedProgram) {
  for (const bool capture : {false, true}) {
    SCOPED_TRACE(capture);
    const std::wstring program = SwapFolderAtUse(TAVERLY_PROBE_PATH, "probe.exe");
    platform::ProgramResult result;
    {
      platform::ReadOnlyFile file;
      ASSERT_TRUE(file.Open(program));
      platform::ProgramRequest request;
      request.file = program;
      request.parameters = L"--record=" + tmp_.wpath() + L"\\ran.txt --exit=7";
      request.wait = true;
      request.capture_output = capture;
      request.opened = &file;
      result = platform::StartProgram(request);
    }
    EXPECT_EQ(swapped_, UnderWine());
    if (swapped_) {
      EXPECT_FALSE(result.started);
      EXPECT_EQ(result.start_error, static_cast<uint32_t>(ERROR_FILE_INVALID));
      EXPECT_FALSE(fs::exists(tmp_.Join("ran.txt")));
    } else {
      EXPECT_TRUE(result.started);
      EXPECT_EQ(result.exit_code, 7u);
    }
    platform::SetBeforeOpenedUseForTesting(nullptr);
    fs::remove_all(tmp_.Join("app"));
    fs::remove_all(tmp_.Join("checked"));
    fs::remove_all(tmp_.Join("other"));
  }
}

TEST_F(OpenedWin32Test, SwappedFolderLoadsNothingButTheCheckedLibrary) {
  const std::wstring library = SwapFolderAtUse(TAVERLY_PROBE_LIBRARY_PATH, "probe.dll");
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(library));
  uint32_t error = 0;
  void* loaded =
      platform::LoadOpenedLibrary(file, library, platform::DependencySearch::kSystemOnly, &error);
  EXPECT_EQ(swapped_, UnderWine());
  if (swapped_) {
    EXPECT_EQ(loaded, nullptr);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_INVALID));
    // Nothing of the file put in its place was loaded, so none of it ran.
    EXPECT_EQ(GetModuleHandleW(library.c_str()), nullptr);
  } else {
    EXPECT_NE(platform::FindExport(loaded, "ReturnMinusOne"), nullptr);
  }
}

// The loader hands back a module it already has under the same path: one
// loaded without a check may not pass for the checked file.
TEST_F(OpenedWin32Test, LibraryLoadedUncheckedUnderItsPathIsRefused) {
  const std::string library = tmp_.Join("probe.dll");
  fs::copy_file(TAVERLY_PROBE_LIBRARY_PATH, library);
  uint32_t error = 0;
  ASSERT_NE(platform::LoadLibraryFile(Wide(library), &error), nullptr) << error;
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(Wide(library)));
  EXPECT_EQ(platform::LoadOpenedLibrary(
                file, Wide(library), platform::DependencySearch::kSystemOnly, &error),
            nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_INVALID));
  // Loaded as checked, a second load of the same file is that module.
  const std::string checked = tmp_.Join("checked.dll");
  fs::copy_file(TAVERLY_PROBE_LIBRARY_PATH, checked);
  platform::ReadOnlyFile first, second;
  ASSERT_TRUE(first.Open(Wide(checked)) && second.Open(Wide(checked)));
  void* module = platform::LoadOpenedLibrary(
      first, Wide(checked), platform::DependencySearch::kSystemOnly, &error);
  ASSERT_NE(module, nullptr) << error;
  EXPECT_EQ(platform::LoadOpenedLibrary(
                second, Wide(checked), platform::DependencySearch::kSystemOnly, &error),
            module);
}

// The command processor reads a script line by line while it runs: the
// script stays held against writing from the start to its end, also when
// nobody waits for it and the opened file is closed at once.
TEST_F(OpenedWin32Test, ScriptStartedWithoutWaitingStaysHeldUntilItEnds) {
  const std::wstring script = tmp_.wpath() + L"\\held.cmd";
  WriteTextFile(tmp_.Join("held.cmd"),
                "@echo off\r\n:wait\r\nif not exist \"%~dp0go\" goto wait\r\nexit /b 0\r\n");
  {
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(script));
    platform::ProgramRequest request;
    request.file = script;
    request.opened = &file;
    ASSERT_TRUE(platform::StartProgram(request).started);
  }
  const auto writable = [&] {
    HANDLE writer = CreateFileW(script.c_str(),
                                GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr,
                                OPEN_EXISTING,
                                0,
                                nullptr);
    if (writer == INVALID_HANDLE_VALUE) return false;
    CloseHandle(writer);
    return true;
  };
  EXPECT_FALSE(writable());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  WriteTextFile(tmp_.Join("go"), "");
  bool released = false;
  for (int i = 0; i < 300 && !released; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    released = writable();
  }
  EXPECT_TRUE(released) << "the script did not end";
}

}  // namespace
