// Helpers that the POSIX files of the platform layer share; nothing outside
// Platform/*_posix.cpp includes this.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Rules/instance_guard.h"

namespace platform {
namespace posix {

// Retries a system call interrupted by a signal.
template <typename Call>
auto Retry(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// The path as the kernel takes it: UTF-8.
inline std::string Utf8(const std::wstring& text) { return WideToNarrow(text); }

// The parent and start time (in clock ticks since boot) of a live process,
// and how many threads it runs when threads is given; false for one that has
// ended or cannot be read. A process id with its start time names one
// process for good.
bool ReadStat(pid_t pid, pid_t* parent, uint64_t* start, long* threads = nullptr);

// Whether a process holds an fcntl lock on the regular file at file, the
// lock never taken: not this one, nor the one that started it or any above
// that. False when that cannot be told.
bool LockedByOthers(const std::string& file);

// Writes all of data; false with errno set on failure.
bool WriteAll(int fd, const std::string& data);

// Reads exactly count bytes at offset, leaving the file position alone (which
// a process still holding the file may share); false on an error or at the end.
bool ReadAllAt(int fd, uint64_t offset, void* buffer, size_t count);

// Opens a folder the program may write through: a real folder (not a link),
// owned by the effective user, not writable by group or others. -1 and errno
// (EACCES for a folder that is there but not trusted) otherwise.
int OpenTrustedFolder(const std::string& folder);

// Claims the single-instance lock: an exclusive, non-blocking lock on the
// regular file name in folder, made (mode 0600) when missing and never
// followed through a link. A link or anything else than a regular file there
// is replaced first (made_anew), with the folder itself locked meanwhile so
// that two copies doing so at once end up on the same file. The descriptor
// of a lock this process got is never closed.
GuardFacts ClaimLockFile(const std::string& folder, const std::string& name);

// Opens a file for reading without blocking, so that a FIFO planted in its
// place cannot hang the caller; anything but a regular file counts as
// unreadable, as folders cannot be opened on Windows either. -1 on failure.
// facts, when given, is what the open file's fstat told.
int OpenRegularFile(const std::wstring& path, struct stat* facts = nullptr);
// The identity of the file whose fstat or stat told facts.
FileIdentity IdentityOf(const struct stat& facts);

// Splits a path at its last "/"; a name without one lies in ".".
void SplitFolderAndName(const std::string& path, std::string* folder, std::string* name);

// The most links a walk of a path follows, as the kernel's own limit.
constexpr int kMostLinks = 40;
// Replaces the first symbolic link on the way of path (a folder it passes,
// or its last name) by what the link holds, so that next leads where path
// leads, one link further on; each folder that holds a link on the way is
// then a folder of next, or of path. False when there is no link on the way,
// or a name on the way is not there.
bool FollowFirstLink(const std::string& path, std::string* next);

}  // namespace posix
}  // namespace platform
