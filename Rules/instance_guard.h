// Decides what the machine-wide single-instance guard that this process asked
// for means. Any account may make a guard of that name first; only one that
// a copy of the program made, as SYSTEM or an administrator, is a running
// copy. Both sides of the platform layer gather the facts; the decision is
// one, and tests hand it facts directly.
#pragma once

#include <cstdint>

#include "Rules/folder_trust.h"

namespace platform {

// What claiming the guard comes to.
enum class InstanceClaim {
  kOnlyCopy,            // this process holds the machine-wide guard
  kAlreadyRunning,      // another copy of the program holds it
  kNoHandle,            // the guard could not be created; go on as the only copy
  kHeldByOtherAccount,  // another account made it: no copy; go on as the only one
  kMadeAnew,            // POSIX: the lock file was a link or not a regular file; replaced
};

// The second guard, which every copy takes beside the named one because no
// other account can make it first (Windows: a lock file in the system's
// Windows folder). POSIX has none: only root can make the lock file.
enum class SecondGuard {
  kNone,   // none on this system, or it could not be made
  kHeld,   // this process holds it now
  kTaken,  // another process holds it: a copy of the program
};

struct GuardFacts {
  bool opened = false;  // the guard came back to this process
  bool taken = false;   // it was there already (POSIX: another process holds it)
  // Who made it, when taken: kSystem or kAdministrators for a copy of the
  // program (POSIX: root is kSystem); kOther when it cannot be told.
  FolderOwner owner = FolderOwner::kOther;
  SecondGuard second = SecondGuard::kNone;
  // POSIX: a link or something else than a regular file stood at the lock
  // file's name and was replaced by a regular file.
  bool made_anew = false;
  uint32_t error = 0;  // why the guard could not be opened
};

InstanceClaim DecideInstanceClaim(const GuardFacts& facts);

}  // namespace platform
