// The POSIX side of what a signed program has the system run besides
// itself: whether a file (a "#!" script's interpreter, a program's loader)
// is the system's own. Windows' loader and its lists have no counterpart.
#include <sys/stat.h>

#include <string>

#include "Platform/files/files.h"
#include "Platform/posix_support.h"
#include "Platform/process/program_search.h"
#include "Platform/system/system.h"

namespace platform {

const bool kPeImages = false;

namespace {

bool SystemOnly(const struct stat& st) {
  return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Answers whether path leads to a regular file of root's that neither group
// nor others may write, through folders of the same kind none of which is
// the folder outside (when there is one), and so through each link on the way.
bool SystemOwnsTheWay(const std::string& path, const struct stat* outside, int links_left) {
  struct stat st;
  if (path.empty() || path[0] != '/' || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !SystemOnly(st)) {
    return false;
  }
  for (std::string folder = path; folder.size() > 1;) {
    const size_t slash = folder.find_last_of('/');
    folder = slash == 0 ? std::string("/") : folder.substr(0, slash);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !SystemOnly(st)) return false;
    if (outside != nullptr && st.st_dev == outside->st_dev && st.st_ino == outside->st_ino) {
      return false;
    }
  }
  std::string next;
  if (!posix::FollowFirstLink(path, &next)) return true;
  return links_left > 0 && SystemOwnsTheWay(next, outside, links_left - 1);
}

}  // namespace

bool IsSystemOwnFile(const std::wstring& path, const std::wstring& outside) {
  struct stat folder;
  const bool there = !outside.empty() && stat(posix::Utf8(outside).c_str(), &folder) == 0;
  return SystemOwnsTheWay(posix::Utf8(path), there ? &folder : nullptr, posix::kMostLinks);
}

bool IsKnownSystemLibrary(const std::string&) { return false; }

std::wstring SystemFolderLibrary(const std::string&) { return std::wstring(); }

std::wstring OpenedFileFolder(const ReadOnlyFile&) { return std::wstring(); }

}  // namespace platform
