// What the runner asks of the system to run an item: its program started,
// a signed item's file opened and judged, its library loaded and its entry
// called, and the answers its conditions get. A run asks the system itself
// (PlatformItemSystem); the runner's tests script answers of their own.
// Nothing here logs but what the system's own calls log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CallPlugins/Item.h"
#include "CallPlugins/ItemConditions.h"
#include "CallPlugins/ItemSecurity.h"
#include "Platform/files/files.h"
#include "Platform/process/process.h"

class ItemSystem {
 public:
  virtual ~ItemSystem() = default;
  // Starts the request's program (ShellOpenFile); false when nothing started.
  virtual bool Start(const platform::ProgramRequest& request, platform::ProgramResult* result) = 0;
  // Opens a signed item's file and judges its signature through the open
  // file (OpenAndVerifyFile, with its line); false when it is not accepted.
  virtual bool OpenSigned(const std::wstring& path, platform::ReadOnlyFile* file) = 0;
  // What the open, accepted file of a signed item holds that would keep it
  // from running as it was checked.
  virtual SignedContentProblem JudgeContent(const Item& item, const platform::ReadOnlyFile& file,
                                            std::string* source) = 0;
  // Loads a library by path or, when opened is set, exactly that judged file
  // with the system's folders alone for what it needs; null with the
  // system's error.
  virtual void* Load(const std::wstring& path, const platform::ReadOnlyFile* opened,
                     uint32_t* error) = 0;
  // Calls the library's entry of that name; false when it has none.
  virtual bool CallEntry(void* library, const std::string& entry, int32_t* result) = 0;
  // The sessions an as_user item's program runs in (FindUserSessions).
  virtual bool UserSessions(platform::SessionChoice choice, const std::wstring& product_folder,
                            std::vector<platform::UserSession>* sessions, uint32_t* error) {
    return platform::FindUserSessions(choice, product_folder, sessions, error);
  }
  // The answers an item's conditions get: the system's own are handed in,
  // ticking the run's report while if_program runs.
  virtual ConditionSystem& Conditions(ConditionSystem& system) { return system; }
};

// The system itself.
ItemSystem& PlatformItemSystem();
