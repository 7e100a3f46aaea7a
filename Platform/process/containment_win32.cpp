// What holds a program with a time limit on Windows, and how it is ended:
// a job of its own, which the program is in before it runs wherever it was
// created suspended.
#include <windows.h>

#include <functional>
#include <vector>

#include "Platform/process/process_win32.h"

namespace platform {
namespace win32 {
namespace {

std::function<void()>& BeforeJob() {
  static std::function<void()> hook;
  return hook;
}

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

void SetBeforeJobForTesting(std::function<void()> hook) { BeforeJob() = std::move(hook); }

Containment::~Containment() {
  if (job_ != nullptr) CloseHandle(job_);
}

bool Containment::Assign(HANDLE process) {
  if (BeforeJob()) BeforeJob()();
  if (job_ == nullptr) job_ = CreateJobObjectW(nullptr, nullptr);
  assigned_ = job_ != nullptr && AssignProcessToJobObject(job_, process);
  return assigned_;
}

void Containment::Run(Suspended* started) {
  if (limited_) Assign(started->process);
  ResumeThread(started->thread);
  CloseHandle(started->thread);
  started->thread = nullptr;
}

void Containment::TakeRunning(HANDLE process) {
  if (!limited_ || process == nullptr) return;
  late_ = true;
  Assign(process);
}

// The ids of the processes in the job, or just the program's.
std::vector<DWORD> Containment::ProcessIds(DWORD program) const {
  std::vector<DWORD> ids{program};
  if (!assigned_) return ids;
  std::vector<unsigned char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) +
                                    1024 * sizeof(ULONG_PTR));
  auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
  if (QueryInformationJobObject(
          job_, JobObjectBasicProcessIdList, list, static_cast<DWORD>(buffer.size()), nullptr)) {
    ids.clear();
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
      ids.push_back(static_cast<DWORD>(list->ProcessIdList[i]));
    }
  }
  return ids;
}

void Containment::Supervise(HANDLE process, DWORD process_id, const ProgramRequest& request,
                            ProgramResult* result, OutputPipe* output) {
  if (WaitTicking(process, request.timeout_ms, request.while_waiting, output)) return;
  result->timed_out = true;
  result->ended_all = assigned_;
  result->may_have_escaped = assigned_ && late_;
  const std::vector<DWORD> ids = ProcessIds(process_id);
  EnumWindows(AskWindowToClose, reinterpret_cast<LPARAM>(&ids));
  if (!WaitTicking(process, kEndGraceMilliseconds, nullptr, output) && !assigned_) {
    TerminateProcess(process, 1);
  }
  if (assigned_) TerminateJobObject(job_, 1);
  WaitTicking(process, kEndGraceMilliseconds, nullptr, output);
}

}  // namespace win32
}  // namespace platform
