// Feeds the module catalogue arbitrary module-file bytes, through the
// program's own read, NUL cut and in-place parse (LoadModules on a folder holding the
// one file). Beside "no crash":
// - a file the depth guard refuses fails the load, as any unparsable file;
// - a file the guard lets through never nests deeper than the guard's bound
//   (measured on the parser's own tree, without recursion);
// - every admitted item carries a non-empty "file" attribute.
#include <cstring>
#include <filesystem>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <vector>

#include "App/FilterLoadModule.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "LoadXml/LoadModXml.h"
#include "LoadXml/XmlDepthGuard.h"
#include "Utils/PathUtils.h"
#include "fuzz/fuzz_support.h"

namespace {

// Admits every file, so that every input reaches the parser.
class AdmitAll final : public IFilterCallback {
 public:
  bool IsModuleInstalled(std::wstring) override { return true; }
};

size_t DeepestLevel(rapidxml::xml_node<char>* document) {
  size_t deepest = 0;
  std::vector<std::pair<rapidxml::xml_node<char>*, size_t>> pending{{document, 0}};
  while (!pending.empty()) {
    auto [node, level] = pending.back();
    pending.pop_back();
    if (level > deepest) deepest = level;
    for (auto* child = node->first_node(); child != nullptr; child = child->next_sibling()) {
      if (child->type() == rapidxml::node_element) pending.emplace_back(child, level + 1);
    }
  }
  return deepest;
}

// Answers whether the parser took text, and how deep its elements nest.
bool ParsesWithin(const uint8_t* data, size_t size, size_t* deepest) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  std::vector<char> text(content.c_str(), content.c_str() + std::strlen(content.c_str()) + 1);
  if (XmlNestedTooDeeply(text.data())) return false;
  try {
    rapidxml::xml_document<char> document;
    document.parse<0>(text.data());
    *deepest = DeepestLevel(&document);
    return true;
  } catch (const rapidxml::parse_error&) {
    return false;
  }
}

bool ItemsHaveFiles(const PhaseItemMap& items) {
  for (const auto& item : items) {
    int32_t length = 0;
    if (item.second->GetString("file", nullptr, &length) != LW_S_MORE_DATA || length < 2)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string product = fuzz::ScratchFolder() + "/product";
  static const bool made = [] {
    std::filesystem::create_directories(product + "/modularize");
    return true;
  }();
  (void)made;
  fuzz::WriteBytes(product + "/modularize/mod_fuzz.xml", data, size);

  fuzz::LogLines log;
  InstallErrorRecord errors;
  ModXmlLoader loader(AnsiToWide(product), std::make_shared<AdmitAll>(), &errors);
  const bool loaded = loader.LoadModules();

  std::string content(reinterpret_cast<const char*>(data), size);
  const bool refused = XmlNestedTooDeeply(content.c_str());
  FUZZ_CHECK(!refused || !loaded, "a file the depth guard refuses must fail the load");
  size_t deepest = 0;
  if (ParsesWithin(data, size, &deepest)) {
    FUZZ_CHECK(deepest <= kMaxXmlNesting,
               "the guard let through " + std::to_string(deepest) + " levels");
  }
  FUZZ_CHECK(ItemsHaveFiles(loader.GetAfterSetupItems()) &&
                 ItemsHaveFiles(loader.GetOpenSelfProtectItems()) &&
                 ItemsHaveFiles(loader.GetAfterSelfProtectItems()),
             "an item without a file was admitted");
  return 0;
}
