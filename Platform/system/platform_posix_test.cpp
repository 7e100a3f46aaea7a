// POSIX equivalents of the Windows behaviour the program relies on.
#include "Platform/files/files.h"
#include "Platform/process/program_search.h"
#include "Platform/system/system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"
#include "Rules/instance_guard.h"
#include "tests/support/builders.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

TEST(PlatformPosixTest, NarrowTextIsUtf8) {
  std::string text = "C:\\Programme\\Sch\xC3\xB6n \xE2\x82\xAC";
  std::wstring wide = platform::NarrowToWide(text.data(), text.size());
  EXPECT_EQ(wide, L"C:\\Programme\\Sch\u00F6n \u20AC");
  EXPECT_EQ(platform::WideToNarrow(wide), text);
}

// Whatever stands in place of the lock file is made a regular file again,
// which then keeps a second copy out; what cannot be removed leaves no handle.
TEST(PlatformPosixTest, LockFileThatIsNoRegularFileIsMadeAnew) {
  TempFolder tmp;
  ASSERT_EQ(mkfifo(tmp.Join("fifo").c_str(), 0600), 0);
  fs::create_directories(tmp.Join("full/x"));
  const platform::GuardFacts fifo = platform::posix::ClaimLockFile(tmp.path(), "fifo");
  EXPECT_EQ(platform::DecideInstanceClaim(fifo), platform::InstanceClaim::kMadeAnew);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(tmp.Join("fifo"))));
  EXPECT_TRUE(platform::posix::ClaimLockFile(tmp.path(), "fifo").taken);
  const platform::GuardFacts full = platform::posix::ClaimLockFile(tmp.path(), "full");
  EXPECT_EQ(platform::DecideInstanceClaim(full), platform::InstanceClaim::kNoHandle);
  EXPECT_EQ(full.error, static_cast<uint32_t>(ENOTEMPTY));
}

