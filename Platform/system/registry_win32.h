// A registry key this process opened, closed with its holder; nothing
// outside Platform/*_win32.cpp includes this.
#pragma once

#include <windows.h>

namespace platform {
namespace win32 {

class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace win32
}  // namespace platform
