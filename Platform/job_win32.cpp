// Ending a program past its time limit on Windows: its job, its windows.
#include "Platform/job_win32.h"

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

}  // namespace

bool WaitTicking(HANDLE process, DWORD timeout_ms, const std::function<void()>& tick) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    DWORD step = tick ? kWaitTickMilliseconds : INFINITE;
    if (timeout_ms != INFINITE) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
      if (step == INFINITE || deadline - now < step) step = static_cast<DWORD>(deadline - now);
    }
    if (WaitForSingleObject(process, step) != WAIT_TIMEOUT) return true;
    if (tick) tick();
  }
}

void Supervise(HANDLE process, DWORD process_id, const ProgramRequest& request, Job* job,
               ProgramResult* result) {
  if (WaitTicking(process, request.timeout_ms, request.while_waiting)) return;
  result->timed_out = true;
  result->ended_all = job->assigned();
  const std::vector<DWORD> ids = job->ProcessIds(process_id);
  EnumWindows(AskWindowToClose, reinterpret_cast<LPARAM>(&ids));
  if (WaitForSingleObject(process, kEndGraceMilliseconds) == WAIT_TIMEOUT && !job->assigned()) {
    TerminateProcess(process, 1);
  }
  job->Terminate();
  WaitForSingleObject(process, kEndGraceMilliseconds);
}

}  // namespace win32
}  // namespace platform
