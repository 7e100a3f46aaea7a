// The files the program writes on POSIX: the result file (an INI file edited
// as a whole), the run report and new files, each written beside the old one
// and renamed over it, in a folder the program may write through.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/files/files.h"
#include "Platform/posix_support.h"
#include "Rules/ini_text.h"

namespace platform {

using posix::OpenTrustedFolder;
using posix::Retry;
using posix::SplitFolderAndName;
using posix::Utf8;
using posix::WriteAll;

namespace {

// A file in a folder the program may write through, replaced whole.
class TrustedFile {
 public:
  explicit TrustedFile(const std::wstring& path) {
    std::string folder;
    SplitFolderAndName(Utf8(path), &folder, &name_);
    dir_ = OpenTrustedFolder(folder);
    if (dir_ < 0) error_ = errno;
  }
  ~TrustedFile() {
    if (dir_ >= 0) close(dir_);
  }
  TrustedFile(const TrustedFile&) = delete;
  TrustedFile& operator=(const TrustedFile&) = delete;

  bool usable() const { return dir_ >= 0; }
  int error() const { return error_; }

  // Reads what the file holds now; a missing file holds nothing. Only a
  // regular file is read: a link, FIFO or device in its place holds nothing
  // of the program's, is never followed or opened through, and is replaced
  // by the next Replace (which renames over the entry itself).
  bool Read(std::string* content) {
    int in = Retry([&] {
      return openat(dir_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    });
    if (in < 0) {
      if (errno == ENOENT || errno == ELOOP) return true;
      error_ = errno;
      return false;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(in);
      return true;
    }
    char buffer[8192];
    ssize_t n;
    while ((n = Retry([&] { return read(in, buffer, sizeof buffer); })) > 0) {
      content->append(buffer, static_cast<size_t>(n));
    }
    error_ = errno;
    close(in);
    return n == 0;
  }

  // Writes the whole new content beside the old file and renames it over, so
  // neither a crash nor a full disk leaves a torn or empty file. With flush,
  // the content and then the folder reach the disk before the call returns.
  bool Replace(const std::string& content, bool flush) {
    const std::string temp = TempName();
    if (!WriteTemp(temp, content, flush)) return false;
    if (renameat(dir_, temp.c_str(), dir_, name_.c_str()) != 0) {
      error_ = errno;
      unlinkat(dir_, temp.c_str(), 0);
      return false;
    }
    if (flush) fsync(dir_);
    return true;
  }

  // Makes the file with the whole content, flushed, or leaves nothing: the
  // file written beside it is linked to the name, which keeps a file that is
  // there already (EEXIST).
  bool Create(const std::string& content) {
    const std::string temp = TempName();
    if (!WriteTemp(temp, content, true)) return false;
    const bool linked = linkat(dir_, temp.c_str(), dir_, name_.c_str(), 0) == 0;
    if (!linked) error_ = errno;
    unlinkat(dir_, temp.c_str(), 0);
    fsync(dir_);
    return linked;
  }

 private:
  std::string TempName() const { return "." + name_ + "." + std::to_string(getpid()) + ".tmp"; }

  bool WriteTemp(const std::string& temp, const std::string& content, bool flush) {
    unlinkat(dir_, temp.c_str(), 0);
    int out = Retry([&] {
      return openat(
          dir_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_);
    });
    if (out < 0) {
      error_ = errno;
      return false;
    }
    if (!WriteAll(out, content) || (flush && fsync(out) != 0)) {
      error_ = errno != 0 ? errno : EIO;
      close(out);
      unlinkat(dir_, temp.c_str(), 0);
      return false;
    }
    if (close(out) != 0) {
      error_ = errno;
      unlinkat(dir_, temp.c_str(), 0);
      return false;
    }
    return true;
  }

  std::string name_;
  int dir_ = -1;
  int error_ = 0;
  // Whatever an earlier version left, the new file is the owner's alone.
  static constexpr mode_t mode_ = S_IRUSR | S_IWUSR;
};

}  // namespace

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path, uint32_t* error) {
  TrustedFile file(path);
  std::string content;
  if (!file.usable() || !file.Read(&content) ||
      !file.Replace(SetIniValue(content, Utf8(section), Utf8(key), Utf8(value)), true)) {
    *error = static_cast<uint32_t>(file.error());
    return false;
  }
  return true;
}

bool DeleteProfileKey(const std::wstring& section, const std::wstring& key,
                      const std::wstring& path, uint32_t* error) {
  TrustedFile file(path);
  std::string content;
  if (!file.usable()) {
    if (file.error() == ENOENT) return true;  // no folder, no file, no key
    *error = static_cast<uint32_t>(file.error());
    return false;
  }
  // A file that cannot be read holds no key to remove, as the Windows
  // function answers, and is not touched.
  if (!file.Read(&content)) return true;
  bool found = false;
  const std::string updated = RemoveIniValue(content, Utf8(section), Utf8(key), &found);
  if (!found || file.Replace(updated, true)) return true;
  *error = static_cast<uint32_t>(file.error());
  return false;
}

bool ReplaceFileContent(const std::wstring& path, const std::string& content, bool flush,
                        uint32_t* error, bool /*owner_only: always, mode 0600*/) {
  TrustedFile file(path);
  if (!file.usable() || !file.Replace(content, flush)) {
    *error = static_cast<uint32_t>(file.error());
    return false;
  }
  return true;
}

bool CreateNewFile(const std::wstring& path, const std::string& content, bool owner_only,
                   uint32_t* error) {
  const std::string name = Utf8(path);
  const mode_t mode = owner_only ? S_IRUSR | S_IWUSR : S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
  int fd = Retry([&] { return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode); });
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  bool ok = WriteAll(fd, content) && fsync(fd) == 0;
  int code = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    code = errno;
  }
  if (!ok) {
    unlink(name.c_str());
    *error = static_cast<uint32_t>(code);
  }
  return ok;
}

