#include "App/Elevate.h"

#include <glog/logging.h>

#include "Platform/system/system.h"

bool IsProcessElevated() {
  if (platform::OsMajorVersion() >= 6) {
    // Administrators membership alone is not enough here: an administrator
    // started without elevation is refused.
    platform::ElevationAnswer token = platform::QueryTokenElevation();
    if (!token.opened) {
      LOG(ERROR) << "OpenProcessToken failed:" << token.open_error;
      return false;
    }
    return token.elevated;
  }
  return platform::IsAdministratorsMember();
}

bool IsSystemAccount() { return platform::IsSystemAccount(); }
