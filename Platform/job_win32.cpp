// Waiting for a program on Windows: its output read as it comes, and, past
// its time limit, its job and its windows ended.
#include "Platform/job_win32.h"

#include <algorithm>

namespace platform {
namespace win32 {
namespace {

BOOL CALLBACK AskWindowToClose(HWND window, LPARAM context) {
  const auto* ids = reinterpret_cast<const std::vector<DWORD>*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  for (DWORD id : *ids) {
    if (id == owner) PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

// An anonymous pipe cannot be waited for: while a program with a pipe runs,
// the wait looks at it this often. With kPipeBytes of room, a program can
// write about 100 MB a second before it waits for the reader.
constexpr DWORD kOutputPollMilliseconds = 10;
constexpr DWORD kPipeBytes = 1024 * 1024;
constexpr DWORD kReadChunk = 64 * 1024;

}  // namespace

OutputPipe::OutputPipe(bool wanted) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  if (!wanted || !CreatePipe(&read_, &write_, &inheritable, kPipeBytes)) {
    read_ = write_ = nullptr;
    return;
  }
  SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
}

OutputPipe::~OutputPipe() {
  if (read_ != nullptr) CloseHandle(read_);
  CloseWriteEnd();
}

void OutputPipe::CloseWriteEnd() {
  if (write_ != nullptr) CloseHandle(write_);
  write_ = nullptr;
}

void OutputPipe::ReadAvailable(size_t limit) {
  std::vector<char> buffer;
  for (size_t read_so_far = 0; read_so_far < limit;) {
    DWORD available = 0, got = 0;
    // Fails once every writer has gone and nothing is left.
    if (!PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) || available == 0) return;
    buffer.resize(kReadChunk);
    const DWORD wanted = std::min<DWORD>(available, kReadChunk);
    if (!ReadFile(read_, buffer.data(), wanted, &got, nullptr) || got == 0) return;
    keeper_.Add(buffer.data(), got);
    read_so_far += got;
  }
}

bool WaitTicking(HANDLE process, DWORD timeout_ms, const std::function<void()>& tick,
                 OutputPipe* output) {
  const ULONGLONG now_at_start = GetTickCount64();
  const ULONGLONG deadline = now_at_start + timeout_ms;
  ULONGLONG next_tick = now_at_start + kWaitTickMilliseconds;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (tick && now >= next_tick) {
      tick();
      next_tick = now + kWaitTickMilliseconds;
    }
    ULONGLONG step = tick ? next_tick - std::min(now, next_tick) : INFINITE;
    if (output != nullptr) step = std::min<ULONGLONG>(step, kOutputPollMilliseconds);
    if (timeout_ms != INFINITE) {
      if (now >= deadline) return WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
      step = std::min(step, deadline - now);
    }
    if (WaitForSingleObject(process, static_cast<DWORD>(step)) != WAIT_TIMEOUT) return true;
    if (output != nullptr) output->ReadAvailable(kPipeBytes);
  }
}

void Supervise(HANDLE process, DWORD process_id, const ProgramRequest& request, Job* job,
               ProgramResult* result, OutputPipe* output) {
  if (WaitTicking(process, request.timeout_ms, request.while_waiting, output)) return;
  result->timed_out = true;
  result->ended_all = job->assigned();
  result->may_have_escaped = job->assigned() && job->late();
  const std::vector<DWORD> ids = job->ProcessIds(process_id);
  EnumWindows(AskWindowToClose, reinterpret_cast<LPARAM>(&ids));
  if (!WaitTicking(process, kEndGraceMilliseconds, nullptr, output) && !job->assigned()) {
    TerminateProcess(process, 1);
  }
  job->Terminate();
  WaitTicking(process, kEndGraceMilliseconds, nullptr, output);
}

}  // namespace win32

void PrepareProgramWaits() {}

}  // namespace platform
