// Starting programs on POSIX: the errors a start gives, and that
// CanStartProgram predicts them; exit codes, containment, time limits, and
// an opened program started as it was checked.
#include "Platform/process/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "Platform/files/files.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace {

platform::ProgramResult Start(const std::string& file, const std::wstring& parameters = L"",
                              uint32_t timeout_ms = 0) {
  platform::ProgramRequest request;
  request.file = Wide(file);
  request.parameters = parameters;
  request.wait = true;
  request.timeout_ms = timeout_ms;
  return platform::StartProgram(request);
}

class ProcessPosixTest : public ::testing::Test {
 protected:
  void AddFile(const std::string& name, const std::string& content, mode_t mode) {
    WriteTextFile(tmp_.Join(name), content);
    chmod(tmp_.Join(name).c_str(), mode);
  }
  TempFolder tmp_;
};

TEST_F(ProcessPosixTest, StartErrorsAreReportedAndPredicted) {
  AddFile("script", "#!/bin/sh\nexit 3\n", 0755);
  AddFile("plain", "#!/bin/sh\nexit 0\n", 0644);
  AddFile("no-format", "echo but no interpreter line\n", 0755);
  struct Case {
    std::string file;
    uint32_t error;  // 0: starts
  };
  const Case cases[] = {
      {tmp_.Join("script"), 0},
      {tmp_.Join("plain"), EACCES},
      {tmp_.Join("no-format"), ENOEXEC},
      {tmp_.path(), EACCES},
      {tmp_.Join("missing"), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const platform::ProgramResult result = Start(c.file);
    EXPECT_EQ(result.started, c.error == 0);
    EXPECT_EQ(result.start_error, c.error);
    // With a time limit it starts in a control group, by another way.
    EXPECT_EQ(Start(c.file, L"", 30000).start_error, c.error);
    uint32_t predicted = 12345;
    EXPECT_EQ(platform::CanStartProgram(Wide(c.file), &predicted), c.error == 0);
    EXPECT_EQ(predicted, c.error);
  }
  EXPECT_EQ(Start(tmp_.Join("script")).exit_code, 3u);
  uint32_t error = 0;
  EXPECT_FALSE(platform::CanStartProgram(L"", &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
}

TEST_F(ProcessPosixTest, ExitCodesAndSignalsAsTheRunnerSeesThem) {
  AddFile("killed", "#!/bin/sh\nkill -9 $$\n", 0755);
  const platform::ProgramResult killed = Start(tmp_.Join("killed"));
  ASSERT_TRUE(killed.started);
  EXPECT_TRUE(killed.has_process);
  EXPECT_EQ(killed.exit_code, 128u + 9u);
  EXPECT_EQ(killed.signal, 9u);

  platform::ProgramRequest request;
  request.file = L"/bin/sleep";
  request.parameters = L"1";
  const platform::ProgramResult running = platform::StartProgram(request);
  ASSERT_TRUE(running.started);
  EXPECT_EQ(running.exit_code, platform::kStillActive);
}

TEST_F(ProcessPosixTest, ATimeLimitContainsTheProgramInAGroupOfItsOwn) {
  AddFile("group",
          "#!/bin/sh\necho $$ $(cut -d' ' -f5 /proc/$$/stat) $(grep ^0:: /proc/$$/cgroup) "
          "$(readlink /proc/$$/ns/cgroup) > \"$1\"\n",
          0755);
  platform::ProgramRequest request;
  request.file = Wide(tmp_.Join("group"));
  request.parameters = Wide(tmp_.Join("plain.txt"));
  request.wait = true;
  ASSERT_TRUE(platform::StartProgram(request).started);
  request.parameters = Wide(tmp_.Join("limited.txt"));
  request.timeout_ms = 30000;
  ASSERT_TRUE(platform::StartProgram(request).started);
  long pid = 0, group = 0;
  std::string plain_cgroup, limited_cgroup, plain_namespace, limited_namespace;
  std::istringstream plain(ReadTextFile(tmp_.Join("plain.txt")));
  ASSERT_TRUE(plain >> pid >> group >> plain_cgroup >> plain_namespace);
  // Never in the caller's process group, and, but for a limit without a
  // control group, not leading its own, so it may make a session.
  EXPECT_NE(group, static_cast<long>(getpgrp()));
  EXPECT_NE(group, pid);
  std::istringstream limited(ReadTextFile(tmp_.Join("limited.txt")));
  ASSERT_TRUE(limited >> pid >> group >> limited_cgroup >> limited_namespace);
  if (limited_namespace != plain_namespace) {
    EXPECT_EQ(limited_cgroup, "0::/");
    EXPECT_NE(group, static_cast<long>(getpgrp()));
    EXPECT_NE(group, pid);
  } else {
    EXPECT_EQ(group, pid);
  }
}

TEST_F(ProcessPosixTest, ProgramPastItsLimitIsEndedAndItsOutputKept) {
  AddFile("slow", "#!/bin/sh\necho started\necho on error >&2\nexec sleep 30\n", 0755);
  platform::ProgramRequest request;
  request.file = Wide(tmp_.Join("slow"));
  request.wait = true;
  request.timeout_ms = 200;
  request.capture_output = true;
  const platform::ProgramResult result = platform::StartProgram(request);
  ASSERT_TRUE(result.started);
  EXPECT_TRUE(result.timed_out);
  EXPECT_TRUE(result.ended_all);
  EXPECT_EQ(result.exit_code, 128u + SIGTERM);
  ASSERT_TRUE(result.output_captured);
  EXPECT_EQ(result.output.head, "started\non error\n");
  EXPECT_EQ(result.output.size, 17u);
  EXPECT_EQ(result.output.tail, "");

  // In time: judged by its code, nothing else changes.
  request.file = L"/bin/sh";
  request.parameters = L"-c \"exit 4\"";
  const platform::ProgramResult quick = platform::StartProgram(request);
  EXPECT_FALSE(quick.timed_out);
  EXPECT_EQ(quick.exit_code, 4u);
  EXPECT_EQ(quick.output.size, 0u);
}

}  // namespace

namespace {

// A program opened and judged is what starts, though another file is
// renamed over its name between the check and the use.
class OpenedFileTest : public ProcessPosixTest {
 protected:
  void TearDown() override { platform::SetBeforeOpenedUseForTesting(nullptr); }
  // After the check, an executable script ending with exit_code is renamed
  // over name.
  void SwapAtUse(const std::string& name, int exit_code) {
    AddFile("swap", "#!/bin/sh\nexit " + std::to_string(exit_code) + "\n", 0755);
    platform::SetBeforeOpenedUseForTesting(
        [this, name] { ASSERT_EQ(rename(tmp_.Join("swap").c_str(), tmp_.Join(name).c_str()), 0); });
  }
};

TEST_F(OpenedFileTest, SwappedProgramOrScriptStartsAsItWasChecked) {
  // A script with parameters: its interpreter reads the checked file through
  // the inherited descriptor.
  AddFile("script", "#!/bin/sh\n[ \"$1 $2\" = \"a b c\" ] && exit 7\nexit 8\n", 0755);
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(Wide(tmp_.Join("script"))));
  SwapAtUse("script", 9);
  platform::ProgramRequest request;
  request.file = Wide(tmp_.Join("script"));
  request.parameters = L"a \"b c\"";
  request.wait = true;
  request.opened = &file;
  const platform::ProgramResult result = platform::StartProgram(request);
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exit_code, 7u);
  // The name itself now leads to the swapped file.
  platform::SetBeforeOpenedUseForTesting(nullptr);
  EXPECT_EQ(Start(tmp_.Join("script")).exit_code, 9u);
  // A file that did not open is started by nobody.
  platform::ReadOnlyFile closed;
  request.opened = &closed;
  EXPECT_FALSE(platform::StartProgram(request).started);
  uint32_t error = 0;
  EXPECT_EQ(platform::LoadOpenedLibrary(
                closed, request.file, platform::DependencySearch::kAsUnsigned, &error),
            nullptr);
  EXPECT_NE(error, 0u);
}

}  // namespace

