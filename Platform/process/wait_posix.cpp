// Watching a started program on POSIX: its end through a pidfd, its output
// through a pipe read as it fills, and a tick for the caller meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"

namespace platform {
namespace posix {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Where the kernel has no pidfd, the child's state is looked at this often.
constexpr int kPollStepMs = 10;
// What is read in one go, and the most read once the program has ended (a
// process left behind may write on without end).
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kLastReadLimit = 1024 * 1024;

// What the end-request handler records: the first signal, and a byte in a
// pipe a wait watches. Both are all a handler may touch safely.
volatile sig_atomic_t g_end_signal = 0;
int g_end_pipe[2] = {-1, -1};
// Without that pipe (no descriptor was left for it), a wait looks at the
// flag this often.
constexpr int kEndCheckMs = 100;

void OnEndRequest(int signal) {
  const int saved = errno;
  if (g_end_signal == 0) g_end_signal = signal;
  // Never blocks: a second request, or the thousandth, finds the pipe as it is.
  const char byte = 1;
  if (g_end_pipe[1] >= 0) {
    const ssize_t written = write(g_end_pipe[1], &byte, 1);
    static_cast<void>(written);
  }
  errno = saved;
}

struct EndSignal {
  int number;
  const char* name;
};
constexpr EndSignal kEndSignals[] = {
    {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}};

}  // namespace

int EndRequestFd() { return g_end_pipe[0]; }

OutputPipe::OutputPipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  fcntl(read_fd_, F_SETFL, fcntl(read_fd_, F_GETFL) | O_NONBLOCK);
}

OutputPipe::~OutputPipe() {
  for (int fd : {read_fd_, write_fd_}) {
    if (fd >= 0) close(fd);
  }
}

bool OutputPipe::ReadAvailable(OutputKeeper* keeper, size_t limit) {
  char buffer[kReadChunk];
  size_t read_so_far = 0;
  while (read_so_far < limit) {
    ssize_t n = Retry([&] { return read(read_fd_, buffer, sizeof buffer); });
    if (n > 0) {
      keeper->Add(buffer, static_cast<size_t>(n));
      read_so_far += static_cast<size_t>(n);
      continue;
    }
    return n < 0 && errno == EAGAIN;
  }
  return true;
}

ChildWatch::ChildWatch(pid_t pid, OutputPipe* output, OutputKeeper* keeper,
                       const std::function<void()>* tick)
    : pid_(pid),
      // The system call itself: the C library's wrapper is not in every version.
      pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))),
      output_(output != nullptr && output->valid() ? output : nullptr),
      keeper_(keeper),
      tick_(tick != nullptr && *tick ? tick : nullptr),
      next_tick_ms_(NowMs() + kWaitTickMilliseconds) {}

ChildWatch::~ChildWatch() {
  if (pidfd_ >= 0) close(pidfd_);
}

bool ChildWatch::HasEnded() const {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  int rc = Retry(
      [&] { return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT); });
  return rc != 0 || info.si_pid == pid_;  // an error: nothing left to wait for
}

// Sleeps until the child may have ended, output came, the run was asked to
// end (when heeded), or wait_ms passed.
void ChildWatch::Pump(int wait_ms, bool* output_open, bool heed_end_request) {
  struct pollfd watch[3];
  nfds_t count = 0;
  if (pidfd_ >= 0) watch[count++] = {pidfd_, POLLIN, 0};
  if (heed_end_request && EndRequestFd() >= 0) watch[count++] = {EndRequestFd(), POLLIN, 0};
  const nfds_t output_at = count;
  if (*output_open) watch[count++] = {output_->read_fd(), POLLIN, 0};
  if (pidfd_ < 0 && (wait_ms < 0 || wait_ms > kPollStepMs)) wait_ms = kPollStepMs;
  if (heed_end_request && EndRequestFd() < 0 && (wait_ms < 0 || wait_ms > kEndCheckMs)) {
    wait_ms = kEndCheckMs;
  }
  if (poll(watch, count, wait_ms) <= 0) return;  // EINTR just looks again
  if (*output_open && watch[output_at].revents != 0) {
    *output_open = output_->ReadAvailable(keeper_, kReadChunk);
  }
}

ChildWatch::WaitEnd ChildWatch::Wait(int timeout_ms, bool heed_end_request) {
  const int64_t deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  bool output_open = output_ != nullptr;
  for (;;) {
    if (HasEnded()) {
      if (output_open) output_->ReadAvailable(keeper_, kLastReadLimit);
      return WaitEnd::kEnded;
    }
    if (heed_end_request && g_end_signal != 0) return WaitEnd::kEndRequested;
    const int64_t now = NowMs();
    if (tick_ != nullptr && now >= next_tick_ms_) {
      (*tick_)();
      next_tick_ms_ = NowMs() + kWaitTickMilliseconds;
    }
    if (deadline >= 0 && now >= deadline) return WaitEnd::kTimedOut;
    int64_t wait = tick_ != nullptr ? next_tick_ms_ - now : -1;
    if (deadline >= 0 && (wait < 0 || deadline - now < wait)) wait = deadline - now;
    Pump(static_cast<int>(wait < 0 ? -1 : wait), &output_open, heed_end_request);
  }
}

void ChildWatch::Signal(int signal) const {
  if (pidfd_ >= 0 && syscall(SYS_pidfd_send_signal, pidfd_, signal, nullptr, 0) == 0) return;
  kill(pid_, signal);  // unreaped, so the id is still the child's
}

uint32_t ChildWatch::Reap(uint32_t* signal) {
  int status = 0;
  if (Retry([&] { return waitpid(pid_, &status, 0); }) != pid_) return kStillActive;
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    *signal = static_cast<uint32_t>(WTERMSIG(status));
    return 128u + *signal;
  }
  return kStillActive;
}

}  // namespace posix

void PrepareProgramWaits() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, nullptr);
  // Made here, after the guard and the descriptors kept aside, so that a run
  // short of descriptors does without it rather than without them.
  int fds[2];
  if (posix::g_end_pipe[0] < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    posix::g_end_pipe[0] = fds[0];
    posix::g_end_pipe[1] = fds[1];
  }
}

void CatchEndRequests() {
  struct sigaction action = {};
  action.sa_handler = posix::OnEndRequest;
  sigemptyset(&action.sa_mask);
  // Each blocks the others while it runs; calls it interrupts go on.
  for (const posix::EndSignal& end : posix::kEndSignals) sigaddset(&action.sa_mask, end.number);
  action.sa_flags = SA_RESTART;
  for (const posix::EndSignal& end : posix::kEndSignals) {
    // One the caller left ignored stays so (nohup's SIGHUP): it asked for
    // the run not to end by it.
    struct sigaction before;
    if (sigaction(end.number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    sigaction(end.number, &action, nullptr);
  }
}

const char* EndRequestName() {
  for (const posix::EndSignal& end : posix::kEndSignals) {
    if (end.number == posix::g_end_signal) return end.name;
  }
  return nullptr;
}

}  // namespace platform
