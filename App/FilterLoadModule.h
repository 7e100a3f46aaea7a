// Declares the installed-module filter: the catalogue asks it, before parsing
// a module file, whether the module is listed as installed in the product's
// module_config.dat.
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

// Reads module_config.dat anew on every call; keeps no state.
class LoadModFilter final : public IFilterCallback {
 public:
  bool IsModuleInstalled(std::wstring path) override;
};

// Derives the module name from the file name of a module file: the text after
// its first "_" up to its first "."; when that "." comes earlier, up to the end.
std::wstring ModuleNameFromPath(const std::wstring& path);
