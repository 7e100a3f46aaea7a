#include "LoadXml/LoadModXml.h"

#include <glog/logging.h>
#include <rapidxml/rapidxml.hpp>

#include <cstring>
#include <exception>
#include <vector>

#include "CallPlugins/InstallErrorRecord.h"
#include "LoadXml/XmlDepthGuard.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/LogText.h"

namespace {

// Names shorter than this cannot hold anything between "mod_" and ".xml".
constexpr size_t kShortestModuleFileName = 9;

void ReleaseAll(PhaseItemMap* items) {
  for (auto& item : *items) item.second->Release();
  items->clear();
}

}  // namespace

ModXmlLoader::ModXmlLoader(const std::wstring& product_folder,
                           std::shared_ptr<IFilterCallback> filter, InstallErrorRecord* errors)
    : product_folder_(product_folder), filter_(std::move(filter)), errors_(errors) {}

ModXmlLoader::~ModXmlLoader() {
  ReleaseAll(&after_setup_items_);
  ReleaseAll(&open_selfprotect_items_);
  ReleaseAll(&after_selfprotect_items_);
  for (ILwBundle* bundle : retired_) bundle->Release();
}

PhaseItemMap& ModXmlLoader::MapOf(ModulePhase phase) {
  switch (phase) {
    case OpenSelfProtect:
      return open_selfprotect_items_;
    case AfterSelfProtect:
      return after_selfprotect_items_;
    case AfterSetup:
    default:
      return after_setup_items_;
  }
}

bool ModXmlLoader::FailMissingFile(const std::wstring& path) {
  errors_->SetErrorCode(kInstallErrorMissingFile);
  errors_->SetErrorDetail(L"Missing file:" + path);
  LOG(ERROR) << "Missing file:" << LogText(path);
  return false;
}

bool ModXmlLoader::LoadModules() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (PhaseItemMap* items :
         {&after_setup_items_, &open_selfprotect_items_, &after_selfprotect_items_}) {
      for (auto& item : *items) retired_.push_back(item.second);
      items->clear();
    }
    records_.clear();
  }

  const std::wstring module_folder = product_folder_ + platform::kPathSeparator + L"modularize";
  LOG(INFO) << "load module config folder path: " << LogText(module_folder);
  if (!platform::PathExists(module_folder)) return FailMissingFile(module_folder);

  const std::wstring search = module_folder + platform::kPathSeparator + L"mod_*.xml";
  std::vector<std::wstring> names;
  uint32_t error = 0;
  if (!platform::FindFiles(search, &names, &error)) {
    errors_->SetErrorCodeText("GLE:" + std::to_string(error));
    errors_->SetErrorDetail(L"deploy file, get file exception:" + search);
    return false;
  }

  for (const std::wstring& name : names) {
    const std::wstring full_path = module_folder + platform::kPathSeparator + name;
    if (name.size() < kShortestModuleFileName) {
      AddRecord(full_path, ModuleFileRecord::kNameTooShort);
      continue;
    }
    if (!platform::PathExists(full_path)) {
      AddRecord(full_path, ModuleFileRecord::kMissing);
      return FailMissingFile(full_path);
    }
    AddRecord(full_path, ModuleFileRecord::kNotAdmitted);
    // At ERROR severity although nothing failed, as log readers expect it.
    LOG(ERROR) << "load module config file name: " << LogText(full_path);
    try {
      // A file that yields nothing does not stop the scan.
      if (filter_ && filter_->IsModuleInstalled(full_path)) {
        SetLastOutcome(LoadModuleFile(full_path) ? ModuleFileRecord::kLoaded
                                                 : ModuleFileRecord::kNoSetup);
      }
    } catch (const std::exception& e) {
      SetLastOutcome(ModuleFileRecord::kParseFailed);
      LOG(ERROR) << "exception : " << e.what();
      errors_->SetErrorCode(kInstallErrorParseXml);
      errors_->SetErrorDetail(L"deploy file, parse xml failed:" + full_path);
      LOG(ERROR) << "******** parse xml exception , xml name : " << LogText(full_path);
      return false;
    }
  }
  return true;
}

