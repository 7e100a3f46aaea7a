#include "CallPlugins/ItemSystem.h"

#include "Utils/FileUtils.h"
#include "taverly/item_library.h"

namespace {

class PlatformSystem : public ItemSystem {
 public:
  bool Start(const platform::ProgramRequest& request, platform::ProgramResult* result) override {
    return ShellOpenFile(request, result);
  }
  bool OpenSigned(const std::wstring& path, platform::ReadOnlyFile* file) override {
    signing::Verdict verdict = signing::kNotSigned;
    return OpenAndVerifyFile(path, file, &verdict);
  }
  SignedContentProblem JudgeContent(const Item& item, const platform::ReadOnlyFile& file,
                                    std::string* source) override {
    return JudgeSignedContent(item, file, source);
  }
  void* Load(const std::wstring& path, const platform::ReadOnlyFile* opened,
             uint32_t* error) override {
    if (opened == nullptr) return platform::LoadLibraryFile(path, error);
    return platform::LoadOpenedLibrary(
        *opened, path, platform::DependencySearch::kSystemOnly, error);
  }
  bool CallEntry(void* library, const std::string& entry, int32_t* result) override {
    auto function =
        reinterpret_cast<TaverlyItemEntry>(platform::FindExport(library, entry.c_str()));
    if (function == nullptr) return false;
    *result = function();
    return true;
  }
};

}  // namespace

ItemSystem& PlatformItemSystem() {
  static PlatformSystem system;
  return system;
}
