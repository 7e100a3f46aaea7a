// Decides what the machine-wide single-instance guard that this process asked
// for means. Any account may make a guard of that name first; only one that
// a copy of the program made, as SYSTEM or an administrator, is a running
// copy. Both sides of the platform layer gather the facts; the decision is
// one, and tests hand it facts directly.
#pragma once

#include "Platform/folder_trust.h"
#include "Platform/platform.h"

namespace platform {

struct GuardFacts {
  bool opened = false;  // the guard came back to this process
  bool taken = false;   // it was there already (POSIX: another process holds it)
  // Who made it, when taken: kSystem or kAdministrators for a copy of the
  // program (POSIX: root is kSystem); kOther when it cannot be told.
  FolderOwner owner = FolderOwner::kOther;
};

InstanceClaim DecideInstanceClaim(const GuardFacts& facts);

}  // namespace platform