bool ModXmlLoader::LoadModuleFile(const std::wstring& path) {
  // The file is judged on the descriptor it is read through: one gone since
  // the search, or no readable regular file, yields nothing, as an empty file
  // would.
  std::string content;
  if (path.empty() || !platform::ReadFileText(path, &content)) return false;

  // The parser works in place on a private, NUL-terminated copy that ends at
  // the file's first zero byte.
  const char* end_of_text = content.c_str() + std::strlen(content.c_str());
  std::vector<char> text(content.c_str(), end_of_text + 1);

  // The parser has no depth limit of its own; a file it cannot take safely
  // fails the way any other unparsable module file does.
  if (XmlNestedTooDeeply(text.data())) {
    throw rapidxml::parse_error("document nested too deeply", text.data());
  }
  auto document = std::make_unique<rapidxml::xml_document<char>>();
  document->parse<0>(text.data());

  rapidxml::xml_node<char>* root = document->first_node("root");
  if (root == nullptr) return false;
  rapidxml::xml_node<char>* module = root->first_node("module");
  if (module == nullptr) return false;
  rapidxml::xml_node<char>* setup = module->first_node("setup");
  if (setup == nullptr) return false;

  ReadPhaseItems(setup, "after_setup", AfterSetup);
  ReadPhaseItems(setup, "open_selfprotect", OpenSelfProtect);
  ReadPhaseItems(setup, "after_selfprotect", AfterSelfProtect);
  return true;
}

bool ModXmlLoader::ReadPhaseItems(rapidxml::xml_node<char>* setup, const std::string& phase_name,
                                  ModulePhase phase) {
  rapidxml::xml_node<char>* phase_node = setup->first_node(phase_name.c_str(), phase_name.size());
  if (phase_node == nullptr) return false;

  for (rapidxml::xml_node<char>* item = phase_node->first_node("item"); item != nullptr;
       item = item->next_sibling("item")) {
    ILwBundle* bundle = new CLwBundle();
    bundle->AddRef();
    try {
      std::string file;
      for (rapidxml::xml_attribute<char>* attribute = item->first_attribute(); attribute != nullptr;
           attribute = attribute->next_attribute()) {
        // The parser ends every name and value with a NUL in place, so both
        // go to the bundle without a copy; a value that a character reference
        // put a NUL into counts up to it, there and in the remembered file.
        const char* name = attribute->name();
        const char* value = attribute->value();
        bundle->SetString(name, value);
        if (std::strcmp(name, "file") == 0) file = value;
      }

      if (file.empty()) {
        LOG(ERROR) << "load xml abnormal, some module load exception";
        bundle->Release();
        std::lock_guard<std::mutex> guard(lock_);
        if (!records_.empty()) ++records_.back().dropped_items;
        continue;
      }
      std::lock_guard<std::mutex> guard(lock_);
      const int32_t sequence = ++item_sequence_;
      const std::string key = std::to_string(sequence);
      MapOf(phase).emplace(key, bundle);
      if (!records_.empty()) records_.back().item_keys.push_back(key);
    } catch (...) {
      bundle->Release();
      throw;
    }
  }
  return true;
}

void ModXmlLoader::AddRecord(const std::wstring& path, ModuleFileRecord::Outcome outcome) {
  std::lock_guard<std::mutex> guard(lock_);
  records_.push_back(ModuleFileRecord{path, outcome, {}, 0});
}

void ModXmlLoader::SetLastOutcome(ModuleFileRecord::Outcome outcome) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!records_.empty()) records_.back().outcome = outcome;
}

std::vector<ModuleFileRecord> ModXmlLoader::GetModuleFileRecords() const {
  std::lock_guard<std::mutex> guard(lock_);
  return records_;
}

PhaseItemMap ModXmlLoader::GetAfterSetupItems() {
  std::lock_guard<std::mutex> guard(lock_);
  return after_setup_items_;
}

PhaseItemMap ModXmlLoader::GetOpenSelfProtectItems() {
  std::lock_guard<std::mutex> guard(lock_);
  return open_selfprotect_items_;
}

PhaseItemMap ModXmlLoader::GetAfterSelfProtectItems() {
  std::lock_guard<std::mutex> guard(lock_);
  return after_selfprotect_items_;
}

const char* ModuleOutcomeName(ModuleFileRecord::Outcome outcome) {
  switch (outcome) {
    case ModuleFileRecord::kNameTooShort:
      return "name-too-short";
    case ModuleFileRecord::kMissing:
      return "missing";
    case ModuleFileRecord::kNotAdmitted:
      return "not-admitted";
    case ModuleFileRecord::kNoSetup:
      return "no-setup";
    case ModuleFileRecord::kLoaded:
      return "loaded";
    case ModuleFileRecord::kParseFailed:
      break;
  }
  return "parse-failed";
}