TEST(PlatformPosixTest, TempFolderComesFromTmpdirWhenSet) {
  const char* saved = std::getenv("TMPDIR");
  std::string old = saved != nullptr ? saved : "";
  setenv("TMPDIR", "/var/tmp/x", 1);
  EXPECT_EQ(platform::TempFolder(), L"/var/tmp/x");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(platform::TempFolder(), L"/tmp");
  // A relative one is made whole against the working directory of the moment.
  setenv("TMPDIR", "rel/t", 1);
  EXPECT_EQ(platform::TempFolder(), (std::filesystem::current_path() / "rel/t").wstring());
  if (saved != nullptr)
    setenv("TMPDIR", old.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

// The system's own file: root's, and nothing on its way that others may
// change or that lies in the product folder, through every link.
TEST(PlatformPosixTest, SystemOwnFileIsRootsAloneAllTheWay) {
  EXPECT_TRUE(platform::IsSystemOwnFile(L"/bin/sh", L""));
  EXPECT_TRUE(platform::IsSystemOwnFile(L"/bin/sh", L"/opt/none"));
  EXPECT_FALSE(platform::IsSystemOwnFile(L"/bin/sh", L"/"));
  EXPECT_FALSE(platform::IsSystemOwnFile(L"sh", L""));
  EXPECT_FALSE(platform::IsSystemOwnFile(L"/bin", L""));
  EXPECT_FALSE(platform::IsSystemOwnFile(L"/bin/no-such-file", L""));
  TempFolder tmp;
  const std::string link = tmp.Join("sh");
  ASSERT_EQ(symlink("/bin/sh", link.c_str()), 0);
  // What the link leads to is the system's, but others may replace the link.
  chmod(tmp.path().c_str(), 0777);
  EXPECT_FALSE(platform::IsSystemOwnFile(tmp.wpath() + L"/sh", L""));
}

TEST(PlatformPosixTest, CombinePathAddsOneSeparator) {
  EXPECT_EQ(platform::CombinePath(L"/tmp", L"hoxinst_log"), L"/tmp/hoxinst_log");
  EXPECT_EQ(platform::CombinePath(L"/tmp/", L"hoxinst_log"), L"/tmp/hoxinst_log");
}

TEST(PlatformPosixTest, LogFolderIsCreatedOwnerOnly) {
  TempFolder tmp;
  std::string folder = tmp.Join("a/b/hoxinst_log");
  ASSERT_TRUE(platform::PrepareLogFolder(Wide(folder)));
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // An existing folder is reused.
  EXPECT_TRUE(platform::PrepareLogFolder(Wide(folder)));
}

TEST(PlatformPosixTest, PlantedLogFoldersAreRefused) {
  TempFolder tmp;
  std::string open_folder = tmp.Join("open");
  fs::create_directory(open_folder);
  chmod(open_folder.c_str(), 0777);
  EXPECT_FALSE(platform::PrepareLogFolder(Wide(open_folder)));

  std::string target = tmp.Join("target"), link = tmp.Join("link");
  fs::create_directory(target);
  chmod(target.c_str(), 0700);
  fs::create_directory_symlink(target, link);
  EXPECT_FALSE(platform::PrepareLogFolder(Wide(link)));

  // Nor is an INI file written through them.
  uint32_t error = 0;
  std::string ini = open_folder + "/r.dat";
  EXPECT_FALSE(platform::WriteProfileString(L"s", L"k", L"v", Wide(ini), &error));
  EXPECT_EQ(error, 13u);
  EXPECT_FALSE(fs::exists(ini));
}

TEST(PlatformPosixTest, WriteProfileStringCreatesAndUpdatesTheFile) {
  TempFolder tmp;
  std::wstring path = tmp.wpath() + platform::kPathSeparator + L"r.dat";
  uint32_t error = 0;
  ASSERT_TRUE(platform::WriteProfileString(L"result", L"is_success", L"false", path, &error));
  ASSERT_TRUE(platform::WriteProfileString(L"error_info", L"error_code", L"GLE:2", path, &error));
  ASSERT_TRUE(platform::WriteProfileString(L"Result", L"IS_SUCCESS", L"true", path, &error));
  EXPECT_EQ(ReadTextFile(tmp.Join("r.dat")),
            "[result]\nis_success=true\n[error_info]\nerror_code=GLE:2\n");
}

TEST(PlatformPosixTest, WriteProfileStringKeepsModeAndLeavesNoTemporaryFile) {
  TempFolder tmp;
  chmod(tmp.path().c_str(), 0700);
  std::string file = tmp.Join("r.dat");
  WriteTextFile(file, "[a]\r\nk=1\r\n");
  chmod(file.c_str(), 0600);
  uint32_t error = 0;
  ASSERT_TRUE(platform::WriteProfileString(L"a", L"k", L"2", Wide(file), &error));
  EXPECT_EQ(ReadTextFile(file), "[a]\r\nk=2\r\n");
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
}

// A link in place of the file is neither followed nor left to fail every
// write: the written file takes its place.
TEST(PlatformPosixTest, WriteProfileStringReplacesALinkInPlaceOfTheFile) {
  TempFolder tmp;
  chmod(tmp.path().c_str(), 0700);
  WriteTextFile(tmp.Join("victim"), "keep");
  fs::create_symlink(tmp.Join("victim"), tmp.Join("r.dat"));
  uint32_t error = 0;
  std::string file = tmp.Join("r.dat");
  EXPECT_TRUE(platform::WriteProfileString(L"a", L"k", L"v", Wide(file), &error));
  EXPECT_EQ(ReadTextFile(tmp.Join("victim")), "keep");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
  EXPECT_EQ(ReadTextFile(file), "[a]\nk=v\n");
}

// Runs read on another thread; a read that blocks is set free by opening
// the FIFO's other end, so a regression fails instead of hanging the suite.
bool ReadsWithoutBlocking(const std::string& fifo, std::string* content, bool* opened) {
  auto read =
      std::async(std::launch::async, [&] { return platform::ReadFileText(Wide(fifo), content); });
  if (read.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
    *opened = read.get();
    return true;
  }
  int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (writer >= 0) close(writer);
  *opened = read.get();
  return false;
}

// A secret file is closed to others from the moment it exists, whatever the
// umask lets through; a link in its place is never followed.
TEST(PlatformPosixTest, CreateNewFileIsOwnerOnlyFromTheStartAndFollowsNoLink) {
  TempFolder tmp;
  const mode_t old_mask = umask(0);
  uint32_t error = 0;
  const bool secret = platform::CreateNewFile(Wide(tmp.Join("a.key")), "s", true, &error);
  const bool open = platform::CreateNewFile(Wide(tmp.Join("a.pub")), "p", false, &error);
  umask(old_mask);
  ASSERT_TRUE(secret);
  ASSERT_TRUE(open);
  struct stat st;
  ASSERT_EQ(stat(tmp.Join("a.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(tmp.Join("a.pub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  ASSERT_EQ(symlink(tmp.Join("elsewhere").c_str(), tmp.Join("b.key").c_str()), 0);
  EXPECT_FALSE(platform::CreateNewFile(Wide(tmp.Join("b.key")), "s", true, &error));
  EXPECT_EQ(error, static_cast<uint32_t>(EEXIST));
  EXPECT_FALSE(std::filesystem::exists(tmp.Join("elsewhere")));
}

TEST(PlatformPosixTest, AFifoInPlaceOfATextFileReadsAsEmptyAtOnce) {
  TempFolder tmp;
  const std::string fifo = tmp.Join("mod_x.xml");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string content = "stale";
  bool opened = true;
  EXPECT_TRUE(ReadsWithoutBlocking(fifo, &content, &opened)) << "the read blocked on a FIFO";
  EXPECT_FALSE(opened);
  EXPECT_EQ(content, "");
}

TEST(PlatformPosixTest, RemoveProfileFileRemovesFilesAndLinksOnly) {
  TempFolder tmp;
  chmod(tmp.path().c_str(), 0700);
  uint32_t error = 0;
  WriteTextFile(tmp.Join("r.dat"), "[result]\nis_success=true\n");
  EXPECT_EQ(platform::RemoveProfileFile(Wide(tmp.Join("r.dat")), &error),
            platform::RemoveOutcome::kRemoved);
  EXPECT_FALSE(fs::exists(tmp.Join("r.dat")));
  EXPECT_EQ(platform::RemoveProfileFile(Wide(tmp.Join("r.dat")), &error),
            platform::RemoveOutcome::kNothing);

  // A link is removed itself, never what it points at; a folder stays.
  WriteTextFile(tmp.Join("victim"), "keep");
  fs::create_symlink(tmp.Join("victim"), tmp.Join("link.dat"));
  EXPECT_EQ(platform::RemoveProfileFile(Wide(tmp.Join("link.dat")), &error),
            platform::RemoveOutcome::kRemoved);
  EXPECT_EQ(ReadTextFile(tmp.Join("victim")), "keep");
  fs::create_directory(tmp.Join("folder.dat"));
  EXPECT_EQ(platform::RemoveProfileFile(Wide(tmp.Join("folder.dat")), &error),
            platform::RemoveOutcome::kNothing);
  EXPECT_TRUE(fs::is_directory(tmp.Join("folder.dat")));

  // What another account planted goes too, relative to the folder's handle:
  // a file in a folder it could write, a link in the folder's place with a
  // file behind it (never that file); a link with nothing behind it stays.
  const std::string open_folder = tmp.Join("open");
  fs::create_directory(open_folder);
  chmod(open_folder.c_str(), 0777);
  WriteTextFile(open_folder + "/r.dat", "x");
  EXPECT_EQ(platform::RemoveProfileFile(Wide(open_folder + "/r.dat"), &error),
            platform::RemoveOutcome::kRemoved);
  EXPECT_FALSE(fs::exists(open_folder + "/r.dat"));
  fs::create_directory_symlink(open_folder, tmp.Join("linked"));
  EXPECT_EQ(platform::RemoveProfileFile(Wide(tmp.Join("linked/r.dat")), &error),
            platform::RemoveOutcome::kNothing);
  WriteTextFile(open_folder + "/r.dat", "x");
  EXPECT_EQ(platform::RemoveProfileFile(Wide(tmp.Join("linked/r.dat")), &error),
            platform::RemoveOutcome::kRemoved);
  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.Join("linked"))));
  EXPECT_EQ(ReadTextFile(open_folder + "/r.dat"), "x");
}

// Whether a lock file says someone is busy: a lock of another process does,
// one of this process's own caller (its parent, up the line) does not, and a
// FIFO or a missing file says nothing, without blocking.
TEST(PlatformPosixTest, LockOfAnotherProcessCountsButNotTheCallersOwn) {
  TempFolder tmp;
  const std::string lock = tmp.Join("lock");
  WriteTextFile(lock, "");
  const int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(fd, F_SETLK, &whole), 0);
  // This process holds it: a child of it (a program this one starts) is
  // not kept waiting by it.
  const pid_t child = fork();
  if (child == 0) _exit(platform::posix::LockedByOthers(lock) ? 1 : 0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the caller's own lock kept its program waiting";
  close(fd);
  EXPECT_FALSE(platform::posix::LockedByOthers(lock));

  // A process this one started holds it: busy.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int held = open(lock.c_str(), O_RDWR);
    const bool taken = held >= 0 && fcntl(held, F_SETLK, &whole) == 0;
    const char done = taken ? 1 : 0;
    if (write(ready[1], &done, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char taken = 0;
  ASSERT_EQ(read(ready[0], &taken, 1), 1);
  EXPECT_EQ(taken, 1);
  EXPECT_TRUE(platform::posix::LockedByOthers(lock));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_FALSE(platform::posix::LockedByOthers(lock));

  ASSERT_EQ(mkfifo(tmp.Join("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(platform::posix::LockedByOthers(tmp.Join("fifo")));
  EXPECT_FALSE(platform::posix::LockedByOthers(tmp.Join("missing")));
}

// The run's raised limit on open files is its own: a program it starts gets
// the caller's.
TEST(PlatformPosixTest, StartedProgramGetsTheCallersLimitOnOpenFiles) {
  struct rlimit before, raised;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  if (before.rlim_max < 64) GTEST_SKIP() << "the hard limit leaves nothing to raise";
  const struct rlimit low = {32, before.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  platform::RaiseDescriptorLimit();
  getrlimit(RLIMIT_NOFILE, &raised);
  TempFolder tmp;
  const int output = open(tmp.Join("limit").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  char sh[] = "/bin/sh", c[] = "-c", command[] = "ulimit -Sn";
  char* argv[] = {sh, c, command, nullptr};
  platform::posix::ChildSetup setup;
  setup.path = sh;
  setup.argv = argv;
  setup.output_fd = output;
  pid_t pid = 0;
  bool inside = false;
  ASSERT_EQ(platform::posix::StartChild(setup, &pid, &inside), 0);
  close(output);
  waitpid(pid, nullptr, 0);
  setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_GT(raised.rlim_cur, 32u);
  EXPECT_EQ(ReadTextFile(tmp.Join("limit")), "32\n");
}

}  // namespace
