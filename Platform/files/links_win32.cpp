// The links on the way of a Windows path, read one at a time: a symbolic
// link or junction may lead to another, and whoever may change the folder
// of any of them, or a folder of what one holds, may change where the path
// leads.
#include <windows.h>

#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "Platform/win32_support.h"

namespace platform {
namespace win32 {
namespace {

constexpr DWORD kTagSymbolicLink = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
constexpr DWORD kTagJunction = 0xA0000003;      // IO_REPARSE_TAG_MOUNT_POINT
constexpr DWORD kRelativeLink = 1;              // SYMLINK_FLAG_RELATIVE
constexpr size_t kMostReparseData = 16 * 1024;  // MAXIMUM_REPARSE_DATA_BUFFER_SIZE

DWORD Field(const std::vector<unsigned char>& data, size_t at, size_t width) {
  DWORD value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<DWORD>(data[at + i]) << (8 * i);
  return value;
}

// What the link at path holds, as its substitute name gives it (a symbolic
// link's may be relative to its folder); false for anything but a symbolic
// link or junction.
bool ReadLink(const std::wstring& path, std::wstring* target, bool* relative) {
  HANDLE handle = CreateFileW(path.c_str(),
                              FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::vector<unsigned char> data(kMostReparseData);
  DWORD got = 0;
  const BOOL read = DeviceIoControl(handle,
                                    FSCTL_GET_REPARSE_POINT,
                                    nullptr,
                                    0,
                                    data.data(),
                                    static_cast<DWORD>(data.size()),
                                    &got,
                                    nullptr);
  CloseHandle(handle);
  // Tag, length, reserved, the substitute name's offset and length, the
  // print name's, a symbolic link's flags, then the names.
  if (!read || got < 16) return false;
  const DWORD tag = Field(data, 0, 4);
  const size_t names = tag == kTagSymbolicLink ? 20 : tag == kTagJunction ? 16 : 0;
  const size_t offset = Field(data, 8, 2), length = Field(data, 10, 2);
  if (names == 0 || got < names || length % 2 != 0 || offset + length > got - names) return false;
  target->resize(length / 2);
  std::memcpy(&(*target)[0], data.data() + names + offset, length);
  *relative = tag == kTagSymbolicLink && (Field(data, 16, 4) & kRelativeLink) != 0;
  // "\??\C:\x" and "\??\UNC\server\share\x" as programs name them.
  if (target->compare(0, 4, L"\\??\\") == 0) {
    target->erase(0, 4);
    if (target->compare(0, 4, L"UNC\\") == 0) {
      target->replace(0, 3, L"\\");
    } else if (target->size() < 2 || (*target)[1] != L':') {
      target->insert(0, L"\\\\?\\");  // a volume without a letter
    }
  }
  return !target->empty();
}

}  // namespace

bool FollowFirstLink(const std::wstring& full, std::wstring* next) {
  // Past the root: "C:\", or "\\server\share\".
  size_t start = 3;
  if (full.compare(0, 2, L"\\\\") == 0) {
    const size_t share = full.find(L'\\', 2);
    start = share == std::wstring::npos ? std::wstring::npos : full.find(L'\\', share + 1);
    if (start == std::wstring::npos) return false;
  }
  for (size_t end = full.find(L'\\', start);; end = full.find(L'\\', end + 1)) {
    const std::wstring way = full.substr(0, end);
    const DWORD attributes = GetFileAttributesW(way.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    std::wstring target;
    bool relative = false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && ReadLink(way, &target, &relative)) {
      const std::wstring rest = end == std::wstring::npos ? std::wstring() : full.substr(end);
      *next =
          (relative ? way.substr(0, way.find_last_of(L'\\') + 1) : std::wstring()) + target + rest;
      return true;
    }
    if (end == std::wstring::npos) return false;
  }
}

}  // namespace win32
}  // namespace platform
