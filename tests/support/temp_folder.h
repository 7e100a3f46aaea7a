// A fresh folder for one test, removed afterwards unless the test failed, so
// a failure leaves its evidence behind.
#pragma once

#include <string>

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::wstring wpath() const;
  // path() joined with a relative name by the platform's separator.
  std::string Join(const std::string& name) const;

 private:
  std::string path_;
};

// Writes content to path, creating missing parent folders.
void WriteTextFile(const std::string& path, const std::string& content);
// Reads a whole file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);
