// Builds what unit tests feed the program: paths, wide text, module files,
// and reads item bundles back. One copy for every test file.
#pragma once

#include <map>
#include <string>

// Declared only: the platform tests that include this never meet the
// bundle's status names, which the system headers define too.
class ILwBundle;

// Joins folder and name with the platform's separator.
std::string JoinPath(const std::string& folder, const std::string& name);
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// Narrow text (ANSI on Windows, UTF-8 elsewhere) as wide text.
std::wstring Wide(const std::string& text);

// An <item> element with these attributes, in name order.
std::string ItemXml(const std::map<std::string, std::string>& attributes);
// A phase element (<after_setup> ...) around items.
std::string PhaseXml(const std::string& phase, const std::string& items);
// A module file: root, module and setup around setup's content.
std::string ModuleXml(const std::string& setup);
// A module file with these phase bodies; an empty body leaves its phase out.
std::string ModuleXml(const std::string& after_setup, const std::string& open_selfprotect,
                      const std::string& after_selfprotect);

// A text value of a bundle, read with the two-call protocol; "<absent>" when
// there is none.
std::string BundleString(ILwBundle* bundle, const char* key);
