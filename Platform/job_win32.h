// Jobs for programs with a time limit, the pipe a program's output is read
// from, and the waits for them: private to Platform/*_win32.cpp.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "Platform/process.h"

namespace platform {
namespace win32 {

// A job of its own for a program with a time limit. Closing it leaves what
// runs in it running (no kill-on-close): only a program past its limit has
// its job ended.
class Job {
 public:
  Job() = default;
  ~Job() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // running: the process has run before it was put into the job, so what
  // it started meanwhile may be outside.
  bool Assign(HANDLE process, bool running) {
    if (handle_ == nullptr) handle_ = CreateJobObjectW(nullptr, nullptr);
    assigned_ = handle_ != nullptr && AssignProcessToJobObject(handle_, process);
    late_ = running;
    return assigned_;
  }
  bool assigned() const { return assigned_; }
  bool late() const { return late_; }

  // The ids of the processes in the job, or just the program's.
  std::vector<DWORD> ProcessIds(DWORD program) const {
    std::vector<DWORD> ids{program};
    if (!assigned_) return ids;
    std::vector<unsigned char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) +
                                      1024 * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    if (QueryInformationJobObject(handle_,
                                  JobObjectBasicProcessIdList,
                                  list,
                                  static_cast<DWORD>(buffer.size()),
                                  nullptr)) {
      ids.clear();
      for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
        ids.push_back(static_cast<DWORD>(list->ProcessIdList[i]));
      }
    }
    return ids;
  }

  void Terminate() {
    if (assigned_) TerminateJobObject(handle_, 1);
  }

 private:
  HANDLE handle_ = nullptr;
  bool assigned_ = false;
  bool late_ = false;
};

// A pipe for a program's standard output and error, read while the program
// is waited for, so that only what OutputKeeper keeps is ever held, whatever
// the program writes. The program inherits the write end, which this
// process closes once the program has its own.
class OutputPipe {
 public:
  explicit OutputPipe(bool wanted);
  ~OutputPipe();
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  bool valid() const { return read_ != nullptr; }
  HANDLE write_handle() const { return write_; }
  void CloseWriteEnd();
  // Reads what is in the pipe now, at most limit bytes.
  void ReadAvailable(size_t limit);
  CapturedOutput Kept() const { return keeper_.Kept(); }

 private:
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
  OutputKeeper keeper_;
};

// The most read from an output pipe once its program has ended: a process
// left behind may write on without end.
constexpr size_t kLastOutputRead = 1024 * 1024;

// Waits for a program up to timeout_ms (INFINITE: without limit), calling
// tick every kWaitTickMilliseconds meanwhile, and reading output (when there
// is a pipe) as it comes. False when the time ran out.
bool WaitTicking(HANDLE process, DWORD timeout_ms, const std::function<void()>& tick,
                 OutputPipe* output = nullptr);

// Waits for a program with a time limit; when it runs out, asks the windows
// of its job to close, and ends the job (or the program alone, when it is
// in no job of its own) after the grace or as soon as the program has ended.
// No wait after the limit is without end.
void Supervise(HANDLE process, DWORD process_id, const ProgramRequest& request, Job* job,
               ProgramResult* result, OutputPipe* output);

// Tests only: hook is called after a program with a time limit was started
// suspended and before it is put into its job. The program never sets it.
void SetBeforeJobForTesting(std::function<void()> hook);

}  // namespace win32
}  // namespace platform
