// What the POSIX side needs to watch a started program: its end, its output
// as it comes, and a control group that holds it with all it starts. Private
// to Platform/*_posix.cpp.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "Platform/process.h"

namespace platform {
namespace posix {

struct SharedGroup;

// A pipe for a program's standard output and error. The program gets the
// write end; the read end never blocks the caller.
class OutputPipe {
 public:
  OutputPipe();
  ~OutputPipe();
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  bool valid() const { return read_fd_ >= 0; }
  int write_fd() const { return write_fd_; }
  int read_fd() const { return read_fd_; }
  // Drops the caller's write end, once the program has its own.
  void CloseWriteEnd();
  // Reads what is there now, at most limit bytes; false once every writer
  // has gone and nothing is left.
  bool ReadAvailable(OutputKeeper* keeper, size_t limit);

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// Watches a started, unreaped child: its id cannot pass to another process
// meanwhile, so the child (and a group it leads) may be signalled safely.
class ChildWatch {
 public:
  ChildWatch(pid_t pid, OutputPipe* output, OutputKeeper* keeper,
             const std::function<void()>* tick);
  ~ChildWatch();
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  // Waits until the child ends, reading its output and ticking meanwhile;
  // false when timeout_ms (negative: none) ran out first. Once it has ended,
  // the output that is there is read and no more.
  bool WaitForEnd(int timeout_ms);
  // Sends signal to the child itself, through its pidfd where there is one.
  void Signal(int signal) const;
  // Reaps the child; its exit code (128 + N for signal N, which is kept).
  uint32_t Reap(uint32_t* signal);

 private:
  bool HasEnded() const;
  void Pump(int wait_ms, bool* output_open);

  pid_t pid_;
  int pidfd_;
  OutputPipe* output_;
  OutputKeeper* keeper_;
  const std::function<void()>* tick_;
  int64_t next_tick_ms_;
};

// A control group (cgroup v2) below the one this process is in, empty when
// a program is started in it; one serves every program of a run in turn and
// is removed when the process ends.
class ControlGroup {
 public:
  // Takes the group, made where the system lets this process; else usable()
  // is false and nothing was made.
  ControlGroup();
  // Moves what is left in the group to this process's group.
  ~ControlGroup();
  ControlGroup(const ControlGroup&) = delete;
  ControlGroup& operator=(const ControlGroup&) = delete;

  bool usable() const { return made_; }
  // Runs spawn with this process inside the group, so that what it starts
  // is born there, and comes back out. False when this process could not
  // enter (spawn was not run); spawn's answer otherwise.
  bool SpawnInside(const std::function<int()>& spawn, int* spawn_error);
  // Sends signal to every process in the group.
  void SignalAll(int signal) const;
  // Ends every process in the group at once; true when the group is empty
  // within timeout_ms.
  bool KillAll(int timeout_ms) const;

 private:
  bool WaitEmpty(int timeout_ms) const;
  bool Populated() const;

  SharedGroup& group_;
  bool made_ = false;
  bool holds_us_ = false;  // this process could not leave it again
};

}  // namespace posix
}  // namespace platform
