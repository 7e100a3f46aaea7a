// Gives the program its C++ view of the security base, whose contract the
// public header taverly/security_base.h defines for C and C++ alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Bundle/LwGuid.h"
#include "taverly/security_base.h"

// The main object as the program calls it: its virtual table is the public
// TaverlySecurityBaseTable, slot for slot, so only Start (slot 3) is used, once.
struct ILwSecurityBase {
  virtual int32_t QueryInterface(const LwGuid& iid, void** object) = 0;
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;
  virtual int32_t Start() = 0;

 protected:
  // The object belongs to the library: the program never destroys it, so the
  // table holds no destructor.
  ~ILwSecurityBase() = default;
};

static_assert(offsetof(TaverlySecurityBaseTable, start) ==
                  TAVERLY_SECURITY_BASE_START_SLOT * sizeof(void (*)()),
              "Start must be slot 3 of the public table, as of the virtual table");
