// Fixture of the whole-run tests: a product holding the probe program, to
// which a test adds the probe library or the security base.
#pragma once

#include <cstdlib>
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {

class RunTest : public ProductTest {
 protected:
  void AddLibrary(const std::string& relative) {
    product_.AddFile(relative, target().probe_library);
  }

  void AddSecurityBase(bool sign) {
    product_.AddFile(target().security_base_name, target().security_base);
    if (sign) {
      std::string command = SignTool() + " sign --key " + DevKey(1) + " --index 1 " +
                            product_.Path(target().security_base_name) + " >/dev/null";
      ASSERT_EQ(std::system(command.c_str()), 0);
    }
  }
};

}  // namespace e2e
