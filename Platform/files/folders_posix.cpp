// Who other than this account may write a folder, or change what a path
// leads to, on POSIX: the plan's writable-by-others.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Platform/files/files.h"
#include "Platform/posix_support.h"

namespace platform {

using posix::Utf8;

bool OthersMayWriteFolder(const std::wstring& folder) {
  struct stat st;
  if (stat(Utf8(folder).c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (st.st_uid != 0 && st.st_uid != geteuid());
}

namespace {

bool ForeignOwner(const struct stat& st) { return st.st_uid != 0 && st.st_uid != geteuid(); }

// Answers whether others may change what a folder of path holds, for each
// folder above it up to the root (or the first of a relative path): another
// owner, or a group or other write bit without the sticky bit.
bool OthersMayChangeFoldersAbove(std::string path) {
  for (size_t slash = path.find_last_of('/'); slash != std::string::npos && path.size() > 1;
       slash = path.find_last_of('/')) {
    path = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    const bool open = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
    if (ForeignOwner(st) || open) return true;
  }
  return false;
}

// Answers whether others may put a missing file at path: whoever may add
// to the nearest folder of it that is there (a sticky folder too), or
// change a folder above that.
bool OthersMayAddMissing(std::string path) {
  for (size_t slash = path.find_last_of('/'); slash != std::string::npos && path.size() > 1;
       slash = path.find_last_of('/')) {
    path = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    return S_ISDIR(st.st_mode) && (ForeignOwner(st) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
                                   OthersMayChangeFoldersAbove(path));
  }
  return false;
}

bool OthersMayChangeAt(const std::string& written, int links_left) {
  char* resolved = realpath(written.c_str(), nullptr);
  if (resolved != nullptr) {
    const std::string target(resolved);
    free(resolved);
    struct stat st;
    if (stat(target.c_str(), &st) != 0) return false;
    if (ForeignOwner(st) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return true;
    // What the path leads to, and the path as written: whoever may write the
    // folder that holds a link on the way may put another in its place.
    if (OthersMayChangeFoldersAbove(target) || OthersMayChangeFoldersAbove(written)) return true;
  } else if (OthersMayAddMissing(written)) {
    return true;
  }
  // And every link between: each one's folder, and each folder of what it
  // holds, which may be a link again.
  std::string next;
  return links_left > 0 && posix::FollowFirstLink(written, &next) &&
         OthersMayChangeAt(next, links_left - 1);
}

}  // namespace

bool OthersMayChangePath(const std::wstring& path) {
  return OthersMayChangeAt(Utf8(path), posix::kMostLinks);
}

}  // namespace platform
