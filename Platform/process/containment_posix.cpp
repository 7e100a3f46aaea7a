// What holds a program with a time limit on POSIX, and how it is ended: its
// control group, with what got out of it, or else its process group.
#include <signal.h>
#include <unistd.h>

#include "Platform/process/process_posix.h"

namespace platform {
namespace posix {

Containment::Containment(bool limited) : limited_(limited) {
  if (limited_) group_.reset(new ControlGroup());
  if (limited_ && !group_->usable()) group_.reset();
}

int Containment::Start(const ChildSetup& setup, pid_t* pid) {
  int error = 0;
  if (group_ != nullptr && group_->StartInside(setup, pid, &error)) return error;
  group_.reset();
  ChildSetup placed = setup;
  placed.own_process_group = own_process_group_ = limited_;
  bool inside = false;
  return StartChild(placed, pid, &inside);
}

void Containment::End(pid_t pid, ChildWatch* watch, ProgramResult* result) {
  result->timed_out = true;
  if (group_ != nullptr) {
    EndGroup(pid, watch, result);
    return;
  }
  // A program that left its process group is asked by its own handle; what
  // it started that left the group (a session of its own) is found as its
  // descendant before anything is signalled, and ended by its handle too.
  const int grace = static_cast<int>(kEndGraceMilliseconds);
  const bool reached = own_process_group_ && getpgid(pid) == pid;
  Escapees outside(pid);
  if (own_process_group_) outside.Find(ProcessGroupMembers(pid));
  Signal(pid, SIGTERM);
  outside.Signal(SIGTERM);
  if (!reached) watch->Signal(SIGTERM);
  watch->WaitForEnd(grace);
  Signal(pid, SIGKILL);
  const bool all = !own_process_group_ || outside.EndAll(ProcessGroupMembers(pid), grace);
  watch->Signal(SIGKILL);
  result->ended_all = watch->WaitForEnd(grace) && reached && all;
  result->ended_outside = outside.count();
  // Without a namespace of its own, one whose parent ended is not seen.
  result->may_have_escaped = own_process_group_ && !outside.complete();
}

void Containment::Signal(pid_t pid, int signal) {
  if (own_process_group_) kill(-pid, signal);
}

// The group, and what left it: looked for before anything is signalled,
// while every process the program started still descends from it.
void Containment::EndGroup(pid_t pid, ChildWatch* watch, ProgramResult* result) {
  const int grace = static_cast<int>(kEndGraceMilliseconds);
  Escapees outside(pid);
  outside.Find(group_->Members());
  group_->SignalAll(SIGTERM);
  outside.Signal(SIGTERM);
  watch->WaitForEnd(grace);
  bool all = group_->KillAll(grace);
  all = outside.EndAll(group_->Members(), grace) && all;
  watch->Signal(SIGKILL);
  result->ended_all = watch->WaitForEnd(grace) && all;
  result->ended_outside = outside.count();
  result->may_have_escaped = !outside.complete();
}

}  // namespace posix
}  // namespace platform
