// Declares what the module catalogue asks before it parses a module file:
// whether the module is installed. The installed-module filter answers it.
#pragma once

#include <string>

class IFilterCallback {
 public:
  // Answers true when the module whose file lies at path is installed.
  virtual bool IsModuleInstalled(std::wstring path) = 0;

 protected:
  // Owners hold the concrete type (a shared reference keeps its deleter), so
  // the interface carries its one operation and no virtual destructor.
  ~IFilterCallback() = default;
};