// A person's program runs as that person (user, group, groups), in a session
// of its own, with the session's environment alone and nothing to read: started plainly, with a
// time limit (through the control group's launcher where there is one) and
// as an opened file; past its limit, it and what it started are ended.
TEST_F(ProcessPosixTest, AsUserRunsWithThePersonsIdentityAndEnvironment) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can start a program as another user";
  chmod(tmp_.path().c_str(), 0755);
  AddFile("who",
          "#!/bin/sh\n/usr/bin/id -u; /usr/bin/id -g; /usr/bin/id -G\n"
          "[ $(/usr/bin/cut -d' ' -f6 /proc/$$/stat) -eq $$ ] && echo leads\n"
          "/usr/bin/readlink /proc/self/fd/0\n"
          "/usr/bin/env | /bin/grep -v ^PWD=  # the shell adds PWD\n",
          0755);
  platform::UserSession person;
  person.uid = person.gid = 65534;
  person.groups = {65534, 4};
  person.environment = {"HOME=/nonexistent", "ONLY=this"};
  const auto start =
      [&](const std::string& name, uint32_t timeout_ms, const platform::ReadOnlyFile* opened) {
        platform::ProgramRequest request;
        request.file = Wide(tmp_.Join(name));
        request.wait = request.capture_output = true;
        request.timeout_ms = timeout_ms;
        request.opened = opened;
        request.as_user = &person;
        return platform::StartProgram(request);
      };
  // The test's own standard input is a pipe meanwhile: none of it reaches the program.
  int pipe_ends[2] = {-1, -1};
  const int own_input = dup(STDIN_FILENO);
  ASSERT_TRUE(pipe(pipe_ends) == 0 && dup2(pipe_ends[0], STDIN_FILENO) == STDIN_FILENO);
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(Wide(tmp_.Join("who"))));
  for (const platform::ReadOnlyFile* opened :
       {static_cast<platform::ReadOnlyFile*>(nullptr), &file}) {
    for (uint32_t timeout_ms : {0u, 30000u}) {
      SCOPED_TRACE(std::to_string(timeout_ms) + (opened != nullptr ? " opened" : ""));
      const platform::ProgramResult result = start("who", timeout_ms, opened);
      EXPECT_EQ(result.output.head,
                "65534\n65534\n65534 4\nleads\n/dev/null\nHOME=/nonexistent\nONLY=this\n");
      EXPECT_EQ(result.exit_code, 0u);
    }
  }
  dup2(own_input, STDIN_FILENO);
  for (int fd : {own_input, pipe_ends[0], pipe_ends[1]}) close(fd);
  AddFile("stays", "#!/bin/sh\n/bin/sleep 60 & /bin/sleep 60\n", 0755);
  const platform::ProgramResult ended = start("stays", 300, nullptr);
  EXPECT_TRUE(ended.timed_out && ended.ended_all);
  person.groups.assign(65537, 65534);  // more than the kernel takes: nothing runs
  EXPECT_EQ(start("who", 30000, nullptr).start_error, static_cast<uint32_t>(EINVAL));
}
