// What holds a program with a time limit on POSIX, and how it is ended: its
// control group, with what got out of it, or else its process group.
#include <signal.h>
#include <unistd.h>

#include "Platform/process/process_posix.h"

namespace platform {
namespace posix {

Containment::Containment(bool limited) : limited_(limited) {
  if (limited) group_.reset(new ControlGroup());
  if (limited && !group_->usable()) group_.reset();
}

int Containment::Start(const ChildSetup& setup, pid_t* pid) {
  int error = 0;
  ChildSetup placed = setup;
  placed.new_process_group = true;
  if (group_ != nullptr && group_->StartInside(placed, pid, &error)) return error;
  // Held by nothing else, a program with a limit leads its group.
  placed.own_process_group = limited_;
  placed.new_process_group = !limited_;
  group_.reset();
  bool inside = false;
  return StartChild(placed, pid, &inside, &process_group_);
}

void Containment::End(pid_t pid, ChildWatch* watch, ProgramResult* result) {
  if (group_ != nullptr) {
    EndGroup(pid, watch, result);
    return;
  }
  // A program that left its process group (for one it leads itself) is
  // asked by its own handle; what it started that left the group (a session
  // of its own) is found as its descendant before anything is signalled, and
  // ended by its handle too.
  const int grace = static_cast<int>(kEndGraceMilliseconds);
  const pid_t group = getpgid(pid);
  const bool reached = group > 0 && group != getpgrp() && (group == pid || group == process_group_);
  const pid_t target = reached ? group : pid;
  Escapees outside(pid);
  outside.Find(ProcessGroupMembers(target));
  kill(-target, SIGTERM);
  outside.Signal(SIGTERM);
  if (!reached) watch->Signal(SIGTERM);
  watch->WaitForEnd(grace);
  kill(-target, SIGKILL);
  const bool all = outside.EndAll(ProcessGroupMembers(target), grace);
  watch->Signal(SIGKILL);
  result->ended_all = watch->WaitForEnd(grace) && reached && all;
  result->ended_outside = outside.count();
  // Without a namespace of its own, one whose parent ended is not seen.
  result->may_have_escaped = !outside.complete();
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
