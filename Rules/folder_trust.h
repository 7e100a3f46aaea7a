// Decides whether the program may write through a folder that lies in a
// place other accounts can write (the temporary folder): a folder another
// account planted there, or a link it put in its place, would steer the
// program's files wherever it leads. Both sides of the platform layer gather
// the facts; the decision is one, and tests hand it facts directly.
#pragma once

#include <string>
#include <vector>

namespace platform {

enum class FolderOwner {
  kRunningAccount,
  kSystem,          // Windows' LocalSystem account (S-1-5-18)
  kAdministrators,  // the built-in Administrators group (S-1-5-32-544)
  kOther,
};

// Classifies an owner given as SID text ("S-1-5-18") against the running
// account's SID text. SID texts compare ignoring ASCII case.
FolderOwner ClassifyOwnerSid(const std::string& owner_sid, const std::string& account_sid);

struct FolderFacts {
  bool is_folder = false;
  bool is_link = false;  // a symbolic link, a junction or any other reparse point
  FolderOwner owner = FolderOwner::kOther;
  bool writable_by_others = false;  // POSIX: group or others may write it
};

// Answers whether the program may write through a folder with these facts:
// a real folder, not a link, not open to others, owned by the running
// account, SYSTEM or Administrators (only the running account on POSIX,
// whose facts never name the other two).
bool MayWriteThroughFolder(const FolderFacts& facts);

// One allow entry of a folder's access list that applies to the folder
// itself (deny entries and those only passed down are left out).
struct AccessEntry {
  std::string sid;            // SID text
  bool grants_write = false;  // adds or writes files or folders, or changes access or owner
};

// Answers whether an account other than the running one, SYSTEM,
// Administrators or TrustedInstaller may put files into a folder with this
// owner and access list (no access list at all: everyone may).
bool OthersMayWrite(const std::string& owner_sid, const std::string& account_sid, bool has_dacl,
                    const std::vector<AccessEntry>& allowed);

}  // namespace platform
