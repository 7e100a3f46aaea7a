#include "Rules/folder_trust.h"

#include "Rules/ascii_case.h"

namespace platform {

FolderOwner ClassifyOwnerSid(const std::string& owner_sid, const std::string& account_sid) {
  if (owner_sid.empty()) return FolderOwner::kOther;
  if (EqualIgnoringAsciiCase(owner_sid, account_sid)) return FolderOwner::kRunningAccount;
  if (EqualIgnoringAsciiCase(owner_sid, "S-1-5-18")) return FolderOwner::kSystem;
  if (EqualIgnoringAsciiCase(owner_sid, "S-1-5-32-544")) return FolderOwner::kAdministrators;
  return FolderOwner::kOther;
}

bool MayWriteThroughFolder(const FolderFacts& facts) {
  if (!facts.is_folder || facts.is_link || facts.writable_by_others) return false;
  switch (facts.owner) {
    case FolderOwner::kRunningAccount:
    case FolderOwner::kSystem:
    case FolderOwner::kAdministrators:
      return true;
    case FolderOwner::kOther:
      break;
  }
  return false;
}

bool OthersMayWrite(const std::string& owner_sid, const std::string& account_sid, bool has_dacl,
                    const std::vector<AccessEntry>& allowed) {
  const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  auto trusted = [&](const std::string& sid) {
    return ClassifyOwnerSid(sid, account_sid) != FolderOwner::kOther ||
           EqualIgnoringAsciiCase(sid, kTrustedInstaller);
  };
  // An owner may always rewrite the access list.
  if (!has_dacl || !trusted(owner_sid)) return true;
  for (const AccessEntry& entry : allowed) {
    if (entry.grants_write && !trusted(entry.sid)) return true;
  }
  return false;
}

}  // namespace platform
