#include "CallPlugins/ItemSecurity.h"

#include "Signing/CommandScript.h"
#include "Signing/LibrarySearch.h"
#include "Signing/SignedContent.h"
#include "Utils/ProgramSearch.h"

SignedContentProblem JudgeSignedContent(const Item& item, const platform::ReadOnlyFile& file,
                                        std::string* source) {
  const ItemKind kind = item.kind;
  source->clear();
  uint64_t size = 0;
  const signing::ReadAtFunction read = [&file](uint64_t offset, void* buffer, size_t count) {
    return file.ReadAt(offset, buffer, count);
  };
  if (kind == ItemKind::kExe && signing::IsCommandScriptName(item.file)) {
    signing::Examination signature;
    const bool ends = file.Size(&size) &&
                      signing::ExamineFile(size, read, signing::BuiltInPublicKeys(), &signature) &&
                      signature.content.found &&
                      signing::CommandScriptContentEndsItself(signature.content.size, read);
    return ends ? SignedContentProblem::kNone : SignedContentProblem::kScriptRunsOn;
  }
  if (kind == ItemKind::kExe) {
    *source = UncheckedProgramSource(file, item.product_folder);
    return source->empty() ? SignedContentProblem::kNone : SignedContentProblem::kUncheckedProgram;
  }
  if (kind != ItemKind::kSimpleDll) return SignedContentProblem::kNone;
  ElfLibrarySearch search;
  if (!file.Size(&size) || !ReadElfLibrarySearch(size, read, &search)) {
    *source = "an unreadable dynamic section";
  } else {
    *source = UncheckedDependencySource(search);
  }
  return source->empty() ? SignedContentProblem::kNone : SignedContentProblem::kUncheckedLibraries;
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