bool CreateSecretFile(const std::wstring& path, const std::string& content, uint32_t* error) {
  std::string folder, name;
  SplitFolderAndName(Utf8(path), &folder, &name);
  // Only the last folder is made: the one above it is the system's.
  if (mkdir(folder.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  TrustedFile file(path);
  if (!file.usable() || (!file.Create(content) && file.error() != EEXIST)) {
    *error = static_cast<uint32_t>(file.error());
    return false;
  }
  return true;
}

namespace {

// Removes the entry name of the folder dir: a file, or a link itself, never
// what it leads to; a folder there is left alone.
RemoveOutcome RemoveEntryAt(int dir, const std::string& name, uint32_t* error) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return RemoveOutcome::kNothing;
    *error = static_cast<uint32_t>(errno);
    return RemoveOutcome::kFailed;
  }
  if (S_ISDIR(st.st_mode)) return RemoveOutcome::kNothing;
  if (unlinkat(dir, name.c_str(), 0) != 0) {
    *error = static_cast<uint32_t>(errno);
    return RemoveOutcome::kFailed;
  }
  fsync(dir);
  return RemoveOutcome::kRemoved;
}

}  // namespace

RemoveOutcome RemoveProfileFile(const std::wstring& path, uint32_t* error) {
  std::string folder, name, above_folder, folder_name;
  SplitFolderAndName(Utf8(path), &folder, &name);
  SplitFolderAndName(folder, &above_folder, &folder_name);
  if (folder_name.empty()) folder_name = ".";  // the root itself
  // Every step from the folder above down is relative to a handle, so no
  // link put anywhere on the way meanwhile can lead the removal elsewhere.
  const int above =
      Retry([&] { return open(above_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (above < 0) {
    if (errno == ENOENT) return RemoveOutcome::kNothing;
    *error = static_cast<uint32_t>(errno);
    return RemoveOutcome::kFailed;
  }
  RemoveOutcome outcome = RemoveOutcome::kNothing;
  const int dir = Retry([&] {
    return openat(above, folder_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  });
  struct stat entry, behind;
  if (dir >= 0) {
    outcome = RemoveEntryAt(dir, name, error);
    close(dir);
  } else if (errno == ELOOP || errno == ENOTDIR) {
    // A link in the folder's place: a file a reader finds through it is
    // another account's, so the link goes (a look through it changes nothing).
    if (fstatat(above, folder_name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(entry.st_mode) &&
        fstatat(above, (folder_name + "/" + name).c_str(), &behind, 0) == 0) {
      outcome = RemoveEntryAt(above, folder_name, error);
    }
  } else if (errno != ENOENT) {
    *error = static_cast<uint32_t>(errno);
    outcome = RemoveOutcome::kFailed;
  }
  close(above);
  return outcome;
}

}  // namespace platform
