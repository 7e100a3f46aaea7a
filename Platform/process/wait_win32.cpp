// Waiting for a program on Windows: its end and its output waited for
// together, and a tick for the caller meanwhile.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <string>

#include "Platform/process/process_win32.h"
#include "Platform/win32_support.h"

namespace platform {
namespace win32 {
namespace {

// The pipe holds this much before a program writing to it waits for the
// reader; a read takes at most kReadChunk.
constexpr DWORD kPipeBytes = 1024 * 1024;
constexpr DWORD kReadChunk = 64 * 1024;
// How often a name is tried when one is taken already.
constexpr int kNameAttempts = 16;

// A name no other pipe of this process has; another process may have taken
// it, so the pipe is made as the first of its name.
std::wstring PipeName() {
  static unsigned counter = 0;
  LARGE_INTEGER now = {};
  QueryPerformanceCounter(&now);
  return L"\\\\.\\pipe\\Taverly-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter) + L"-" + std::to_wstring(now.QuadPart);
}

// Makes the pipe name as the first and only instance of its name, its end
// here read overlapped, waiting for its one client.
HANDLE CreateReadEnd(const std::wstring& name, SECURITY_ATTRIBUTES* security) {
  const HANDLE read =
      CreateNamedPipeW(name.c_str(),
                       PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       1,
                       0,
                       kPipeBytes,
                       0,
                       security);
  return read == INVALID_HANDLE_VALUE ? nullptr : read;
}

// Opens the one writing end of the pipe name, which a started program
// inherits, and sees it connected to read; null when another client took
// the pipe first.
HANDLE ConnectWriteEnd(const std::wstring& name, HANDLE read, OVERLAPPED* overlapped) {
  const bool waiting = ConnectNamedPipe(read, overlapped) || GetLastError() == ERROR_IO_PENDING;
  if (!waiting && GetLastError() != ERROR_PIPE_CONNECTED) return nullptr;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE write = CreateFileW(name.c_str(),
                             GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                             0,
                             &inheritable,
                             OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL,
                             nullptr);
  if (write == INVALID_HANDLE_VALUE) {
    if (waiting) CancelIoEx(read, overlapped);
    write = nullptr;
  }
  DWORD ignored = 0;
  if (waiting && !GetOverlappedResult(read, overlapped, &ignored, TRUE) && write != nullptr) {
    CloseHandle(write);
    write = nullptr;
  }
  return write;
}

// The two ends of a new pipe that only this account may open (where its
// account can be read; else the system's default for a pipe).
bool MakePipe(OVERLAPPED* overlapped, HANDLE* read, HANDLE* write) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::string account = AccountSidText();
  if (!account.empty() &&
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(
          ("D:P(A;;GA;;;" + account + ")").c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES own = {sizeof own, descriptor, FALSE};
  for (int attempt = 0; attempt < kNameAttempts && *write == nullptr; ++attempt) {
    const std::wstring name = PipeName();
    *read = CreateReadEnd(name, descriptor != nullptr ? &own : nullptr);
    if (*read == nullptr) continue;
    *write = ConnectWriteEnd(name, *read, overlapped);
    if (*write == nullptr) {
      CloseHandle(*read);
      *read = nullptr;
    }
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  return *write != nullptr;
}

}  // namespace

OutputPipe::OutputPipe(bool wanted) {
  if (!wanted) return;
  overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped_.hEvent == nullptr || !MakePipe(&overlapped_, &read_, &write_)) {
    read_ = write_ = nullptr;
    return;
  }
  buffer_.resize(kReadChunk);
  open_ = true;
  StartRead();
}

OutputPipe::~OutputPipe() {
  StopReading();
  if (read_ != nullptr) CloseHandle(read_);
  CloseWriteEnd();
  if (overlapped_.hEvent != nullptr) CloseHandle(overlapped_.hEvent);
}

void OutputPipe::CloseWriteEnd() {
  if (write_ != nullptr) CloseHandle(write_);
  write_ = nullptr;
}

void OutputPipe::Keep(DWORD count) {
  keeper_.Add(buffer_.data(), count);
  taken_ += count;
}

// Starts a read; one that completes at once leaves the event signalled, so
// the wait takes it as it takes one that completes later.
void OutputPipe::StartRead() {
  if (!open_ || pending_) return;
  // Not left to the read: an event still set would wake the wait for nothing.
  ResetEvent(overlapped_.hEvent);
  if (ReadFile(read_, buffer_.data(), kReadChunk, nullptr, &overlapped_) ||
      GetLastError() == ERROR_IO_PENDING) {
    pending_ = true;
  } else {
    open_ = false;  // every writer has gone (ERROR_BROKEN_PIPE), or the pipe failed
  }
}

void OutputPipe::TakeRead() {
  if (!pending_) return;
  DWORD got = 0;
  const bool done = GetOverlappedResult(read_, &overlapped_, &got, FALSE);
  if (!done && GetLastError() == ERROR_IO_INCOMPLETE) return;
  pending_ = false;
  if (!done) {
    open_ = false;
    return;
  }
  Keep(got);
  StartRead();
}

void OutputPipe::StopReading() {
  if (pending_) {
    // A read that completes as it is cancelled keeps what it brought.
    CancelIoEx(read_, &overlapped_);
    DWORD got = 0;
    if (GetOverlappedResult(read_, &overlapped_, &got, TRUE)) Keep(got);
    pending_ = false;
  }
  open_ = false;
}

void OutputPipe::ReadRest(size_t limit) {
  const uint64_t stop = taken_ + limit;
  while (open_ && pending_ && taken_ < stop) {
    // A read under way completes as soon as bytes are in the pipe: when it
    // has not, and nothing is there, that was all.
    if (WaitForSingleObject(overlapped_.hEvent, 0) != WAIT_OBJECT_0) {
      DWORD available = 0;
      if (!PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) || available == 0 ||
          WaitForSingleObject(overlapped_.hEvent, kEndGraceMilliseconds) != WAIT_OBJECT_0) {
        break;
      }
    }
    TakeRead();
  }
  StopReading();
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
    if (timeout_ms != INFINITE) {
      if (now >= deadline) return WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
      step = std::min(step, deadline - now);
    }
    HANDLE handles[2] = {process, output != nullptr ? output->ready() : nullptr};
    const DWORD count = handles[1] != nullptr ? 2 : 1;
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(step));
    if (woke == WAIT_OBJECT_0 + 1) {
      output->TakeRead();
    } else if (woke != WAIT_TIMEOUT) {
      return true;  // the program ended (or cannot be waited for)
    }
  }
}

}  // namespace win32

void PrepareProgramWaits() {}

void CatchEndRequests() {}

const char* EndRequestName() { return nullptr; }

}  // namespace platform
