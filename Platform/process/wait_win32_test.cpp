// The output pipe of a captured program: a read that is waited for, woken
// by output and by the end of every writer, and what is read once the
// program has ended.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "Platform/process/process_win32.h"

namespace {

using platform::win32::OutputPipe;

// A second handle on the pipe's writing end, as a process the program
// started holds one.
HANDLE AnotherWriter(const OutputPipe& pipe) {
  HANDLE copy = nullptr;
  EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(),
                              pipe.write_handle(),
                              GetCurrentProcess(),
                              &copy,
                              0,
                              FALSE,
                              DUPLICATE_SAME_ACCESS));
  return copy;
}

bool Write(HANDLE writer, const std::string& text) {
  DWORD written = 0;
  return WriteFile(writer, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

TEST(OutputPipeWin32Test, AReadIsWokenByOutputAndByTheEndOfEveryWriter) {
  OutputPipe pipe(true);
  ASSERT_TRUE(pipe.valid());
  ASSERT_NE(pipe.ready(), nullptr);
  EXPECT_EQ(WaitForSingleObject(pipe.ready(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(Write(pipe.write_handle(), "hello\n"));
  ASSERT_EQ(WaitForSingleObject(pipe.ready(), 10000), WAIT_OBJECT_0);
  pipe.TakeRead();
  EXPECT_EQ(pipe.Kept().head, "hello\n");
  // Still open while another writer holds it; closed once none does.
  const HANDLE other = AnotherWriter(pipe);
  pipe.CloseWriteEnd();
  ASSERT_NE(pipe.ready(), nullptr);
  EXPECT_EQ(WaitForSingleObject(pipe.ready(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(Write(other, "more"));
  CloseHandle(other);
  for (int read = 0; read < 2 && pipe.ready() != nullptr; ++read) {
    ASSERT_EQ(WaitForSingleObject(pipe.ready(), 10000), WAIT_OBJECT_0);
    pipe.TakeRead();
  }
  EXPECT_EQ(pipe.ready(), nullptr);
  EXPECT_EQ(pipe.Kept().head, "hello\nmore");
}

// After the end, what is in the pipe is read up to the limit, without
// waiting for a writer that stays; that writer then gets a broken pipe.
TEST(OutputPipeWin32Test, AfterTheEndWhatIsThereIsReadUpToTheLimitAndNoMore) {
  HANDLE straggler = nullptr;
  {
    OutputPipe pipe(true);
    ASSERT_TRUE(pipe.valid());
    straggler = AnotherWriter(pipe);
    pipe.CloseWriteEnd();
    const std::string part(256 * 1024, 'x');
    std::thread writer([&] {
      for (int i = 0; i < 3; ++i) EXPECT_TRUE(Write(straggler, part));
    });
    writer.join();
    pipe.ReadRest(300 * 1024);
    const uint64_t kept = pipe.Kept().size;
    EXPECT_GE(kept, 300u * 1024u);
    EXPECT_LT(kept, 3u * 256u * 1024u);
    EXPECT_EQ(pipe.ready(), nullptr);
  }
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(straggler, "late", 4, &written, nullptr));
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) << error;
  CloseHandle(straggler);
}

TEST(OutputPipeWin32Test, NoPipeIsMadeWhenNoneIsWanted) {
  OutputPipe pipe(false);
  EXPECT_FALSE(pipe.valid());
  EXPECT_EQ(pipe.write_handle(), nullptr);
  EXPECT_EQ(pipe.ready(), nullptr);
}

}  // namespace
