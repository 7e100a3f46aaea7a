#include "CallPlugins/RunContext.h"

#include "Utils/PathUtils.h"

void RunContext::SetInstallPath(const std::string& install_path) {
  install_path_ = install_path;
  product_folder_ = install_path.empty() ? std::wstring() : AnsiToWide(install_path);
}
