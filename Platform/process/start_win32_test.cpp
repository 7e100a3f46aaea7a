// Starting programs on Windows as the real Win32 calls do it: exit codes,
// names, the job a timed program is in before it runs, an opened program
// that cannot be swapped, start errors, and captured output read as it comes.
#include "Platform/process/process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Platform/files/files.h"
#include "Platform/process/process_win32.h"
#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Starts a program and answers its exit code, or 0xDEAD when nothing started.
uint32_t ExitCodeOf(const std::wstring& file, const std::wstring& parameters, bool wait = true) {
  platform::ProgramRequest request;
  request.file = file;
  request.parameters = parameters;
  request.wait = wait;
  const platform::ProgramResult result = platform::StartProgram(request);
  return result.started && result.has_process ? result.exit_code : 0xDEADu;
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class PlatformWin32ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = platform::GetEnvironmentValue("PATH");
    saved_cwd_ = fs::current_path();
  }
  void TearDown() override {
    platform::win32::SetSecondaryLogonForTesting(false);
    platform::SetPathVariable(saved_path_);
    fs::current_path(saved_cwd_);
  }

  TempFolder tmp_;
  const std::wstring probe_ = Wide(TAVERLY_PROBE_PATH);
  std::string saved_path_;
  fs::path saved_cwd_;
};

TEST_F(PlatformWin32ProcessTest, PathTakesASemicolonAndReachesStartedPrograms) {
  ASSERT_TRUE(platform::SetPathVariable("C:\\Windows"));
  LogCapture log;
  AddFolderToProcessPath(tmp_.wpath());
  const std::string expected = "C:\\Windows;" + tmp_.path();
  EXPECT_EQ(platform::GetEnvironmentValue("PATH"), expected);
  // The runtime's assignment reaches the environment that Windows hands on.
  wchar_t buffer[1024] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"PATH", buffer, 1024), 0u);
  EXPECT_EQ(std::wstring(buffer), Wide(expected));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"I:add PATH:  PATH=" + expected + "  to Process Path",
                                      "I:set current running path:  " + tmp_.path()}));

  EXPECT_EQ(ExitCodeOf(probe_, L"--record=record.txt"), 0u);
  const std::string record = ReadTextFile(tmp_.Join("record.txt"));
  EXPECT_NE(record.find("\ncwd=" + tmp_.path() + "\npath=" + expected + "\n"), std::string::npos)
      << record;
}

TEST_F(PlatformWin32ProcessTest, ExitCodesKeepAllThirtyTwoBits) {
  EXPECT_EQ(ExitCodeOf(probe_, L"--exit=-1"), 0xFFFFFFFFu);
  EXPECT_EQ(ExitCodeOf(probe_, L"--exit=2147483647"), 0x7FFFFFFFu);
  EXPECT_EQ(ExitCodeOf(probe_, L"--sleep-ms=500", false), platform::kStillActive);
}

TEST_F(PlatformWin32ProcessTest, NameWithBlanksIsQuotedForTheShell) {
  const std::string folder = tmp_.Join("Program Files");
  fs::create_directory(folder);
  fs::copy_file(TAVERLY_PROBE_PATH, folder + "\\probe two.exe");
  EXPECT_EQ(ExitCodeOf(Wide(folder + "\\probe two.exe"), L"--exit=3"), 3u);
  // A command script's processor is told to skip the registry's AutoRun.
  const std::wstring cmd = platform::win32::SystemCommandProcessor();
  EXPECT_EQ(platform::win32::CommandLineFor(L"C:\\p q\\a.cmd", L"C:\\p q\\a.cmd", L"x").text,
            L"\"" + cmd + L"\" /D /c \"\"C:\\p q\\a.cmd\" x\"");
}

// A program with a time limit is in its job before it runs: however late
// the job comes, nothing it starts is outside it.
TEST_F(PlatformWin32ProcessTest, TimedProgramIsInItsJobBeforeItRuns) {
  const std::string ticks = tmp_.Join("ticks.txt");
  platform::win32::SetBeforeJobForTesting([] { Sleep(1500); });
  platform::ProgramRequest request;
  request.file = probe_;
  request.parameters =
      Wide("--child=--tick=" + ticks + " --child=--sleep-ms=20000 --sleep-ms=20000");
  request.wait = true;
  request.timeout_ms = 1000;
  const platform::ProgramResult result = platform::StartProgram(request);
  platform::win32::SetBeforeJobForTesting(nullptr);
  EXPECT_TRUE(result.timed_out);
  EXPECT_TRUE(result.ended_all);
  EXPECT_FALSE(result.may_have_escaped);
  const size_t before = ReadTextFile(ticks).size();
  EXPECT_GT(before, 0u) << "the child never ran";
  Sleep(600);
  EXPECT_EQ(ReadTextFile(ticks).size(), before) << "the child runs on outside the job";
}

