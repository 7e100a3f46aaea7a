#include "tests/support/temp_folder.h"

#include "Platform/system/system.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  // TAVERLY_TEST_FOLDER, when set, holds the folders instead of the
  // temporary folder (the suite under Wine: see tests/CMakeLists.txt).
  const char* chosen = std::getenv("TAVERLY_TEST_FOLDER");
  fs::path base =
      chosen != nullptr && *chosen != '\0' ? fs::path(chosen) : fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ("taverly-test-" + std::to_string(random() % 100000000));
    if (fs::create_directory(candidate)) {
      path_ = candidate.string();
      break;
    }
  }
}

TempFolder::~TempFolder() {
  if (::testing::Test::HasFailure()) {
    std::cerr << "test folder kept: " << path_ << "\n";
    return;
  }
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempFolder::Join(const std::string& name) const {
  return path_ + static_cast<char>(platform::kPathSeparator) + name;
}

std::wstring TempFolder::wpath() const {
  return platform::NarrowToWide(path_.data(), path_.size());
}

void WriteTextFile(const std::string& path, const std::string& content) {
  fs::path file(path);
  if (file.has_parent_path()) fs::create_directories(file.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}
