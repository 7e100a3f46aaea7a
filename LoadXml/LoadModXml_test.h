// The fixture of the module catalogue's tests: a product folder with its
// module folder, a filter that records what it was asked, and readers of the
// loaded item maps.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CallPlugins/InstallErrorRecord.h"
#include "LoadXml/LoadModXml.h"
#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace loadxml_test {

class FakeFilter final : public IFilterCallback {
 public:
  bool IsModuleInstalled(std::wstring path) override {
    asked.push_back(WideToAnsi(path));
    return answer && refused.count(WideToAnsi(path)) == 0;
  }
  std::vector<std::string> asked;
  bool answer = true;
  std::set<std::string> refused;
};

inline std::string Item(const std::string& file) {
  return ItemXml({{"type", "Exe"}, {"file", file}});
}

// The "file" values of a map in its walking order.
inline std::vector<std::string> Files(const PhaseItemMap& items) {
  std::vector<std::string> files;
  for (const auto& item : items) files.push_back(BundleString(item.second, "file"));
  return files;
}

// The "file" values of a map in load order (numeric key order).
inline std::vector<std::string> FilesInLoadOrder(const PhaseItemMap& items) {
  std::map<int, std::string> by_number;
  for (const auto& item : items)
    by_number[std::stoi(item.first)] = BundleString(item.second, "file");
  std::vector<std::string> files;
  for (const auto& item : by_number) files.push_back(item.second);
  return files;
}

// Item keys by file value, as numbers.
inline std::map<std::string, int> KeysByFile(const PhaseItemMap& items) {
  std::map<std::string, int> keys;
  for (const auto& item : items) keys[BundleString(item.second, "file")] = std::stoi(item.first);
  return keys;
}

class ModXmlLoaderTest : public ::testing::Test {
 protected:
  ModXmlLoaderTest() : filter_(std::make_shared<FakeFilter>()) { UseProduct("product"); }

  void UseProduct(const std::string& name) {
    product_ = JoinPath(folder_.path(), name);
    modularize_ = JoinPath(product_, "modularize");
    std::filesystem::create_directories(modularize_);
  }
  std::string WriteModule(const std::string& name, const std::string& content) {
    const std::string path = JoinPath(modularize_, name);
    WriteTextFile(path, content);
    return path;
  }
  std::unique_ptr<ModXmlLoader> MakeLoader() {
    return std::make_unique<ModXmlLoader>(Wide(product_), filter_, &errors_);
  }
  std::string ErrorCode() const { return WideToAnsi(errors_.errorCode); }
  std::string ErrorDetail() const { return WideToAnsi(errors_.errorDetail); }
  std::string FolderLine() const {
    return "I LoadModXml.cpp load module config folder path: " + modularize_;
  }
  static std::string FileLine(const std::string& path) {
    return "E LoadModXml.cpp load module config file name: " + path;
  }

  TempFolder folder_;
  std::string product_;
  std::string modularize_;
  std::shared_ptr<FakeFilter> filter_;
  InstallErrorRecord errors_;
  LogLines log_;
};

// levels nested <d> elements around inner.
inline std::string Deep(size_t levels, const std::string& inner) {
  std::string text;
  for (size_t i = 0; i < levels; ++i) text += "<d>";
  text += inner;
  for (size_t i = 0; i < levels; ++i) text += "</d>";
  return text;
}

}  // namespace loadxml_test
