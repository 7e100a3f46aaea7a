// Moves a test process into a mount namespace of its own, whose mounts
// nobody outside sees, for the tests that mount a file system over part of
// the machine (a full disk, a hidden control-group hierarchy).
#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace e2e {

// Answers "" once this process has a private mount namespace, or why it
// cannot have one, for the test to skip with. Where / is not a mount point
// (a plain chroot, some containers) its mounts cannot be made private, and a
// mount made below it would show on the machine.
inline std::string EnterPrivateMountNamespace() {
  if (unshare(CLONE_NEWNS) != 0) {
    return std::string("cannot make a mount namespace (needs root): ") + std::strerror(errno);
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    const int error = errno;
    return std::string("cannot make the mounts of / private") +
           (error == EINVAL ? " (/ is not a mount point: a chroot or container)" : "") + ": " +
           std::strerror(error);
  }
  return std::string();
}

}  // namespace e2e
