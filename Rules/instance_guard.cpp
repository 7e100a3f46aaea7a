#include "Rules/instance_guard.h"

namespace platform {

InstanceClaim DecideInstanceClaim(const GuardFacts& facts) {
  const bool copy_made_it =
      facts.owner == FolderOwner::kSystem || facts.owner == FolderOwner::kAdministrators;
  // Whatever another account did to the named guard, the second one tells a
  // running copy.
  if ((facts.opened && facts.taken && copy_made_it) || facts.second == SecondGuard::kTaken) {
    return InstanceClaim::kAlreadyRunning;
  }
  if (!facts.opened) return InstanceClaim::kNoHandle;
  // A lesser process of the same account, or any other one, made it.
  if (facts.taken) return InstanceClaim::kHeldByOtherAccount;
  return facts.made_anew ? InstanceClaim::kMadeAnew : InstanceClaim::kOnlyCopy;
}

}  // namespace platform
