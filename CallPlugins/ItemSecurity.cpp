#include "CallPlugins/ItemSecurity.h"

#include "CallPlugins/InstallErrorRecord.h"
#include "Platform/ascii_case.h"
#include "Utils/FileUtils.h"

const wchar_t kHiddenParameters[] = L"***";

namespace {

const char kProductPathToken[] = "%productpath%";

}  // namespace

bool ReadSignedItem(ILwBundle* bundle) { return ReadItemAttribute(bundle, "signed") == "1"; }

bool ReadSensitiveItem(ILwBundle* bundle) { return ReadItemAttribute(bundle, "sensitive") == "1"; }

ItemFacts ShownItemFacts(const ItemFacts& facts, bool sensitive) {
  ItemFacts shown = facts;
  if (sensitive) shown.parameters = kHiddenParameters;
  return shown;
}

bool HasUnquotedProductPath(const std::string& param) {
  const size_t token_length = sizeof kProductPathToken - 1;
  bool quoted = false;
  for (size_t i = 0; i < param.size(); ++i) {
    if (param[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && param.compare(i, token_length, kProductPathToken) == 0) {
      return true;
    }
  }
  return false;
}

bool IsCommandScriptName(const std::string& file) {
  if (file.size() < 4) return false;
  const std::string extension = file.substr(file.size() - 4);
  return platform::EqualIgnoringAsciiCase(extension, ".bat") ||
         platform::EqualIgnoringAsciiCase(extension, ".cmd");
}

bool OpenSignedItemFile(const ItemFacts& item, platform::ReadOnlyFile* file) {
  signing::Verdict verdict = signing::kNotSigned;
  if (OpenAndVerifyFile(item.file_path, file, &verdict)) return true;
  SetErrorCode(kInstallErrorNotSigned);
  SetErrorDetail(L"item not signed, file:" + item.file_path);
  return false;
}
