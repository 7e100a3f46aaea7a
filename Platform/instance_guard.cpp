#include "Platform/instance_guard.h"

namespace platform {

InstanceClaim DecideInstanceClaim(const GuardFacts& facts) {
  if (!facts.opened) return InstanceClaim::kNoHandle;
  if (!facts.taken) return InstanceClaim::kOnlyCopy;
  switch (facts.owner) {
    case FolderOwner::kSystem:
    case FolderOwner::kAdministrators:
      return InstanceClaim::kAlreadyRunning;
    case FolderOwner::kRunningAccount:  // a lesser process of the same account
    case FolderOwner::kOther:
      break;
  }
  return InstanceClaim::kHeldByOtherAccount;
}

}  // namespace platform