// A program opened and judged can be neither replaced, renamed nor written
// until its start has returned: the handle shares no write or delete access.
// The start (through the shell, and captured through CreateProcessW) shares it.
TEST_F(PlatformWin32ProcessTest, OpenedProgramCannotBeSwappedBeforeItStarts) {
  const std::wstring program = tmp_.wpath() + L"\\checked.exe";
  const std::wstring other = tmp_.wpath() + L"\\other.exe";
  ASSERT_TRUE(CopyFileW(probe_.c_str(), program.c_str(), FALSE));
  for (const bool capture : {false, true}) {
    SCOPED_TRACE(capture);
    ASSERT_TRUE(CopyFileW(probe_.c_str(), other.c_str(), FALSE));
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(program));
    std::vector<bool> changed;
    platform::SetBeforeOpenedUseForTesting([&] {
      changed.push_back(MoveFileExW(other.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING));
      changed.push_back(MoveFileExW(program.c_str(), (program + L".old").c_str(), 0));
      changed.push_back(DeleteFileW(program.c_str()));
      HANDLE writer = CreateFileW(program.c_str(),
                                  GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr,
                                  OPEN_EXISTING,
                                  0,
                                  nullptr);
      changed.push_back(writer != INVALID_HANDLE_VALUE);
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    });
    platform::ProgramRequest request;
    request.file = program;
    request.parameters = L"--exit=7";
    request.wait = true;
    request.capture_output = capture;
    request.opened = &file;
    const platform::ProgramResult result = platform::StartProgram(request);
    platform::SetBeforeOpenedUseForTesting(nullptr);
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exit_code, 7u);
    EXPECT_EQ(changed, std::vector<bool>(4, false));
  }
  platform::ReadOnlyFile device;
  EXPECT_FALSE(device.Open(tmp_.wpath() + L"\\NUL"));
}

TEST_F(PlatformWin32ProcessTest, StartErrorsAreReportedAndPredicted) {
  WriteTextFile(tmp_.Join("plain"), "no type, no open action");
  platform::ProgramRequest request;
  request.file = Wide(tmp_.Join("plain"));
  request.wait = true;
  const platform::ProgramResult result = platform::StartProgram(request);
  EXPECT_FALSE(result.started);
  EXPECT_NE(result.start_error, 0u);
  uint32_t error = 0;
  EXPECT_FALSE(platform::CanStartProgram(request.file, &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_NO_ASSOCIATION));
  EXPECT_FALSE(platform::CanStartProgram(tmp_.wpath() + L"\\missing.exe", &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(platform::CanStartProgram(probe_, &error));
  EXPECT_EQ(error, 0u);
}

// The pipe holds 1 MiB: a program that writes more goes on only while the
// wait reads, and the wait's ticks go on meanwhile.
TEST_F(PlatformWin32ProcessTest, CapturedOutputIsReadAsItComesWhileTheWaitTicks) {
  platform::ProgramRequest request;
  request.file = probe_;
  request.parameters = L"--out-bytes=3145728 --sleep-ms=1200 --out-after=end";
  request.wait = true;
  request.capture_output = true;
  int ticks = 0;
  request.while_waiting = [&ticks] { ++ticks; };
  for (const uint32_t timeout_ms : {0u, 60000u}) {
    SCOPED_TRACE(timeout_ms);
    ticks = 0;
    request.timeout_ms = timeout_ms;
    const platform::ProgramResult result = platform::StartProgram(request);
    ASSERT_TRUE(result.started) << result.start_error;
    ASSERT_TRUE(result.output_captured);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output.size, 3145728u + 3u);
    EXPECT_EQ(result.output.head.substr(0, 64), std::string(63, 'x') + "\n");
    EXPECT_EQ(result.output.tail.substr(result.output.tail.size() - 4), "\nend");
    EXPECT_GE(ticks, 2);
  }
}

// Wine lists no session, and its WTSQueryUserToken gives this process's own
// token for any session: enough to run a start as a user there (the token,
// the user's environment block, the desktop, the pipe), though not as another.
TEST_F(PlatformWin32ProcessTest, StartsAsASessionsUserInTheUsersEnvironment) {
  std::vector<platform::UserSession> sessions(1);
  uint32_t error = 1;
  EXPECT_TRUE(platform::FindUserSessions(platform::SessionChoice::kAll, L"", &sessions, &error));
  EXPECT_EQ(error, 0u);
  if (!UnderWine()) GTEST_SKIP() << "the rest holds under Wine only";
  EXPECT_TRUE(sessions.empty());
  ASSERT_TRUE(platform::SetPathVariable("C:\\Windows;" + tmp_.path()));
  fs::current_path(tmp_.path());
  platform::UserSession user;
  user.session_id = 1;
  platform::ProgramRequest request;
  request.file = probe_;
  request.parameters = L"--record=record.txt --out=seen --exit=9";
  request.wait = true;
  request.capture_output = true;
  request.as_user = &user;
  // Also as an administrator's start goes (Wine's CreateProcessWithTokenW
  // creates the process as CreateProcessW would, whatever the token).
  for (const bool secondary_logon : {false, true}) {
    SCOPED_TRACE(secondary_logon);
    platform::win32::SetSecondaryLogonForTesting(secondary_logon);
    fs::remove(tmp_.Join("record.txt"));
    const platform::ProgramResult result = platform::StartProgram(request);
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 9u);
    EXPECT_EQ(result.output.head, "seen");
    // The current folder is this process's; the PATH is the user's, not ours.
    const std::string record = ReadTextFile(tmp_.Join("record.txt"));
    EXPECT_NE(record.find("\ncwd=" + tmp_.path() + "\npath="), std::string::npos) << record;
    EXPECT_EQ(record.find(tmp_.path() + "\n[end]"), std::string::npos) << record;
    // A judged program is still started exactly as judged.
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(probe_));
    request.opened = &file;
    EXPECT_EQ(platform::StartProgram(request).exit_code, 9u);
    request.opened = nullptr;
  }
  request.file = Wide(tmp_.Join("notes.txt"));
  EXPECT_EQ(platform::StartProgram(request).start_error,
            static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
}

}  // namespace
