#include "tests/support/builders.h"

#include <vector>

#include "Bundle/LwBundle.h"
#include "Platform/system/system.h"

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + static_cast<char>(platform::kPathSeparator) + name;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  return folder + platform::kPathSeparator + name;
}

std::wstring Wide(const std::string& text) {
  return platform::NarrowToWide(text.data(), text.size());
}

std::string ItemXml(const std::map<std::string, std::string>& attributes) {
  std::string xml = "<item";
  for (const auto& attribute : attributes) {
    xml += " " + attribute.first + "=\"" + attribute.second + "\"";
  }
  return xml + "/>";
}

std::string PhaseXml(const std::string& phase, const std::string& items) {
  return "<" + phase + ">" + items + "</" + phase + ">";
}

std::string ModuleXml(const std::string& setup) {
  return "<root><module><setup>" + setup + "</setup></module></root>";
}

std::string ModuleXml(const std::string& after_setup, const std::string& open_selfprotect,
                      const std::string& after_selfprotect) {
  std::string setup;
  if (!after_setup.empty()) setup += PhaseXml("after_setup", after_setup);
  if (!open_selfprotect.empty()) setup += PhaseXml("open_selfprotect", open_selfprotect);
  if (!after_selfprotect.empty()) setup += PhaseXml("after_selfprotect", after_selfprotect);
  return ModuleXml(setup);
}

std::string BundleString(ILwBundle* bundle, const char* key) {
  int32_t length = 0;
  if (bundle->GetString(key, nullptr, &length) != LW_S_MORE_DATA || length <= 0) {
    return "<absent>";
  }
  std::vector<char> buffer(static_cast<size_t>(length));
  if (bundle->GetString(key, buffer.data(), &length) != LW_S_OK) return "<absent>";
  return buffer.data();
}
